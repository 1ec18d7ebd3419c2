#pragma once

// The exports of a UKey vendor driver that tarven_ukey binds by name.
//
// A driver is a shared library with plain (unmangled, C linkage) functions.
// Unless said otherwise a function returns a 32-bit signed status: 0 is
// success, any other value is the driver's own error code, which the adapter
// reports to the page unchanged (its text comes from the driver's
// GetErrorMsg when the adapter has none of its own).
//
// Argument kinds:
//   const char*  text in: NUL-terminated UTF-8, valid only during the call;
//                the driver neither keeps nor changes it.
//   int32_t      integer in.
//   char*        text out: a buffer the adapter zeroed, 10240 bytes unless
//                the function says otherwise (the signing functions); the
//                driver writes NUL-terminated text.  The adapter reads up to
//                the first NUL byte and never beyond the buffer.
//   int32_t* len length in/out: holds the size of the text-out buffer on
//                entry; the driver may change it, the adapter does not read
//                it back.
//   int32_t* out integer out: preset by the adapter (-900 or -1, noted per
//                function), read after a successful call.
//
// Threads: functions marked [main] are called on the process's main thread,
// the others on the thread of the adapter's Invoke (a connection thread of
// the service).  Several caller-thread calls may run at once.
//
// GetFirewareData passes std::string objects: a driver that exports it must
// be built with the same C++ standard library as the adapter.

#include <cstdint>
#include <string>

