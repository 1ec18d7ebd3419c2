// vasquill-provision: provisions the service's TLS material at its installed
// paths, and makes the stored passphrase text for a deployment's build.
//
//   vasquill-provision tls [--force] [--root DIR]
//       Creates the server key (P-256, PEM encrypted under the passphrase the
//       listener derives) and a certificate for 127.0.0.1 and localhost, unless
//       a usable pair is already installed (--force renews it).  --root puts
//       them below DIR, for an installation into a folder that is not yet the
//       machine's root (a package installed with dpkg --root).
//   vasquill-provision passphrase-text PASSPHRASE
//       Prints the 44-character text to build the service with
//       (-DVASQUILL_PASSPHRASE_TEXT=...) so that it derives PASSPHRASE.

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ts.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "base64/base64.h"
#include "service/tls_material.h"

namespace {

constexpr long kValidityDays = 824;  // browsers refuse more than 825 days

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* object) const { Free(object); }
};
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using File = std::unique_ptr<FILE, decltype(&std::fclose)>;

// DIR of --root, put in front of the installed paths.
std::string g_root;
std::string KeyPath() { return g_root + ServerKeyPath(); }
std::string CertificatePath() { return g_root + ServerCertificatePath(); }

int Fail(const std::string& message) {
  std::fprintf(stderr, "vasquill-provision: %s\n", message.c_str());
  return 1;
}

Certificate ReadCertificate(const std::string& path) {
  File file(std::fopen(path.c_str(), "r"), &std::fclose);
  if (!file) return nullptr;
  return Certificate(PEM_read_X509(file.get(), nullptr, nullptr, nullptr));
}

// The installed pair is usable when the key opens with the derived passphrase,
// matches the certificate, and the certificate is valid for another 30 days.
bool InstalledPairUsable() {
  std::string passphrase = ServerKeyPassphrase();
  Key key(TS_CONF_load_key(KeyPath().c_str(), passphrase.c_str()));
  Certificate certificate = ReadCertificate(CertificatePath());
  if (!key || !certificate || X509_check_private_key(certificate.get(), key.get()) != 1) return false;
  time_t soon = time(nullptr) + 30L * 24 * 3600;
  return X509_cmp_time(X509_get0_notAfter(certificate.get()), &soon) > 0 &&
         X509_check_ip_asc(certificate.get(), "127.0.0.1", 0) == 1;
}

bool AddExtension(X509* certificate, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  if (extension == nullptr) return false;
  bool added = X509_add_ext(certificate, extension, -1) == 1;
  X509_EXTENSION_free(extension);
  return added;
}

Certificate MakeCertificate(EVP_PKEY* key) {
  Certificate certificate(X509_new());
  unsigned char serial[16];
  if (!certificate || RAND_bytes(serial, sizeof serial) != 1) return nullptr;
  serial[0] &= 0x7f;
  BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
  bool ok = number && X509_set_version(certificate.get(), X509_VERSION_3) == 1 &&
            BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate.get())) != nullptr;
  BN_free(number);
  X509_NAME* name = X509_get_subject_name(certificate.get());
  ok = ok &&
       X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                  reinterpret_cast<const unsigned char*>("Vasquill"), -1, -1, 0) == 1 &&
       X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                  reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0) == 1 &&
       X509_set_issuer_name(certificate.get(), name) == 1 &&
       X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -60) != nullptr &&
       X509_time_adj_ex(X509_getm_notAfter(certificate.get()), kValidityDays, 0, nullptr) != nullptr &&
       X509_set_pubkey(certificate.get(), key) == 1 &&
       AddExtension(certificate.get(), NID_basic_constraints, "critical,CA:FALSE") &&
       AddExtension(certificate.get(), NID_key_usage, "critical,digitalSignature,keyEncipherment") &&
       AddExtension(certificate.get(), NID_ext_key_usage, "serverAuth") &&
       AddExtension(certificate.get(), NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost") &&
       AddExtension(certificate.get(), NID_subject_key_identifier, "hash") &&
       X509_sign(certificate.get(), key, EVP_sha256()) > 0;
  return ok ? std::move(certificate) : nullptr;
}

int ProvisionTls(bool force) {
  if (!force && InstalledPairUsable()) {
    std::printf("TLS material in place: %s\n", CertificatePath().c_str());
    return 0;
  }
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(KeyPath()).parent_path(), error);
  if (error) return Fail("cannot create " + std::filesystem::path(KeyPath()).parent_path().string());

  Key key(EVP_EC_gen("P-256"));
  if (!key) return Fail("cannot generate a P-256 key");
  Certificate certificate = MakeCertificate(key.get());
  if (!certificate) return Fail("cannot make the certificate");

  std::string passphrase = ServerKeyPassphrase();
  if (passphrase.empty()) return Fail("the built-in passphrase text yields an empty passphrase");
  {
    mode_t previous = umask(077);
    File keyFile(std::fopen(KeyPath().c_str(), "w"), &std::fclose);
    umask(previous);
    if (!keyFile ||
        PEM_write_PKCS8PrivateKey(keyFile.get(), key.get(), EVP_aes_256_cbc(), passphrase.data(),
                                  static_cast<int>(passphrase.size()), nullptr, nullptr) != 1) {
      return Fail("cannot write " + KeyPath());
    }
  }
  {
    File certificateFile(std::fopen(CertificatePath().c_str(), "w"), &std::fclose);
    if (!certificateFile || PEM_write_X509(certificateFile.get(), certificate.get()) != 1) {
      return Fail("cannot write " + CertificatePath());
    }
  }
  if (!InstalledPairUsable()) return Fail("the written key and certificate do not load back");
  std::printf("TLS material written: %s\n", CertificatePath().c_str());
  return 0;
}

int PrintPassphraseText(const std::string& passphrase) {
  if (passphrase.empty() || passphrase.size() > 32) return Fail("the passphrase must have 1 to 32 bytes");
  std::string block = passphrase;
  block.resize(32, '\0');
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  unsigned char encrypted[32];
  int written = 0;
  if (!context ||
      EVP_EncryptInit_ex(context.get(), EVP_aes_256_ecb(), nullptr,
                         reinterpret_cast<const unsigned char*>(kPassphraseKey), nullptr) != 1 ||
      EVP_CIPHER_CTX_set_padding(context.get(), 0) != 1 ||
      EVP_EncryptUpdate(context.get(), encrypted, &written, reinterpret_cast<const unsigned char*>(block.data()),
                        32) != 1 ||
      written != 32) {
    return Fail("AES-256-ECB failed");
  }
  std::string text = Base64::encode64(std::string(reinterpret_cast<char*>(encrypted), 32));
  if (DerivePassphrase(text) != passphrase) return Fail("the passphrase holds a zero byte");
  std::printf("%s\n", text.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string command = argc > 1 ? argv[1] : "";
  if (command == "tls") {
    bool force = false;
    for (int i = 2; i < argc; ++i) {
      if (std::strcmp(argv[i], "--force") == 0) {
        force = true;
      } else if (std::strcmp(argv[i], "--root") == 0 && i + 1 < argc && argv[i + 1][0] == '/') {
        g_root = argv[++i];
        while (!g_root.empty() && g_root.back() == '/') g_root.pop_back();
      } else {
        return Fail("unknown option " + std::string(argv[i]));
      }
    }
    return ProvisionTls(force);
  }
  if (command == "passphrase-text" && argc == 3) return PrintPassphraseText(argv[2]);
  std::fprintf(stderr,
               "usage: vasquill-provision tls [--force] [--root DIR]\n"
               "       vasquill-provision passphrase-text PASSPHRASE\n");
  return 2;
}
