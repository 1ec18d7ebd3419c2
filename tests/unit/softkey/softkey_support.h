#pragma once

// Shared by the soft key driver's tests: a private copy of the built driver
// loaded per test, its store folder cleaned, the test askpass program, and a
// test CA with the OpenSSL checks the tests make of the driver's output.

#include <dlfcn.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <pwd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "adapter/driver_interface.h"
#include "softkey/errors.h"

namespace softkey_test {

namespace fs = std::filesystem;
using namespace softkey;  // the driver's codes

inline constexpr std::string_view kDefaultId = "1234567812345678";

// Every export, bound through the adapter's own typedefs.
#define SOFTKEY_EXPORTS(X)                                                                              \
  X(Initialize) X(Finalize) X(GetDriverVersion) X(GetDllVersion) X(GetVidAndPid) X(GetPrintNumber)     \
  X(GetVendorInfo) X(CheckDriverIntegrity) X(RepairDriver) X(GetLastErrCode) X(GetErrorMsg) X(ChangePin) \
  X(InitUKey) X(VerifyPIN) X(GetPinInfo) X(RemovePinCache) X(GetLabel) X(SetLabel) X(SetCharset)      \
  X(SetLanguage) X(SetData) X(GetData) X(GetFirewareData) X(WaitForKeyEvent) X(StopDetectUKey)          \
  X(GenerateCertRequest) X(Batch_InitAndGenerateCertRequest) X(ImportX509Cert) X(ImportEncX509Cert)    \
  X(Batch_ImportX509Cert) X(DelCertAndTempKey) X(GetCert) X(GetCertDN) X(GetCertInfo)                   \
  X(GetRemainValidityOfCert) X(RegisterCert) X(UnregisterCert) X(Sign) X(SignHash) X(Batch_Sign)        \
  X(AsymDec)

struct Driver {
#define SOFTKEY_MEMBER(name) ukey_driver::name##Fn name = nullptr;
  SOFTKEY_EXPORTS(SOFTKEY_MEMBER)
#undef SOFTKEY_MEMBER
};

// --- OpenSSL objects -------------------------------------------------------

template <typename T, void (*F)(T*)>
struct Free {
  void operator()(T* p) const { F(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, Free<EVP_PKEY, EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Free<X509, X509_free>>;
using Req = std::unique_ptr<X509_REQ, Free<X509_REQ, X509_REQ_free>>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, Free<EVP_MD_CTX, EVP_MD_CTX_free>>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, Free<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using Name = std::unique_ptr<X509_NAME, Free<X509_NAME, X509_NAME_free>>;

inline const unsigned char* U(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }

inline std::string ToBase64(std::string_view bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), U(bytes), static_cast<int>(bytes.size()));
  text.resize(static_cast<size_t>(n));
  return text;
}

inline std::string FromBase64(std::string_view text) {
  std::string bytes(text.size() / 4 * 3 + 3, '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()), U(text), static_cast<int>(text.size()));
  if (n < 0) return {};
  size_t padding = 0;
  if (!text.empty() && text.back() == '=') ++padding;
  if (text.size() > 1 && text[text.size() - 2] == '=') ++padding;
  bytes.resize(static_cast<size_t>(n) - padding);
  return bytes;
}

inline Pkey NewSm2Key() { return Pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2")); }

// The 32-byte private scalar of an SM2 key.
inline std::string PrivateScalar(EVP_PKEY* key) {
  BIGNUM* d = nullptr;
  EXPECT_EQ(EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY, &d), 1);
  std::string bytes(32, '\0');
  BN_bn2binpad(d, reinterpret_cast<unsigned char*>(bytes.data()), 32);
  BN_clear_free(d);
  return bytes;
}

inline std::string PrivateKeyInfo(EVP_PKEY* key) {
  PKCS8_PRIV_KEY_INFO* p8 = EVP_PKEY2PKCS8(key);
  unsigned char* der = nullptr;
  int n = i2d_PKCS8_PRIV_KEY_INFO(p8, &der);
  std::string bytes(reinterpret_cast<char*>(der), static_cast<size_t>(n));
  OPENSSL_free(der);
  PKCS8_PRIV_KEY_INFO_free(p8);
  return bytes;
}

inline std::string CertDer(X509* cert) {
  unsigned char* der = nullptr;
  int n = i2d_X509(cert, &der);
  std::string bytes(reinterpret_cast<char*>(der), static_cast<size_t>(n));
  OPENSSL_free(der);
  return bytes;
}

inline std::string CertPem(X509* cert) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, cert);
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  std::string text(data, static_cast<size_t>(n));
  BIO_free(bio);
  return text;
}

inline Cert CertFromBase64(std::string_view text) {
  std::string der = FromBase64(text);
  const unsigned char* p = U(der);
  return Cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

inline Req RequestFromBase64(std::string_view text) {
  std::string der = FromBase64(text);
  const unsigned char* p = U(der);
  Req req(d2i_X509_REQ(nullptr, &p, static_cast<long>(der.size())));
  if (req && p != U(der) + der.size()) return {};
  return req;
}

// A digest-sign or -verify context with SM3 and the default identifier.
inline MdCtx Sm2Context(EVP_PKEY* key, bool sign) {
  MdCtx md(EVP_MD_CTX_new());
  EVP_PKEY_CTX* pctx = nullptr;
  int ok = sign ? EVP_DigestSignInit_ex(md.get(), &pctx, "SM3", nullptr, nullptr, key, nullptr)
                : EVP_DigestVerifyInit_ex(md.get(), &pctx, "SM3", nullptr, nullptr, key, nullptr);
  EXPECT_EQ(ok, 1);
  EXPECT_EQ(EVP_PKEY_CTX_set1_id(pctx, kDefaultId.data(), kDefaultId.size()), 1);
  return md;
}

// Whether the request's own signature verifies (SM2/SM3, default identifier).
inline bool RequestVerifies(X509_REQ* req) {
  ASN1_OCTET_STRING* id = ASN1_OCTET_STRING_new();
  ASN1_OCTET_STRING_set(id, U(kDefaultId), static_cast<int>(kDefaultId.size()));
  X509_REQ_set0_distinguishing_id(req, id);
  return X509_REQ_verify(req, X509_REQ_get0_pubkey(req)) == 1;
}

// Whether a DER signature (given as Base64) verifies under the certificate's
// key over data, SM2 with SM3 and the default identifier.
inline bool SignatureVerifies(X509* cert, std::string_view data, std::string_view signatureBase64) {
  std::string signature = FromBase64(signatureBase64);
  if (signature.empty()) return false;
  MdCtx md = Sm2Context(X509_get0_pubkey(cert), false);
  return EVP_DigestVerify(md.get(), U(signature), signature.size(), U(data), data.size()) == 1;
}

// An SM2 ciphertext in OpenSSL's DER form, for key.
inline std::string Sm2Encrypt(EVP_PKEY* key, std::string_view plaintext) {
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  EXPECT_EQ(EVP_PKEY_encrypt_init(ctx.get()), 1);
  size_t n = 0;
  EXPECT_EQ(EVP_PKEY_encrypt(ctx.get(), nullptr, &n, U(plaintext), plaintext.size()), 1);
  std::string out(n, '\0');
  EXPECT_EQ(EVP_PKEY_encrypt(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &n, U(plaintext),
                             plaintext.size()),
            1);
  out.resize(n);
  return out;
}

inline Name MakeName(const std::vector<std::pair<std::string, std::string>>& entries) {
  Name name(X509_NAME_new());
  for (const auto& [field, value] : entries) {
    X509_NAME_add_entry_by_txt(name.get(), field.c_str(), MBSTRING_UTF8, U(value), static_cast<int>(value.size()),
                               -1, 0);
  }
  return name;
}

// A certification authority of the tests, with an SM2 key of its own.
class TestCa {
 public:
  TestCa() : key_(NewSm2Key()) {
    Name name = MakeName({{"CN", "Vasquill Test CA"}, {"O", "Vasquill Tests"}, {"C", "CN"}});
    cert_ = Issue(key_.get(), name.get(), -3600, 3650L * 86400);
  }

  // A certificate for pub and subject, valid from now + from to now + to
  // (seconds).
  Cert Issue(EVP_PKEY* pub, const X509_NAME* subject, long from, long to) {
    Cert cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set_int64(X509_get_serialNumber(cert.get()), ++serial_ + 4096);
    X509_set_subject_name(cert.get(), subject);
    X509_set_issuer_name(cert.get(), cert_ ? X509_get_subject_name(cert_.get()) : subject);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), from);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), to);
    X509_set_pubkey(cert.get(), pub);
    MdCtx md = Sm2Context(key_.get(), true);
    EXPECT_GT(X509_sign_ctx(cert.get(), md.get()), 0);
    return cert;
  }

  // The certificate answering a request given as its Base64 text.
  Cert IssueFor(std::string_view requestBase64, long from = -3600, long to = 30L * 86400 + 3600) {
    Req req = RequestFromBase64(requestBase64);
    EXPECT_TRUE(req);
    if (!req) return {};
    return Issue(X509_REQ_get0_pubkey(req.get()), X509_REQ_get_subject_name(req.get()), from, to);
  }

  X509* cert() const { return cert_.get(); }

 private:
  Pkey key_;
  Cert cert_;
  int64_t serial_ = 0;
};

