#include "tests/support/ukey_ca.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include <cstring>
#include <vector>

#include "base64/base64.h"

namespace ukey_testing {
namespace {

constexpr char kDefaultId[] = "1234567812345678";

std::string OpenSslError(const std::string& what) {
  const unsigned long code = ERR_get_error();
  char text[256] = {};
  if (code != 0) ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  return what + (code != 0 ? std::string(": ") + text : std::string());
}

// The DER bytes of a Base64 DER or PEM text.
std::string Der(const std::string& text, const char* pemLabel) {
  if (text.find("-----BEGIN ") == std::string::npos) return Base64::decode64(text);
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())), BIO_free);
  char* name = nullptr;
  char* header = nullptr;
  unsigned char* data = nullptr;
  long length = 0;
  std::string der;
  if (PEM_read_bio(bio.get(), &name, &header, &data, &length) == 1 && std::strcmp(name, pemLabel) == 0) {
    der.assign(reinterpret_cast<char*>(data), static_cast<std::size_t>(length));
  }
  OPENSSL_free(name);
  OPENSSL_free(header);
  OPENSSL_free(data);
  return der;
}

X509* ParseCertificate(const std::string& text) {
  const std::string der = Der(text, "CERTIFICATE");
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(der.data());
  return d2i_X509(nullptr, &bytes, static_cast<long>(der.size()));
}

// Signs a certificate with SM2 over SM3 and the default identity.
bool SignCertificate(X509* certificate, EVP_PKEY* key) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  EVP_PKEY_CTX* keyContext = nullptr;
  return context && EVP_DigestSignInit_ex(context.get(), &keyContext, "SM3", nullptr, nullptr, key, nullptr) == 1 &&
         EVP_PKEY_CTX_set1_id(keyContext, kDefaultId, std::strlen(kDefaultId)) == 1 &&
         X509_sign_ctx(certificate, context.get()) > 0;
}

bool SetValidity(X509* certificate, int days) {
  return X509_gmtime_adj(X509_getm_notBefore(certificate), -3600) != nullptr &&
         X509_gmtime_adj(X509_getm_notAfter(certificate), static_cast<long>(days) * 86400) != nullptr;
}

}  // namespace

TestCa::TestCa() {
  key_ = EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2");
  if (key_ == nullptr) return;
  X509* certificate = X509_new();
  X509_NAME* name = X509_NAME_new();
  const bool made =
      certificate != nullptr && name != nullptr && X509_set_version(certificate, 2) == 1 &&
      ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1) == 1 &&
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Vasquill Test CA"),
                                 -1, -1, 0) == 1 &&
      X509_set_subject_name(certificate, name) == 1 && X509_set_issuer_name(certificate, name) == 1 &&
      SetValidity(certificate, 365) && X509_set_pubkey(certificate, key_) == 1 && SignCertificate(certificate, key_);
  X509_NAME_free(name);
  if (made) {
    certificate_ = certificate;
  } else {
    X509_free(certificate);
  }
}

TestCa::~TestCa() {
  X509_free(certificate_);
  EVP_PKEY_free(key_);
}

std::string TestCa::Issue(const std::string& request, int days, std::string* error) {
  if (!Ready()) {
    if (error) *error = "no CA";
    return std::string();
  }
  const std::string der = Der(request, "CERTIFICATE REQUEST");
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(der.data());
  std::unique_ptr<X509_REQ, decltype(&X509_REQ_free)> parsed(
      d2i_X509_REQ(nullptr, &bytes, static_cast<long>(der.size())), X509_REQ_free);
  if (!parsed) {
    if (error) *error = OpenSslError("the request does not parse");
    return std::string();
  }
  // The request's own signature, with the default identity.
  ASN1_OCTET_STRING* id = ASN1_OCTET_STRING_new();
  ASN1_OCTET_STRING_set(id, reinterpret_cast<const unsigned char*>(kDefaultId),
                        static_cast<int>(std::strlen(kDefaultId)));
  X509_REQ_set0_distinguishing_id(parsed.get(), id);
  EVP_PKEY* requestKey = X509_REQ_get0_pubkey(parsed.get());
  if (requestKey == nullptr || X509_REQ_verify(parsed.get(), requestKey) != 1) {
    if (error) *error = OpenSslError("the request's signature does not verify");
    return std::string();
  }
  std::unique_ptr<X509, decltype(&X509_free)> issued(X509_new(), X509_free);
  static long serial = 100;
  const bool made = issued && X509_set_version(issued.get(), 2) == 1 &&
                    ASN1_INTEGER_set(X509_get_serialNumber(issued.get()), ++serial) == 1 &&
                    X509_set_subject_name(issued.get(), X509_REQ_get_subject_name(parsed.get())) == 1 &&
                    X509_set_issuer_name(issued.get(), X509_get_subject_name(certificate_)) == 1 &&
                    SetValidity(issued.get(), days) && X509_set_pubkey(issued.get(), requestKey) == 1 &&
                    SignCertificate(issued.get(), key_);
  if (!made) {
    if (error) *error = OpenSslError("the certificate could not be made");
    return std::string();
  }
  unsigned char* out = nullptr;
  const int length = i2d_X509(issued.get(), &out);
  if (length <= 0) {
    if (error) *error = OpenSslError("the certificate could not be encoded");
    return std::string();
  }
  std::string certificate(reinterpret_cast<char*>(out), static_cast<std::size_t>(length));
  OPENSSL_free(out);
  return Base64::encode64(certificate);
}

bool VerifySm2Signature(const std::string& certificate, const std::string& data, const std::string& signature,
                        std::string* error) {
  std::unique_ptr<X509, decltype(&X509_free)> parsed(ParseCertificate(certificate), X509_free);
  EVP_PKEY* key = parsed ? X509_get0_pubkey(parsed.get()) : nullptr;
  if (key == nullptr) {
    if (error) *error = OpenSslError("the certificate does not parse");
    return false;
  }
  const std::string der = Base64::decode64(signature);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  EVP_PKEY_CTX* keyContext = nullptr;
  const bool verified =
      context && EVP_DigestVerifyInit_ex(context.get(), &keyContext, "SM3", nullptr, nullptr, key, nullptr) == 1 &&
      EVP_PKEY_CTX_set1_id(keyContext, kDefaultId, std::strlen(kDefaultId)) == 1 &&
      EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(der.data()), der.size(),
                       reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
  if (!verified && error) *error = OpenSslError("the signature does not verify");
  return verified;
}

std::string CertificateSubject(const std::string& certificate) {
  std::unique_ptr<X509, decltype(&X509_free)> parsed(ParseCertificate(certificate), X509_free);
  if (!parsed) return std::string();
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  X509_NAME_print_ex(bio.get(), X509_get_subject_name(parsed.get()), 0, XN_FLAG_RFC2253);
  char* text = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &text);
  return std::string(text, static_cast<std::size_t>(length));
}

}  // namespace ukey_testing