namespace ukey_driver {

// Size of every fixed text-out buffer.
inline constexpr int32_t kTextBufferSize = 10240;

extern "C" {

// ---- Device, driver, PIN, label, data and event functions ----

// Prepares the driver for use.
using InitializeFn = int32_t (*)();
// Releases what Initialize prepared.
using FinalizeFn = int32_t (*)();
// Version text of the installed device driver.
using GetDriverVersionFn = int32_t (*)(char* out, int32_t* len);
// Version text of the driver library itself.
using GetDllVersionFn = int32_t (*)(char* out, int32_t* len);
// USB vendor and product identifiers of the supported keys, as text.
using GetVidAndPidFn = int32_t (*)(char* out, int32_t* len);
// Serial numbers ("print numbers") of the keys present, as text.
using GetPrintNumberFn = int32_t (*)(char* out, int32_t* len);
// Vendor information; nFlag selects which.
using GetVendorInfoFn = int32_t (*)(int32_t nFlag, char* out, int32_t* len);
// Checks the installed driver; nFlag selects the check; a report as text.
using CheckDriverIntegrityFn = int32_t (*)(int32_t nFlag, char* out, int32_t* len);
// Repairs the installed driver.
using RepairDriverFn = int32_t (*)();
// The driver's last error code into *code (preset -900).
using GetLastErrCodeFn = int32_t (*)(int32_t* code);
// Text of the driver's error code nErrorNo.  The adapter also calls it for
// codes its own table lacks, with a 10240-byte buffer.
using GetErrorMsgFn = int32_t (*)(int32_t nErrorNo, char* out, int32_t* len);
// [main] Changes the PIN of key szSN (the driver asks the user).
using ChangePinFn = int32_t (*)(const char* szSN);
// [main] Initialises (resets) key szSN.
using InitUKeyFn = int32_t (*)(const char* szSN);
// [main] Verifies the PIN of key szSN (the driver asks the user).
using VerifyPINFn = int32_t (*)(const char* szSN);
// PIN state of key szSN (for example the tries left), as text.
using GetPinInfoFn = int32_t (*)(const char* szSN, char* out, int32_t* len);
// Forgets any cached PIN.
using RemovePinCacheFn = int32_t (*)();
// Label of key szSN.
using GetLabelFn = int32_t (*)(const char* szSN, char* out, int32_t* len);
// Sets the label of key szSN.
using SetLabelFn = int32_t (*)(const char* szSN, const char* pszLabel);
// Sets the character set the driver uses for key szSN.
using SetCharsetFn = int32_t (*)(const char* szSN, const char* szCharSet);
// Sets the language of the driver's texts for key szSN.
using SetLanguageFn = int32_t (*)(const char* szSN, const char* szLan);
// Stores strData in data slot nFlag of key szSN.
using SetDataFn = int32_t (*)(const char* szSN, int32_t nFlag, const char* strData);
// Reads data slot nFlag of key szSN.
using GetDataFn = int32_t (*)(const char* szSN, int32_t nFlag, char* out, int32_t* len);
// Blocks until a key is inserted or removed: *event (preset -900) is the
// event number, out its text.  StopDetectUKey, called from another thread,
// ends a pending wait.
using WaitForKeyEventFn = int32_t (*)(int32_t* event, char* out, int32_t* len);
// Ends a pending WaitForKeyEvent.
using StopDetectUKeyFn = int32_t (*)();

}  // extern "C"

// Firmware data of the key with serial szPrintNumber; nFlag selects which.
// Returns the text itself (no status).  Exported with C linkage like the
// others; it takes and returns std::string objects.
using GetFirewareDataFn = std::string (*)(std::string szPrintNumber, int32_t nFlag);

extern "C" {

// ---- Certificate request, import and query functions ----

// [main] Generates a key pair on key szSN and returns a certificate request
// for it; szRequestInfo describes the subject.
using GenerateCertRequestFn = int32_t (*)(const char* szSN, const char* szRequestInfo,
                                          char* out, int32_t* len);
// [main] Optionally initialises key szSN first (nInitFlag), then does what
// GenerateCertRequest does with requestInfo.
using Batch_InitAndGenerateCertRequestFn = int32_t (*)(const char* szSN, int32_t nInitFlag,
                                                       const char* requestInfo, char* out,
                                                       int32_t* len);
// [main] Imports the signing certificate szCert into key szSN.
using ImportX509CertFn = int32_t (*)(const char* szSN, const char* szCert);
// [main] Imports the encryption certificate szCert with its private key
// szPriKey into key szSN.
using ImportEncX509CertFn = int32_t (*)(const char* szSN, const char* szCert,
                                        const char* szPriKey);
// [main] Imports a batch of certificates into key szSN.
using Batch_ImportX509CertFn = int32_t (*)(const char* szSN, const char* szCertBatch);
// [main] Deletes the certificate (certType) and temporary key (keyType).
using DelCertAndTempKeyFn = int32_t (*)(const char* szSN, int32_t certType, int32_t keyType);
// The certificate of key szSN selected by certType and keyType.
using GetCertFn = int32_t (*)(const char* szSN, int32_t certType, int32_t keyType, char* out,
                              int32_t* len);
// Distinguished name of that certificate.
using GetCertDNFn = int32_t (*)(const char* szSN, int32_t certType, int32_t keyType,
                                char* out, int32_t* len);
// Certificate information of key szSN: an integer into *info (preset -1)
// and a text.
using GetCertInfoFn = int32_t (*)(const char* szSN, int32_t* info, char* out, int32_t* len);
// Remaining validity of that certificate.  Returns the value itself (no
// status; any value, a negative one too, is the answer).
using GetRemainValidityOfCertFn = int32_t (*)(const char* szSN, int32_t certType,
                                              int32_t keyType);
// Registers the certificate with the system.
using RegisterCertFn = int32_t (*)(const char* szSN, int32_t certType, int32_t keyType);
// Withdraws a registration.
using UnregisterCertFn = int32_t (*)(const char* szSN, int32_t certType, int32_t keyType);

// ---- Signing and decryption functions ----
//
// For Sign, SignHash and Batch_Sign, out is a zeroed buffer of *outLen bytes
// sized from the input: (n + 4096) * 4 for n bytes of the data to sign, at
// least 1048576.

// [main] Signs szData with the signing key of szSN; nHashType and nFlag
// select the algorithm and form; szWarningMsg is a text the driver may show
// (possibly empty).
using SignFn = int32_t (*)(const char* szSN, int32_t nHashType, int32_t nFlag, const char* szData,
                           const char* szWarningMsg, char* out, int32_t* outLen);
// [main] Signs szSrcData, whose encoding nSrcDataType declares.
using SignHashFn = int32_t (*)(const char* szSN, int32_t nHashType, int32_t nFlag,
                               const char* szSrcData, int32_t nSrcDataType, char* out,
                               int32_t* outLen);
// [main] Signs a trade item and a normal item in one operation, each with
// the certificate its name selects, its hash type and flag; szTradeUI is a
// text the driver may show (possibly empty).
using Batch_SignFn = int32_t (*)(int32_t nType, const char* strTradeCertDn, int32_t tradeHashType,
                                 int32_t nTradeFlag, const char* szTradeSrcData,
                                 const char* szTradeUI, const char* strNormalCertDn,
                                 int32_t normalHashType, int32_t nNormalFlag,
                                 const char* szNormalSrcData, int32_t nNormalSrcDataType,
                                 char* out, int32_t* outLen);
// [main] Decrypts szSrcData with the private key nKeyType of szSN; out is a
// 10240-byte buffer.
using AsymDecFn = int32_t (*)(const char* szSN, int32_t nKeyType, int32_t nFlag,
                              const char* szSrcData, char* out, int32_t* len);

}  // extern "C"

}  // namespace ukey_driver