// The encryption pair as a CA's key management would deliver it: a key pair,
// its certificate, and the private key sealed for the signing key.
struct EncryptionDelivery {
  Pkey key;
  Cert cert;
  std::string envelope;  // Base64
};

inline EncryptionDelivery Deliver(TestCa& ca, X509* signingCert, bool asPkcs8) {
  EncryptionDelivery delivery;
  delivery.key = NewSm2Key();
  Name subject = MakeName({{"CN", "Alice"}, {"OU", "Encryption"}});
  delivery.cert = ca.Issue(delivery.key.get(), subject.get(), -60, 86400L * 100);
  std::string secret = asPkcs8 ? PrivateKeyInfo(delivery.key.get()) : PrivateScalar(delivery.key.get());
  delivery.envelope = ToBase64(Sm2Encrypt(X509_get0_pubkey(signingCert), secret));
  return delivery;
}

// --- The fixture -----------------------------------------------------------

class SoftkeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = StoreFolderPath();
    fs::remove_all(store_);
    char pattern[] = "/tmp/softkey-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    temp_ = pattern;
    answers_ = temp_ / "answers";
    fs::create_directories(answers_);
    setenv("VASQUILL_SOFTKEY_ASKPASS", SOFTKEY_ASKPASS, 1);
    setenv("SOFTKEY_TEST_ANSWERS", answers_.c_str(), 1);
    unsetenv("VASQUILL_SOFTKEY_ASKPASS_TIMEOUT");
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    // A copy of its own: the driver's state (PIN cache, events) starts afresh
    // in every test.
    library_ = temp_ / "libtestlib.dylib";
    fs::copy_file(SOFTKEY_LIBRARY, library_);
    handle_ = dlopen(library_.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
#define SOFTKEY_BIND(name)                                                       \
  d.name = reinterpret_cast<ukey_driver::name##Fn>(dlsym(handle_, #name)); \
  ASSERT_NE(d.name, nullptr) << #name;
    SOFTKEY_EXPORTS(SOFTKEY_BIND)
#undef SOFTKEY_BIND
  }

  void TearDown() override {
    if (handle_ != nullptr) dlclose(handle_);
    std::error_code ignored;
    fs::remove_all(temp_, ignored);
    fs::remove_all(store_, ignored);
  }

  // The store folder: HOME of the password database under the install root.
  static fs::path StoreFolderPath() {
    const passwd* entry = getpwuid(geteuid());
    std::string home = entry != nullptr ? entry->pw_dir : "";
    return fs::path(std::string(TEST_INSTALL_ROOT) + home + "/.local/share/vasquill-softkey");
  }

  fs::path StoreFile(const std::string& serial) const { return store_ / (serial + ".key"); }

  // The askpass program's answer for one kind of PIN ("current", "new",
  // "confirm"), written with a line feed as a person's entry ends.
  void Answer(const std::string& kind, const std::string& pin) { WriteFile(answers_ / kind, pin + "\n"); }
  void AnswerRaw(const std::string& name, const std::string& content) { WriteFile(answers_ / name, content); }
  void ClearAnswer(const std::string& name) { fs::remove(answers_ / name); }

  // The askpass calls so far, as "kind serial" lines.
  std::vector<std::string> Calls() const {
    std::vector<std::string> lines;
    std::ifstream in(answers_ / "calls");
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  std::string LastPrompt() const { return ReadFile(answers_ / "prompt"); }
  void ClearCalls() { fs::remove(answers_ / "calls"); }

  static void WriteFile(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
  }
  static std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // Calls a text-out function with a zeroed 10240-byte buffer; the code and
  // the text.
  template <typename Call>
  static std::pair<int32_t, std::string> Out(Call&& call, int32_t size = ukey_driver::kTextBufferSize) {
    std::vector<char> buffer(static_cast<size_t>(ukey_driver::kTextBufferSize), '\0');
    int32_t len = size;
    int32_t code = call(buffer.data(), &len);
    return {code, std::string(buffer.data(), strnlen(buffer.data(), buffer.size()))};
  }

  // A new key with the default PIN.
  void NewKey(const std::string& serial) { ASSERT_EQ(d.InitUKey(serial.c_str()), kOk); }

  // A request from key serial (asked with the PIN in the answers).
  std::string Request(const std::string& serial, const std::string& subject) {
    auto [code, text] = Out([&](char* out, int32_t* len) {
      return d.GenerateCertRequest(serial.c_str(), subject.c_str(), out, len);
    });
    EXPECT_EQ(code, kOk);
    return text;
  }

  // A new key holding a signing certificate of the test CA for subject.
  Cert Enrol(const std::string& serial, const std::string& subject = "CN=Alice,O=Example Bank,C=CN") {
    Answer("current", "123456");
    EXPECT_EQ(d.InitUKey(serial.c_str()), kOk);
    std::string request = Request(serial, subject);
    Cert cert = ca.IssueFor(request);
    EXPECT_TRUE(cert);
    if (!cert) return {};
    EXPECT_EQ(d.ImportX509Cert(serial.c_str(), ToBase64(CertDer(cert.get())).c_str()), kOk);
    return cert;
  }

  Driver d;
  TestCa ca;
  fs::path store_;
  fs::path temp_;
  fs::path answers_;
  fs::path library_;
  void* handle_ = nullptr;
};

}  // namespace softkey_test
