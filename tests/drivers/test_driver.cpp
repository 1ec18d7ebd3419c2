// A UKey vendor driver for the adapter's tests, built in several forms
// (tests/drivers/CMakeLists.txt):
//   TEST_DRIVER_ECHO    every export; a text output describes the call it
//                       answers: "Name(arg,...)", texts as given (longer
//                       ones as "<N bytes>"), integers in decimal; the
//                       signing functions add " size=S zeroed=Z" (the buffer
//                       size on entry, 1 when all of it was zero bytes)
//   TEST_DRIVER_BARE    no export of the catalogue at all
//   TEST_DRIVER_SILENT  every export answers 0 and stores nothing: no text,
//                       no integer out
//   TEST_DRIVER_FILL    like ECHO, but every text output fills the whole
//                       buffer (its length on entry) with "F" and no zero byte
// Every form appends "Name tid pid" to "<library path>.calls" when a function
// starts.  ECHO and FILL take results from "<library path>.script", read at
// each call, with lines "Name code" or "Name code =text": the function
// returns code (0 when the script has no line for it) and writes text
// instead of its description.  "WaitForKeyEvent wait" makes WaitForKeyEvent
// block until StopDetectUKey is called (at most 60 s, then code 99).  In
// every form a line "delay MS" makes each function take MS milliseconds
// more.
//
// Fixed outputs: GetLastErrCode stores 4321; GetCertInfo stores 7;
// WaitForKeyEvent stores 1 (2 when ended by StopDetectUKey);
// GetRemainValidityOfCert returns certType * 100 + keyType; GetErrorMsg
// writes "driver error N".

#define UKEY_DRIVER_DECLARATIONS
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "adapter/driver_interface.h"

#if !defined(TEST_DRIVER_BARE)

namespace {

std::string SelfPath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&SelfPath), &info) == 0 || info.dli_fname == nullptr) return std::string();
  return info.dli_fname;
}

// Milliseconds of a "delay" line of the script, 0 without one.
long Delay() {
  std::ifstream in(SelfPath() + ".script");
  std::string word;
  long milliseconds = 0;
  while (in >> word) {
    if (word == "delay" && in >> milliseconds) return milliseconds;
  }
  return 0;
}

void Record(const char* name) {
  if (const long milliseconds = Delay(); milliseconds > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
  const std::string line =
      std::string(name) + " " + std::to_string(syscall(SYS_gettid)) + " " + std::to_string(getpid()) + "\n";
  const int fd = open((SelfPath() + ".calls").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  if (write(fd, line.data(), line.size()) < 0) {
  }
  close(fd);
}

struct Scripted {
  bool found = false;
  int32_t code = 0;
  bool hasText = false;
  std::string text;
  bool wait = false;
};

[[maybe_unused]] Scripted Script(const char* name) {
  Scripted result;
  std::ifstream in(SelfPath() + ".script");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string function, code;
    if (!(fields >> function) || function != name || !(fields >> code)) continue;
    result.found = true;
    if (code == "wait") {
      result.wait = true;
      return result;
    }
    result.code = static_cast<int32_t>(std::stol(code));
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos) {
      result.hasText = true;
      result.text = line.substr(equals + 1);
    }
    return result;
  }
  return result;
}

std::string Shown(const char* text) {
  const std::size_t length = std::strlen(text);
  if (length > 64) return "<" + std::to_string(length) + " bytes>";
  return text;
}
std::string Shown(int32_t number) { return std::to_string(number); }

template <typename... Args>
std::string Describe(const char* name, Args... args) {
  std::string text = std::string(name) + "(";
  bool first = true;
  ((text += (first ? "" : ","), text += Shown(args), first = false), ...);
  return text + ")";
}

[[maybe_unused]] void WriteText(const std::string& text, char* out, int32_t* len) {
#if defined(TEST_DRIVER_SILENT)
  (void)text;
  (void)out;
  (void)len;
#elif defined(TEST_DRIVER_FILL)
  (void)text;
  std::memset(out, 'F', static_cast<std::size_t>(*len));
#else
  const std::size_t room = static_cast<std::size_t>(*len);
  const std::size_t count = text.size() < room ? text.size() : room - 1;
  std::memcpy(out, text.data(), count);
  out[count] = '\0';
  *len = static_cast<int32_t>(count);
#endif
}

// The answer of a function without text output.
int32_t Plain(const char* name) {
  Record(name);
#if defined(TEST_DRIVER_SILENT)
  return 0;
#else
  return Script(name).code;
#endif
}

// The answer of a function with text output.
int32_t WithText(const char* name, const std::string& description, char* out, int32_t* len) {
  Record(name);
#if defined(TEST_DRIVER_SILENT)
  (void)description;
  (void)out;
  (void)len;
  return 0;
#else
  const Scripted script = Script(name);
  WriteText(script.hasText ? script.text : description, out, len);
  return script.code;
#endif
}