// Declarations a driver can compile its definitions against (the adapter
// itself never calls these directly; it binds by name at run time).  They
// carry default visibility, so the definitions are exported also when the
// driver is compiled with -fvisibility=hidden.
#ifdef UKEY_DRIVER_DECLARATIONS
#pragma GCC visibility push(default)
extern "C" {
int32_t Initialize();
int32_t Finalize();
int32_t GetDriverVersion(char* out, int32_t* len);
int32_t GetDllVersion(char* out, int32_t* len);
int32_t GetVidAndPid(char* out, int32_t* len);
int32_t GetPrintNumber(char* out, int32_t* len);
int32_t GetVendorInfo(int32_t nFlag, char* out, int32_t* len);
int32_t CheckDriverIntegrity(int32_t nFlag, char* out, int32_t* len);
int32_t RepairDriver();
int32_t GetLastErrCode(int32_t* code);
int32_t GetErrorMsg(int32_t nErrorNo, char* out, int32_t* len);
int32_t ChangePin(const char* szSN);
int32_t InitUKey(const char* szSN);
int32_t VerifyPIN(const char* szSN);
int32_t GetPinInfo(const char* szSN, char* out, int32_t* len);
int32_t RemovePinCache();
int32_t GetLabel(const char* szSN, char* out, int32_t* len);
int32_t SetLabel(const char* szSN, const char* pszLabel);
int32_t SetCharset(const char* szSN, const char* szCharSet);
int32_t SetLanguage(const char* szSN, const char* szLan);
int32_t SetData(const char* szSN, int32_t nFlag, const char* strData);
int32_t GetData(const char* szSN, int32_t nFlag, char* out, int32_t* len);
int32_t WaitForKeyEvent(int32_t* event, char* out, int32_t* len);
int32_t StopDetectUKey();
int32_t GenerateCertRequest(const char* szSN, const char* szRequestInfo, char* out, int32_t* len);
int32_t Batch_InitAndGenerateCertRequest(const char* szSN, int32_t nInitFlag,
                                         const char* requestInfo, char* out, int32_t* len);
int32_t ImportX509Cert(const char* szSN, const char* szCert);
int32_t ImportEncX509Cert(const char* szSN, const char* szCert, const char* szPriKey);
int32_t Batch_ImportX509Cert(const char* szSN, const char* szCertBatch);
int32_t DelCertAndTempKey(const char* szSN, int32_t certType, int32_t keyType);
int32_t GetCert(const char* szSN, int32_t certType, int32_t keyType, char* out, int32_t* len);
int32_t GetCertDN(const char* szSN, int32_t certType, int32_t keyType, char* out, int32_t* len);
int32_t GetCertInfo(const char* szSN, int32_t* info, char* out, int32_t* len);
int32_t GetRemainValidityOfCert(const char* szSN, int32_t certType, int32_t keyType);
int32_t RegisterCert(const char* szSN, int32_t certType, int32_t keyType);
int32_t UnregisterCert(const char* szSN, int32_t certType, int32_t keyType);
int32_t Sign(const char* szSN, int32_t nHashType, int32_t nFlag, const char* szData,
             const char* szWarningMsg, char* out, int32_t* outLen);
int32_t SignHash(const char* szSN, int32_t nHashType, int32_t nFlag, const char* szSrcData,
                 int32_t nSrcDataType, char* out, int32_t* outLen);
int32_t Batch_Sign(int32_t nType, const char* strTradeCertDn, int32_t tradeHashType,
                   int32_t nTradeFlag, const char* szTradeSrcData, const char* szTradeUI,
                   const char* strNormalCertDn, int32_t normalHashType, int32_t nNormalFlag,
                   const char* szNormalSrcData, int32_t nNormalSrcDataType, char* out,
                   int32_t* outLen);
int32_t AsymDec(const char* szSN, int32_t nKeyType, int32_t nFlag, const char* szSrcData,
                char* out, int32_t* len);
}  // extern "C"
// std::string in and out, exported unmangled (clang warns that a C-linkage
// function returns a C++ type; that is intended here).
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
extern "C" std::string GetFirewareData(std::string szPrintNumber, int32_t nFlag);
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
#pragma GCC visibility pop
#endif
