#include "tests/support/ukey_support.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

#include "base64/base64.h"
#include "json/json_text.h"
#include "platform/install_root.h"

namespace ukey_testing {
namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteAtomically(const std::string& path, const std::string& bytes) {
  const std::string temporary = path + ".tmp" + std::to_string(getpid());
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << bytes;
  }
  std::filesystem::rename(temporary, path);
}

Json::Value Items(std::initializer_list<Json::Value> items) {
  Json::Value list(Json::arrayValue);
  for (const Json::Value& item : items) {
    Json::Value entry(Json::objectValue);
    entry["value"] = item;
    list.append(entry);
  }
  return list;
}

std::string Compact(const Json::Value& value) {
  std::string text = WriteCompactJson(value);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

}  // namespace

std::string VendorPath(const std::string& vendor) {
  if (vendor == "wq") return platform::RootedPath("/usr/local/ZELK/ZELKUSBKEY2/libtarven_wdusbkey.dylib");
  if (vendor == "tdr") {
    return platform::RootedPath(
        "/Library/Application Support/Quenmark/TARVEN_UKey_Quenmark/tarven_unified_tdrukey.dylib");
  }
  if (vendor == "ft2G") return platform::RootedPath("/usr/local/lib/tarven_unified_ftukey.dylib");
  if (vendor == "test")
    return platform::RootedPath("/Users/halvorn/Documents/testlib/Build/Products/Debug/libtestlib.dylib");
  return std::string();
}

std::string Request(const std::string& functionid, const Json::Value& parameters) {
  Json::Value request(Json::objectValue);
  request["functionid"] = functionid;
  request["parameters"] = parameters;
  return Base64::encode64(WriteCompactJson(request));
}

std::string Call(const std::string& functionid, const std::string& vendor, Json::Value params) {
  params["vendor"] = vendor;
  Json::Value parameters(Json::arrayValue);
  parameters.append(params);
  return Request(functionid, parameters);
}

std::string Reply::Items() const { return Compact(items); }

Reply ReadReply(const std::string& reply) {
  Reply result;
  Json::Value outer;
  if (reply.empty() || reply.back() != '\n' || !ParseStrictJson(reply, outer) || !outer.isObject() ||
      outer.size() != 1 || !outer["returnvalue"].isString()) {
    return result;
  }
  result.inner = Base64::decode64(outer["returnvalue"].asString());
  Json::Value inner;
  if (result.inner.empty() || result.inner.back() != '\n' || !ParseStrictJson(result.inner, inner) ||
      !inner.isObject() || inner.size() != 1) {
    return result;
  }
  result.items = inner["returnvalue"];
  // Both texts are exactly what the compact writer makes of them.
  result.wellFormed = WriteCompactJson(outer) == reply && WriteCompactJson(inner) == result.inner;
  return result;
}

InstalledDriver::InstalledDriver(const std::string& vendor, const std::string& driverFile, Signature signature)
    : path_(VendorPath(vendor)) {
  // Whatever is installed at the path (a staged driver) comes back afterwards.
  for (const char* suffix : {"", ".sig"}) {
    if (std::filesystem::is_regular_file(path_ + suffix)) saved_.emplace_back(suffix, ReadAll(path_ + suffix));
  }
  std::filesystem::create_directories(std::filesystem::path(path_).parent_path());
  WriteAtomically(path_, ReadAll(driverFile));
  std::filesystem::permissions(path_, std::filesystem::perms(0755));
  std::error_code error;
  std::filesystem::remove(path_ + ".sig", error);
  switch (signature) {
    case Signature::kType1:
      WriteAtomically(path_ + ".sig", ReadAll(driverFile + ".sig"));
      break;
    case Signature::kNone:
      break;
    case Signature::kOfOtherBytes:
      // A valid type-1 signature of another test driver.
      WriteAtomically(path_ + ".sig", ReadAll(TestDriver(driverFile == TestDriver("bare") ? "echo" : "bare") + ".sig"));
      break;
    case Signature::kType0: {
      // A valid type-0 signature, which the adapter does not take.
      const std::string command =
          SignTool() + " sign --type 0 --key '" + DevelopmentKeys() + "/cert.pem' '" + path_ + "' >/dev/null";
      if (std::system(command.c_str()) != 0) std::filesystem::remove(path_ + ".sig", error);
      break;
    }
  }
  std::filesystem::remove(path_ + ".script", error);
  std::filesystem::remove(path_ + ".calls", error);
}