// The answer of a signing function: the description says how large the
// buffer was on entry and whether it was all zero bytes.
int32_t Signed(const char* name, const std::string& description, char* out, int32_t* outLen) {
  bool zeroed = true;
  for (int32_t i = 0; i < *outLen && zeroed; ++i) zeroed = out[i] == 0;
  return WithText(name, description + " size=" + std::to_string(*outLen) + " zeroed=" + (zeroed ? "1" : "0"), out,
                  outLen);
}

std::mutex eventMutex;
std::condition_variable eventSignal;
unsigned long stops = 0;

}  // namespace

int32_t Initialize() { return Plain("Initialize"); }
int32_t Finalize() { return Plain("Finalize"); }
int32_t GetDriverVersion(char* out, int32_t* len) {
  return WithText("GetDriverVersion", Describe("GetDriverVersion"), out, len);
}
int32_t GetDllVersion(char* out, int32_t* len) {
  return WithText("GetDllVersion", Describe("GetDllVersion"), out, len);
}
int32_t GetVidAndPid(char* out, int32_t* len) { return WithText("GetVidAndPid", Describe("GetVidAndPid"), out, len); }
int32_t GetPrintNumber(char* out, int32_t* len) {
  return WithText("GetPrintNumber", Describe("GetPrintNumber"), out, len);
}
int32_t GetVendorInfo(int32_t nFlag, char* out, int32_t* len) {
  return WithText("GetVendorInfo", Describe("GetVendorInfo", nFlag), out, len);
}
int32_t CheckDriverIntegrity(int32_t nFlag, char* out, int32_t* len) {
  return WithText("CheckDriverIntegrity", Describe("CheckDriverIntegrity", nFlag), out, len);
}
int32_t RepairDriver() { return Plain("RepairDriver"); }
int32_t GetLastErrCode(int32_t* code) {
  const int32_t result = Plain("GetLastErrCode");
#if !defined(TEST_DRIVER_SILENT)
  *code = 4321;
#else
  (void)code;
#endif
  return result;
}
int32_t GetErrorMsg(int32_t nErrorNo, char* out, int32_t* len) {
  return WithText("GetErrorMsg", "driver error " + std::to_string(nErrorNo), out, len);
}
int32_t ChangePin(const char* szSN) {
  (void)szSN;
  return Plain("ChangePin");
}
int32_t InitUKey(const char* szSN) {
  (void)szSN;
  return Plain("InitUKey");
}
int32_t VerifyPIN(const char* szSN) {
  (void)szSN;
  return Plain("VerifyPIN");
}
int32_t GetPinInfo(const char* szSN, char* out, int32_t* len) {
  return WithText("GetPinInfo", Describe("GetPinInfo", szSN), out, len);
}
int32_t RemovePinCache() { return Plain("RemovePinCache"); }
int32_t GetLabel(const char* szSN, char* out, int32_t* len) {
  return WithText("GetLabel", Describe("GetLabel", szSN), out, len);
}
int32_t SetLabel(const char* szSN, const char* pszLabel) {
  (void)szSN;
  (void)pszLabel;
  return Plain("SetLabel");
}
int32_t SetCharset(const char* szSN, const char* szCharSet) {
  (void)szSN;
  (void)szCharSet;
  return Plain("SetCharset");
}
int32_t SetLanguage(const char* szSN, const char* szLan) {
  (void)szSN;
  (void)szLan;
  return Plain("SetLanguage");
}
int32_t SetData(const char* szSN, int32_t nFlag, const char* strData) {
  (void)szSN;
  (void)nFlag;
  (void)strData;
  return Plain("SetData");
}
int32_t GetData(const char* szSN, int32_t nFlag, char* out, int32_t* len) {
  return WithText("GetData", Describe("GetData", szSN, nFlag), out, len);
}
int32_t WaitForKeyEvent(int32_t* event, char* out, int32_t* len) {
#if defined(TEST_DRIVER_SILENT)
  (void)event;
  return WithText("WaitForKeyEvent", "", out, len);
#else
  const Scripted script = Script("WaitForKeyEvent");
  if (script.wait) {
    Record("WaitForKeyEvent");
    std::unique_lock<std::mutex> lock(eventMutex);
    const unsigned long seen = stops;
    if (!eventSignal.wait_for(lock, std::chrono::seconds(60), [&] { return stops != seen; })) return 99;
    *event = 2;
    WriteText("stopped", out, len);
    return 0;
  }
  *event = 1;
  return WithText("WaitForKeyEvent", Describe("WaitForKeyEvent"), out, len);
#endif
}
int32_t StopDetectUKey() {
  {
    std::lock_guard<std::mutex> lock(eventMutex);
    ++stops;
  }
  eventSignal.notify_all();
  return Plain("StopDetectUKey");
}
int32_t GenerateCertRequest(const char* szSN, const char* szRequestInfo, char* out, int32_t* len) {
  return WithText("GenerateCertRequest", Describe("GenerateCertRequest", szSN, szRequestInfo), out, len);
}
int32_t Batch_InitAndGenerateCertRequest(const char* szSN, int32_t nInitFlag, const char* requestInfo, char* out,
                                         int32_t* len) {
  return WithText("Batch_InitAndGenerateCertRequest",
                  Describe("Batch_InitAndGenerateCertRequest", szSN, nInitFlag, requestInfo), out, len);
}
int32_t ImportX509Cert(const char* szSN, const char* szCert) {
  (void)szSN;
  (void)szCert;
  return Plain("ImportX509Cert");
}
int32_t ImportEncX509Cert(const char* szSN, const char* szCert, const char* szPriKey) {
  (void)szSN;
  (void)szCert;
  (void)szPriKey;
  return Plain("ImportEncX509Cert");
}
int32_t Batch_ImportX509Cert(const char* szSN, const char* szCertBatch) {
  (void)szSN;
  (void)szCertBatch;
  return Plain("Batch_ImportX509Cert");
}
int32_t DelCertAndTempKey(const char* szSN, int32_t certType, int32_t keyType) {
  (void)szSN;
  (void)certType;
  (void)keyType;
  return Plain("DelCertAndTempKey");
}
int32_t GetCert(const char* szSN, int32_t certType, int32_t keyType, char* out, int32_t* len) {
  return WithText("GetCert", Describe("GetCert", szSN, certType, keyType), out, len);
}
int32_t GetCertDN(const char* szSN, int32_t certType, int32_t keyType, char* out, int32_t* len) {
  return WithText("GetCertDN", Describe("GetCertDN", szSN, certType, keyType), out, len);
}
int32_t GetCertInfo(const char* szSN, int32_t* info, char* out, int32_t* len) {
#if !defined(TEST_DRIVER_SILENT)
  *info = 7;
#else
  (void)info;
#endif
  return WithText("GetCertInfo", Describe("GetCertInfo", szSN), out, len);
}
int32_t GetRemainValidityOfCert(const char* szSN, int32_t certType, int32_t keyType) {
  (void)szSN;
  Record("GetRemainValidityOfCert");
#if defined(TEST_DRIVER_SILENT)
  (void)certType;
  (void)keyType;
  return 0;
#else
  const Scripted script = Script("GetRemainValidityOfCert");
  return script.found ? script.code : certType * 100 + keyType;
#endif
}
int32_t RegisterCert(const char* szSN, int32_t certType, int32_t keyType) {
  (void)szSN;
  (void)certType;
  (void)keyType;
  return Plain("RegisterCert");
}
int32_t UnregisterCert(const char* szSN, int32_t certType, int32_t keyType) {
  (void)szSN;
  (void)certType;
  (void)keyType;
  return Plain("UnregisterCert");
}
int32_t Sign(const char* szSN, int32_t nHashType, int32_t nFlag, const char* szData, const char* szWarningMsg,
             char* out, int32_t* outLen) {
  return Signed("Sign", Describe("Sign", szSN, nHashType, nFlag, szData, szWarningMsg), out, outLen);
}
int32_t SignHash(const char* szSN, int32_t nHashType, int32_t nFlag, const char* szSrcData, int32_t nSrcDataType,
                 char* out, int32_t* outLen) {
  return Signed("SignHash", Describe("SignHash", szSN, nHashType, nFlag, szSrcData, nSrcDataType), out, outLen);
}
int32_t Batch_Sign(int32_t nType, const char* strTradeCertDn, int32_t tradeHashType, int32_t nTradeFlag,
                   const char* szTradeSrcData, const char* szTradeUI, const char* strNormalCertDn,
                   int32_t normalHashType, int32_t nNormalFlag, const char* szNormalSrcData, int32_t nNormalSrcDataType,
                   char* out, int32_t* outLen) {
  return Signed("Batch_Sign",
                Describe("Batch_Sign", nType, strTradeCertDn, tradeHashType, nTradeFlag, szTradeSrcData, szTradeUI,
                         strNormalCertDn, normalHashType, nNormalFlag, szNormalSrcData, nNormalSrcDataType),
                out, outLen);
}
int32_t AsymDec(const char* szSN, int32_t nKeyType, int32_t nFlag, const char* szSrcData, char* out, int32_t* len) {
  return WithText("AsymDec", Describe("AsymDec", szSN, nKeyType, nFlag, szSrcData), out, len);
}

std::string GetFirewareData(std::string szPrintNumber, int32_t nFlag) {
  Record("GetFirewareData");
#if defined(TEST_DRIVER_SILENT)
  (void)szPrintNumber;
  (void)nFlag;
  return std::string();
#else
  const Scripted script = Script("GetFirewareData");
  if (script.hasText) return script.text;
  return "GetFirewareData(" + szPrintNumber + "," + std::to_string(nFlag) + ")";
#endif
}

#endif  // !TEST_DRIVER_BARE

// Every form has one export outside the catalogue, so the bare driver is a
// loadable library with a symbol table.
extern "C" __attribute__((visibility("default"))) int TestDriverForm() {
#if defined(TEST_DRIVER_BARE)
  return 0;
#elif defined(TEST_DRIVER_SILENT)
  return 2;
#elif defined(TEST_DRIVER_FILL)
  return 3;
#else
  return 1;
#endif
}
