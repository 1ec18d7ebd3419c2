#include "adapter/driver_calls.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <string_view>
#include <tuple>
#include <utility>

#include "adapter/driver_interface.h"
#include "adapter/error_codes.h"
#include "adapter/request.h"
#include "adapter/text_buffer.h"
#include "json/json_text.h"
#include "logfile/logfile.h"
#include "platform/main_queue_client.h"

namespace ukey {
namespace {

using namespace ukey_driver;

// ---- Parameters ------------------------------------------------------------

// A required JSON string, passed as text in.
struct Text {
  const char* key;
  using Value = std::string;
};
// A required JSON integer that fits a signed 32-bit integer, passed as
// integer in.
struct Int {
  const char* key;
  using Value = int32_t;
};
// A JSON string when present, the empty text otherwise (missing or of another
// type).
struct OptionalText {
  const char* key;
  using Value = std::string;
};

const Json::Value* Member(const Json::Value& params, const char* key) {
  return params.find(key, key + std::strlen(key));
}

bool Read(const Json::Value& params, Text spec, std::string& value) {
  const Json::Value* member = Member(params, spec.key);
  if (member == nullptr || !member->isString()) return false;
  value = member->asString();
  return true;
}

bool Read(const Json::Value& params, Int spec, int32_t& value) {
  const Json::Value* member = Member(params, spec.key);
  if (member == nullptr || !IsInt32(*member)) return false;
  value = member->asInt();
  return true;
}

bool Read(const Json::Value& params, OptionalText spec, std::string& value) {
  const Json::Value* member = Member(params, spec.key);
  value = member != nullptr && member->isString() ? member->asString() : std::string();
  return true;
}

// The values of the parameters, in the order given; nothing when one of them
// is missing or of the wrong type.
template <typename... Specs>
std::optional<std::tuple<typename Specs::Value...>> ReadParameters(const Json::Value& params, Specs... specs) {
  std::tuple<typename Specs::Value...> values;
  const bool complete = std::apply([&](auto&... value) { return (Read(params, specs, value) && ...); }, values);
  if (!complete) return std::nullopt;
  return values;
}

// The argument a parameter's value becomes.
const char* Arg(const std::string& text) { return text.c_str(); }
int32_t Arg(int32_t number) { return number; }

// ---- Driver exports and threads --------------------------------------------

template <typename Fn>
Fn Bind(const DriverCall& call) {
  return reinterpret_cast<Fn>(dlsym(call.driver, call.function.c_str()));
}

// Runs work on the host's main thread and waits (at once when this is the
// main thread).  A host without a main queue runs it on this thread.  An
// exception thrown by the work reaches the caller.
void RunOnMainThread(const std::function<void()>& work) {
  bool ran = false;
  std::exception_ptr failure;
  const std::function<void()> guarded = [&] {
    ran = true;
    try {
      work();
    } catch (...) {
      failure = std::current_exception();
    }
  };
  if (!platform::DispatchSyncToHostMain(guarded) && !ran) guarded();
  if (failure) std::rethrow_exception(failure);
}

using Outcome = std::optional<int32_t>;

// ---- Call patterns -----------------------------------------------------------

// Caller's thread; {"value": true} on success.
template <typename Fn, typename... Specs>
Outcome CallerPlain(const DriverCall& call, Specs... specs) {
  const auto values = ReadParameters(call.params, specs...);
  if (!values) return std::nullopt;
  const Fn fn = Bind<Fn>(call);
  if (fn == nullptr) return kInterfaceMissing;
  const int32_t code = std::apply([&](const auto&... value) { return fn(Arg(value)...); }, *values);
  if (code == 0) call.results.addReslut(true, "value");
  return code;
}

// Caller's thread with a text out; {"value": text} on success.
template <typename Fn, typename... Specs>
Outcome CallerText(const DriverCall& call, Specs... specs) {
  const auto values = ReadParameters(call.params, specs...);
  if (!values) return std::nullopt;
  const Fn fn = Bind<Fn>(call);
  if (fn == nullptr) return kInterfaceMissing;
  TextBuffer out;
  int32_t length = kTextBufferSize;
  const int32_t code =
      std::apply([&](const auto&... value) { return fn(Arg(value)..., out.data(), &length); }, *values);
  if (code == 0) call.results.addReslut(out.Text(), "value");
  return code;
}

// Main thread; the closure holds copies of the parameters.  {"value": true}
// on success.
template <typename Fn, typename... Specs>
Outcome MainPlain(const DriverCall& call, Specs... specs) {
  const auto values = ReadParameters(call.params, specs...);
  if (!values) return std::nullopt;
  const Fn fn = Bind<Fn>(call);
  if (fn == nullptr) return kInterfaceMissing;
  int32_t code = kUnknownError;
  RunOnMainThread([copies = *values, fn, &code] {
    code = std::apply([&](const auto&... value) { return fn(Arg(value)...); }, copies);
  });
  if (code == 0) call.results.addReslut(true, "value");
  return code;
}

// Main thread with the fixed text out; the length variable belongs to the
// closure.  {"value": text} on success.
template <typename Fn, typename... Specs>
Outcome MainText(const DriverCall& call, Specs... specs) {
  const auto values = ReadParameters(call.params, specs...);
  if (!values) return std::nullopt;
  const Fn fn = Bind<Fn>(call);
  if (fn == nullptr) return kInterfaceMissing;
  TextBuffer out;
  char* buffer = out.data();
  int32_t code = kUnknownError;
  RunOnMainThread([copies = *values, fn, &code, &buffer] {
    int32_t length = kTextBufferSize;
    code = std::apply([&](const auto&... value) { return fn(Arg(value)..., buffer, &length); }, copies);
  });
  if (code == 0) call.results.addReslut(out.Text(), "value");
  return code;
}

struct FreeBuffer {
  void operator()(char* buffer) const { std::free(buffer); }
};

// Main thread with an output buffer sized from the text parameter at
// SizingIndex; the buffer and its length belong to this call.  {"value":
// text} on success.
template <typename Fn, std::size_t SizingIndex, typename... Specs>
Outcome MainSigned(const DriverCall& call, Specs... specs) {
  const auto values = ReadParameters(call.params, specs...);
  if (!values) return std::nullopt;
  int32_t outLen = 0;
  if (!SigningBufferSize(std::get<SizingIndex>(*values).size(), outLen)) return std::nullopt;
  const Fn fn = Bind<Fn>(call);
  if (fn == nullptr) return kInterfaceMissing;
  const std::size_t size = static_cast<std::size_t>(outLen);
  // calloc: large blocks come as fresh zero pages.
  std::unique_ptr<char, FreeBuffer> storage(static_cast<char*>(std::calloc(size, 1)));
  if (!storage) throw std::bad_alloc();
  char* buffer = storage.get();
  int32_t code = kUnknownError;
  RunOnMainThread([copies = *values, fn, &code, &buffer, &outLen] {
    code = std::apply([&](const auto&... value) { return fn(Arg(value)..., buffer, &outLen); }, copies);
  });
  if (code == 0) call.results.addReslut(std::string(buffer, strnlen(buffer, size)), "value");
  return code;
}

// ---- Functions of their own shape --------------------------------------------

Outcome CallGetLastErrCode(const DriverCall& call) {
  const auto fn = Bind<GetLastErrCodeFn>(call);
  if (fn == nullptr) return kInterfaceMissing;
  int32_t value = -900;
  const int32_t code = fn(&value);
  if (code == 0) call.results.addReslut(value, "value");
  return code;
}

Outcome CallGetCertInfo(const DriverCall& call) {
  const auto values = ReadParameters(call.params, Text{"szSN"});
  if (!values) return std::nullopt;
  const auto fn = Bind<GetCertInfoFn>(call);
  if (fn == nullptr) return kInterfaceMissing;
  int32_t info = -1;
  TextBuffer out;
  int32_t length = kTextBufferSize;
  const int32_t code = fn(std::get<0>(*values).c_str(), &info, out.data(), &length);
  if (code == 0) {
    call.results.addReslut(info, "value");
    call.results.addReslut(out.Text(), "value");
  }
  return code;
}

Outcome CallGetRemainValidityOfCert(const DriverCall& call) {
  const auto values = ReadParameters(call.params, Text{"szSN"}, Int{"certType"}, Int{"keyType"});
  if (!values) return std::nullopt;
  const auto fn = Bind<GetRemainValidityOfCertFn>(call);
  if (fn == nullptr) return kInterfaceMissing;
  // The driver answers with the value itself, which is never a failure.
  const int32_t remaining = std::apply([&](const auto&... value) { return fn(Arg(value)...); }, *values);
  call.results.addReslut(remaining, "value");
  return kSuccess;
}

Outcome CallGetFirewareData(const DriverCall& call) {
  const auto values = ReadParameters(call.params, Text{"szPrintNumber"}, Int{"nFlag"});
  if (!values) return std::nullopt;
  const auto fn = Bind<GetFirewareDataFn>(call);
  if (fn == nullptr) return kInterfaceMissing;
  const std::string text = fn(std::get<0>(*values), std::get<1>(*values));
  call.results.addReslut(text, "value");
  return kSuccess;
}

Outcome CallWaitForKeyEvent(const DriverCall& call) {
  const auto fn = Bind<WaitForKeyEventFn>(call);
  if (fn == nullptr) return kInterfaceMissing;
  TextBuffer out;
  int32_t event = -900;
  int32_t length = kTextBufferSize;
  logFile("尝试调用驱动库 WaitForKeyEvent(" + call.vendor + ")");
  const int32_t code = fn(&event, out.data(), &length);
  logFile("WaitForKeyEvent 返回码:" + std::to_string(code) + "(" + call.vendor + ")");
  if (code == 0) {
    call.results.addReslut(out.Text(), "value");
    call.results.addReslut(event, "value");
  }
  return code;
}

Outcome CallStopDetectUKey(const DriverCall& call) {
  const auto fn = Bind<StopDetectUKeyFn>(call);
  if (fn == nullptr) return kInterfaceMissing;
  logFile("尝试调用驱动库 StopDetectUKey(" + call.vendor + ")");
  const int32_t code = fn();
  logFile("StopDetectUKey 返回码:" + std::to_string(code) + "(" + call.vendor + ")");
  if (code == 0) call.results.addReslut(true, "value");
  return code;
}

// ---- The catalogue -------------------------------------------------------------

using Handler = Outcome (*)(const DriverCall&);

const std::map<std::string_view, Handler>& Catalogue() {
  static const std::map<std::string_view, Handler> catalogue = {
      // Device, driver, PIN, label, data and event functions.
      {"Initialize", [](const DriverCall& c) { return CallerPlain<InitializeFn>(c); }},
      {"Finalize", [](const DriverCall& c) { return CallerPlain<FinalizeFn>(c); }},
      {"GetDriverVersion", [](const DriverCall& c) { return CallerText<GetDriverVersionFn>(c); }},
      {"GetDllVersion", [](const DriverCall& c) { return CallerText<GetDllVersionFn>(c); }},
      {"GetVidAndPid", [](const DriverCall& c) { return CallerText<GetVidAndPidFn>(c); }},
      {"GetPrintNumber", [](const DriverCall& c) { return CallerText<GetPrintNumberFn>(c); }},
      {"GetVendorInfo", [](const DriverCall& c) { return CallerText<GetVendorInfoFn>(c, Int{"nFlag"}); }},
      {"CheckDriverIntegrity", [](const DriverCall& c) { return CallerText<CheckDriverIntegrityFn>(c, Int{"nFlag"}); }},
      {"RepairDriver", [](const DriverCall& c) { return CallerPlain<RepairDriverFn>(c); }},
      {"GetLastErrCode", &CallGetLastErrCode},
      {"GetErrorMsg", [](const DriverCall& c) { return CallerText<GetErrorMsgFn>(c, Int{"nErrorNo"}); }},
      {"ChangePin", [](const DriverCall& c) { return MainPlain<ChangePinFn>(c, Text{"szSN"}); }},
      {"InitUKey", [](const DriverCall& c) { return MainPlain<InitUKeyFn>(c, Text{"szSN"}); }},
      {"VerifyPIN", [](const DriverCall& c) { return MainPlain<VerifyPINFn>(c, Text{"szSN"}); }},
      {"GetPinInfo", [](const DriverCall& c) { return CallerText<GetPinInfoFn>(c, Text{"szSN"}); }},
      {"RemovePinCache", [](const DriverCall& c) { return CallerPlain<RemovePinCacheFn>(c); }},
      {"GetLabel", [](const DriverCall& c) { return CallerText<GetLabelFn>(c, Text{"szSN"}); }},
      {"SetLabel", [](const DriverCall& c) { return CallerPlain<SetLabelFn>(c, Text{"szSN"}, Text{"pszLabel"}); }},
      {"SetCharset", [](const DriverCall& c) { return CallerPlain<SetCharsetFn>(c, Text{"szSN"}, Text{"szCharSet"}); }},
      {"SetLanguage", [](const DriverCall& c) { return CallerPlain<SetLanguageFn>(c, Text{"szSN"}, Text{"szLan"}); }},
      {"SetData",
       [](const DriverCall& c) { return CallerPlain<SetDataFn>(c, Text{"szSN"}, Int{"nFlag"}, Text{"strData"}); }},
      {"GetData", [](const DriverCall& c) { return CallerText<GetDataFn>(c, Text{"szSN"}, Int{"nFlag"}); }},
      {"GetFirewareData", &CallGetFirewareData},
      {"WaitForKeyEvent", &CallWaitForKeyEvent},
      {"StopDetectUKey", &CallStopDetectUKey},
      // Certificate request, import and query functions.
      {"GenerateCertRequest",
       [](const DriverCall& c) { return MainText<GenerateCertRequestFn>(c, Text{"szSN"}, Text{"szRequestInfo"}); }},
      {"Batch_InitAndGenerateCertRequest",
       [](const DriverCall& c) {
         return MainText<Batch_InitAndGenerateCertRequestFn>(c, Text{"szSN"}, Int{"nInitFlag"}, Text{"requestInfo"});
       }},
      {"ImportX509Cert",
       [](const DriverCall& c) { return MainPlain<ImportX509CertFn>(c, Text{"szSN"}, Text{"szCert"}); }},
      {"ImportEncX509Cert",
       [](const DriverCall& c) {
         return MainPlain<ImportEncX509CertFn>(c, Text{"szSN"}, Text{"szCert"}, Text{"szPriKey"});
       }},
      {"Batch_ImportX509Cert",
       [](const DriverCall& c) { return MainPlain<Batch_ImportX509CertFn>(c, Text{"szSN"}, Text{"szCertBatch"}); }},
      {"DelCertAndTempKey",
       [](const DriverCall& c) {
         return MainPlain<DelCertAndTempKeyFn>(c, Text{"szSN"}, Int{"certType"}, Int{"keyType"});
       }},
      {"GetCert",
       [](const DriverCall& c) { return CallerText<GetCertFn>(c, Text{"szSN"}, Int{"certType"}, Int{"keyType"}); }},
      {"GetCertDN",
       [](const DriverCall& c) { return CallerText<GetCertDNFn>(c, Text{"szSN"}, Int{"certType"}, Int{"keyType"}); }},
      {"GetCertInfo", &CallGetCertInfo},
      {"GetRemainValidityOfCert", &CallGetRemainValidityOfCert},
      {"RegisterCert",
       [](const DriverCall& c) {
         return CallerPlain<RegisterCertFn>(c, Text{"szSN"}, Int{"certType"}, Int{"keyType"});
       }},
      {"UnregisterCert",
       [](const DriverCall& c) {
         return CallerPlain<UnregisterCertFn>(c, Text{"szSN"}, Int{"certType"}, Int{"keyType"});
       }},
      // Signing and decryption functions.
      {"Sign",
       [](const DriverCall& c) {
         return MainSigned<SignFn, 3>(c, Text{"szSN"}, Int{"nHashType"}, Int{"nFlag"}, Text{"szData"},
                                      OptionalText{"szWarningMsg"});
       }},
      {"SignHash",
       [](const DriverCall& c) {
         return MainSigned<SignHashFn, 3>(c, Text{"szSN"}, Int{"nHashType"}, Int{"nFlag"}, Text{"szSrcData"},
                                          Int{"nSrcDataType"});
       }},
      {"Batch_Sign",
       [](const DriverCall& c) {
         return MainSigned<Batch_SignFn, 4>(c, Int{"nType"}, Text{"strTradeCertDn"}, Int{"tradeHashType"},
                                            Int{"nTradeFlag"}, Text{"szTradeSrcData"}, OptionalText{"szTradeUI"},
                                            Text{"strNormalCertDn"}, Int{"normalHashType"}, Int{"nNormalFlag"},
                                            Text{"szNormalSrcData"}, Int{"nNormalSrcDataType"});
       }},
      {"AsymDec",
       [](const DriverCall& c) {
         return MainText<AsymDecFn>(c, Text{"szSN"}, Int{"nKeyType"}, Int{"nFlag"}, Text{"szSrcData"});
       }},
  };
  return catalogue;
}

}  // namespace

std::optional<int32_t> CallDriverFunction(const DriverCall& call) {
  if (call.function.empty()) return kEmptyFunction;
  const auto& catalogue = Catalogue();
  const auto entry = catalogue.find(call.function);
  if (entry == catalogue.end()) return kUnsupportedFunction;
  return entry->second(call);
}

}  // namespace ukey