InstalledDriver::~InstalledDriver() {
  std::error_code error;
  for (const char* suffix : {"", ".sig", ".script", ".calls"}) std::filesystem::remove(path_ + suffix, error);
  for (const auto& [suffix, contents] : saved_) WriteAtomically(path_ + suffix, contents);
  if (!saved_.empty()) std::filesystem::permissions(path_, std::filesystem::perms(0755), error);
}

void InstalledDriver::Script(const std::string& lines) const { WriteAtomically(path_ + ".script", lines); }

std::vector<InstalledDriver::Recorded> InstalledDriver::Calls() const {
  std::vector<Recorded> calls;
  std::istringstream lines(ReadAll(path_ + ".calls"));
  Recorded call;
  while (lines >> call.function >> call.tid >> call.pid) calls.push_back(call);
  return calls;
}

void InstalledDriver::ClearCalls() const {
  std::error_code error;
  std::filesystem::remove(path_ + ".calls", error);
}

std::string TestDriver(const std::string& form) {
  return std::string(UKEY_TEST_DRIVERS) + "/ukey_driver_" + form + ".dylib";
}

std::string SignTool() { return UKEY_SIGN_TOOL; }
std::string DevelopmentKeys() { return UKEY_DEVELOPMENT_KEYS; }

const std::vector<CatalogueCall>& Catalogue() {
  static const std::vector<CatalogueCall> catalogue = [] {
    auto params = [](std::initializer_list<std::pair<const char*, Json::Value>> members) {
      Json::Value object(Json::objectValue);
      for (const auto& [key, value] : members) object[key] = value;
      return object;
    };
    const Json::Value kTrue = Items({true});
    const Json::Value sn = "SN1";
    std::vector<CatalogueCall> calls = {
        {"Initialize", params({}), {}, false, Compact(kTrue)},
        {"Finalize", params({}), {}, false, Compact(kTrue)},
        {"GetDriverVersion", params({}), {}, false, Compact(Items({"GetDriverVersion()"}))},
        {"GetDllVersion", params({}), {}, false, Compact(Items({"GetDllVersion()"}))},
        {"GetVidAndPid", params({}), {}, false, Compact(Items({"GetVidAndPid()"}))},
        {"GetPrintNumber", params({}), {}, false, Compact(Items({"GetPrintNumber()"}))},
        {"GetVendorInfo", params({{"nFlag", 3}}), {}, false, Compact(Items({"GetVendorInfo(3)"}))},
        {"CheckDriverIntegrity", params({{"nFlag", 4}}), {}, false, Compact(Items({"CheckDriverIntegrity(4)"}))},
        {"RepairDriver", params({}), {}, false, Compact(kTrue)},
        {"GetLastErrCode", params({}), {}, false, Compact(Items({4321}))},
        {"GetErrorMsg", params({{"nErrorNo", 12}}), {}, false, Compact(Items({"driver error 12"}))},
        {"ChangePin", params({{"szSN", sn}}), {}, true, Compact(kTrue)},
        {"InitUKey", params({{"szSN", sn}}), {}, true, Compact(kTrue)},
        {"VerifyPIN", params({{"szSN", sn}}), {}, true, Compact(kTrue)},
        {"GetPinInfo", params({{"szSN", sn}}), {}, false, Compact(Items({"GetPinInfo(SN1)"}))},
        {"RemovePinCache", params({}), {}, false, Compact(kTrue)},
        {"GetLabel", params({{"szSN", sn}}), {}, false, Compact(Items({"GetLabel(SN1)"}))},
        {"SetLabel", params({{"szSN", sn}, {"pszLabel", "my key"}}), {}, false, Compact(kTrue)},
        {"SetCharset", params({{"szSN", sn}, {"szCharSet", "UTF-8"}}), {}, false, Compact(kTrue)},
        {"SetLanguage", params({{"szSN", sn}, {"szLan", "zh_CN"}}), {}, false, Compact(kTrue)},
        {"SetData", params({{"szSN", sn}, {"nFlag", 2}, {"strData", "abc"}}), {}, false, Compact(kTrue)},
        {"GetData", params({{"szSN", sn}, {"nFlag", 5}}), {}, false, Compact(Items({"GetData(SN1,5)"}))},
        {"GetFirewareData",
         params({{"szPrintNumber", "P9"}, {"nFlag", 6}}),
         {},
         false,
         Compact(Items({"GetFirewareData(P9,6)"}))},
        // The event integer is listed before the text.
        {"WaitForKeyEvent", params({}), {}, false, Compact(Items({1, "WaitForKeyEvent()"}))},
        {"StopDetectUKey", params({}), {}, false, Compact(kTrue)},
        {"GenerateCertRequest",
         params({{"szSN", sn}, {"szRequestInfo", "CN=Alice"}}),
         {},
         true,
         Compact(Items({"GenerateCertRequest(SN1,CN=Alice)"}))},
        {"Batch_InitAndGenerateCertRequest",
         params({{"szSN", sn}, {"nInitFlag", 1}, {"requestInfo", "CN=Bob"}}),
         {},
         true,
         Compact(Items({"Batch_InitAndGenerateCertRequest(SN1,1,CN=Bob)"}))},
        {"ImportX509Cert", params({{"szSN", sn}, {"szCert", "MIIB"}}), {}, true, Compact(kTrue)},
        {"ImportEncX509Cert",
         params({{"szSN", sn}, {"szCert", "MIIB"}, {"szPriKey", "MIGH"}}),
         {},
         true,
         Compact(kTrue)},
        {"Batch_ImportX509Cert", params({{"szSN", sn}, {"szCertBatch", "MIIB,MIIC"}}), {}, true, Compact(kTrue)},
        {"DelCertAndTempKey", params({{"szSN", sn}, {"certType", 1}, {"keyType", 2}}), {}, true, Compact(kTrue)},
        {"GetCert",
         params({{"szSN", sn}, {"certType", 1}, {"keyType", 2}}),
         {},
         false,
         Compact(Items({"GetCert(SN1,1,2)"}))},
        {"GetCertDN",
         params({{"szSN", sn}, {"certType", 2}, {"keyType", 1}}),
         {},
         false,
         Compact(Items({"GetCertDN(SN1,2,1)"}))},
        // The text is listed before the integer.
        {"GetCertInfo", params({{"szSN", sn}}), {}, false, Compact(Items({"GetCertInfo(SN1)", 7}))},
        {"GetRemainValidityOfCert",
         params({{"szSN", sn}, {"certType", 3}, {"keyType", 4}}),
         {},
         false,
         Compact(Items({304}))},
        {"RegisterCert", params({{"szSN", sn}, {"certType", 1}, {"keyType", 1}}), {}, false, Compact(kTrue)},
        {"UnregisterCert", params({{"szSN", sn}, {"certType", 1}, {"keyType", 1}}), {}, false, Compact(kTrue)},
        {"Sign",
         params({{"szSN", sn}, {"nHashType", 1}, {"nFlag", 2}, {"szData", "hello"}, {"szWarningMsg", "warn"}}),
         {"szWarningMsg"},
         true,
         Compact(Items({"Sign(SN1,1,2,hello,warn) size=1048576 zeroed=1"}))},
        {"SignHash",
         params({{"szSN", sn}, {"nHashType", 1}, {"nFlag", 2}, {"szSrcData", "aGk="}, {"nSrcDataType", 3}}),
         {},
         true,
         Compact(Items({"SignHash(SN1,1,2,aGk=,3) size=1048576 zeroed=1"}))},
        {"Batch_Sign",
         params({{"nType", 1},
                 {"strTradeCertDn", "CN=T"},
                 {"tradeHashType", 2},
                 {"nTradeFlag", 3},
                 {"szTradeSrcData", "td"},
                 {"szTradeUI", "ui"},
                 {"strNormalCertDn", "CN=N"},
                 {"normalHashType", 4},
                 {"nNormalFlag", 5},
                 {"szNormalSrcData", "nd"},
                 {"nNormalSrcDataType", 6}}),
         {"szTradeUI"},
         true,
         Compact(Items({"Batch_Sign(1,CN=T,2,3,td,ui,CN=N,4,5,nd,6) size=1048576 zeroed=1"}))},
        {"AsymDec",
         params({{"szSN", sn}, {"nKeyType", 1}, {"nFlag", 2}, {"szSrcData", "c2VjcmV0"}}),
         {},
         true,
         Compact(Items({"AsymDec(SN1,1,2,c2VjcmV0)"}))},
    };
    return calls;
  }();
  return catalogue;
}

const CatalogueCall& CatalogueEntry(const std::string& function) {
  for (const CatalogueCall& call : Catalogue()) {
    if (call.function == function) return call;
  }
  return Catalogue().front();
}

}  // namespace ukey_testing
