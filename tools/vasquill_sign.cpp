// vasquill-sign: makes and checks the detached signature files (".sig") of
// components and drivers, and the signer's keys.
//
//   vasquill-sign sign --type 0|1 --key KEY.pem [--raw] [--out SIG] LIBRARY
//       Writes LIBRARY.sig (or SIG): type 0 is the raw 64-byte SM2 signature
//       with SM3 and the default identity over the library's bytes; type 1 is
//       the Base64 text of the DER signature over e = SM3(library), or of the
//       raw 64 bytes with --raw.  KEY is an SM2 private key in PEM.
//   vasquill-sign verify --type N LIBRARY
//       Checks LIBRARY.sig with the keys built into the service and the
//       service's own routine; exit status 0 when it verifies, 1 when not.
//   vasquill-sign genkey OUT.pem
//       Creates an SM2 private key (PEM, PKCS#8, readable by its owner only).
//   vasquill-sign certificate --key KEY.pem [--subject /O=../CN=..] [--days N] OUT.crt
//       Creates a self-signed SM2 certificate (SM2 with SM3) for the key.
//   vasquill-sign hexkey KEY.pem|CERT.crt
//       Prints the public key as the service embeds it: X|Y, 64 upper-case
//       hexadecimal digits each.
//
// Usage errors and failures to read or write exit with 2.

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base64/base64.h"
#include "sm/verify_file.h"

namespace {

const char kDefaultId[] = "1234567812345678";
// Signature files are only checked for libraries below 2 GiB.
constexpr long long kLargestLibrary = 0x7FFFFFFFLL;

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* object) const { Free(object); }
};
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using KeyContext = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using Certificate = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using Signature = std::unique_ptr<ECDSA_SIG, Deleter<ECDSA_SIG, ECDSA_SIG_free>>;

struct Failure {
  std::string message;
};

[[noreturn]] void Fail(const std::string& message) { throw Failure{message}; }

const char kUsage[] =
    "usage: vasquill-sign sign --type 0|1 --key KEY.pem [--raw] [--out SIG] LIBRARY\n"
    "       vasquill-sign verify --type N LIBRARY\n"
    "       vasquill-sign genkey OUT.pem\n"
    "       vasquill-sign certificate --key KEY.pem [--subject /O=../CN=..] [--days N] OUT.crt\n"
    "       vasquill-sign hexkey KEY.pem|CERT.crt\n";

// Options of the form --name VALUE (or --flag) followed by positional
// arguments.
struct Arguments {
  std::map<std::string, std::string> options;
  std::vector<std::string> positional;
};

Arguments Parse(int argc, char** argv, int first, const std::vector<std::string>& flags) {
  Arguments arguments;
  for (int i = first; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument.rfind("--", 0) == 0) {
      bool isFlag = false;
      for (const auto& flag : flags) isFlag = isFlag || flag == argument;
      if (isFlag) {
        arguments.options[argument] = "";
      } else if (i + 1 < argc) {
        arguments.options[argument] = argv[++i];
      } else {
        Fail("missing value of " + argument);
      }
    } else {
      arguments.positional.push_back(argument);
    }
  }
  return arguments;
}

std::string Option(const Arguments& arguments, const std::string& name) {
  const auto found = arguments.options.find(name);
  if (found == arguments.options.end()) Fail("missing " + name);
  return found->second;
}

int TypeOption(const Arguments& arguments) {
  const std::string text = Option(arguments, "--type");
  char* end = nullptr;
  const long type = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || type < INT32_MIN || type > INT32_MAX) {
    Fail("not a type: " + text);
  }
  return static_cast<int>(type);
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail("cannot read " + path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteWholeFile(const std::string& path, const std::string& bytes, mode_t mode = 0644) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) Fail("cannot write " + path);
  fchmod(fileno(file), mode);
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  if (std::fclose(file) != 0 || !ok) Fail("cannot write " + path);
}

Key ReadPrivateKey(const std::string& path) {
  const std::string text = ReadWholeFile(path);
  Bio bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
  Key key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!key) Fail(path + ": not a PEM private key");
  if (!EVP_PKEY_is_a(key.get(), "SM2")) Fail(path + ": not an SM2 key");
  return key;
}

// A public key from a PEM private key, public key or certificate.
Key ReadPublicKey(const std::string& path) {
  const std::string text = ReadWholeFile(path);
  Bio bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
  Key key;
  if (text.find("-----BEGIN CERTIFICATE-----") != std::string::npos) {
    Certificate certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (certificate) key.reset(X509_get_pubkey(certificate.get()));
  } else if (text.find("PUBLIC KEY-----") != std::string::npos) {
    key.reset(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
  } else {
    key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  }
  if (!key) Fail(path + ": no key found");
  return key;
}

// A signing context for SM2 with the default identity.
KeyContext SigningContext(EVP_PKEY* key) {
  KeyContext context(EVP_PKEY_CTX_new(key, nullptr));
  if (!context) Fail("cannot make a signing context");
  return context;
}

// r || s, each 32 bytes big-endian, from a DER signature.
std::string RawSignature(const std::string& der) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(der.data());
  Signature signature(d2i_ECDSA_SIG(nullptr, &bytes, static_cast<long>(der.size())));
  if (!signature) Fail("the signature does not decode");
  unsigned char raw[64];
  if (BN_bn2binpad(ECDSA_SIG_get0_r(signature.get()), raw, 32) != 32 ||
      BN_bn2binpad(ECDSA_SIG_get0_s(signature.get()), raw + 32, 32) != 32) {
    Fail("the signature does not fit 64 bytes");
  }
  return std::string(reinterpret_cast<const char*>(raw), sizeof raw);
}

void CheckLibrarySize(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) Fail("cannot read " + path);
  if (info.st_size > kLargestLibrary) Fail(path + ": libraries of 2 GiB or more never verify");
}

// DER signature with SM3 and the default identity over the file's bytes.
std::string SignFileBytes(EVP_PKEY* key, const std::string& path) {
  DigestContext digest(EVP_MD_CTX_new());
  KeyContext context = SigningContext(key);
  if (!digest ||
      EVP_PKEY_CTX_set1_id(context.get(), kDefaultId, std::strlen(kDefaultId)) != 1) {
    Fail("cannot set the signer identity");
  }
  EVP_MD_CTX_set_pkey_ctx(digest.get(), context.get());
  if (EVP_DigestSignInit(digest.get(), nullptr, EVP_sm3(), nullptr, key) != 1) {
    Fail("cannot start an SM2 signature");
  }
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) Fail("cannot read " + path);
  std::vector<unsigned char> buffer(1 << 16);
  size_t n;
  bool ok = true;
  while (ok && (n = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) {
    ok = EVP_DigestSignUpdate(digest.get(), buffer.data(), n) == 1;
  }
  ok = ok && std::ferror(file) == 0;
  std::fclose(file);
  if (!ok) Fail("cannot read " + path);
  size_t length = 0;
  if (EVP_DigestSignFinal(digest.get(), nullptr, &length) != 1) Fail("cannot sign");
  std::string der(length, '\0');
  if (EVP_DigestSignFinal(digest.get(), reinterpret_cast<unsigned char*>(der.data()), &length) !=
      1) {
    Fail("cannot sign");
  }
  der.resize(length);
  EVP_MD_CTX_set_pkey_ctx(digest.get(), nullptr);
  return der;
}

// DER signature over e = SM3(file) itself.
std::string SignFileDigest(EVP_PKEY* key, const std::string& path) {
  const std::string library = ReadWholeFile(path);
  unsigned char e[EVP_MAX_MD_SIZE];
  unsigned int eLength = 0;
  if (EVP_Digest(library.data(), library.size(), e, &eLength, EVP_sm3(), nullptr) != 1) {
    Fail("cannot hash " + path);
  }
  KeyContext context = SigningContext(key);
  size_t length = 0;
  if (EVP_PKEY_sign_init(context.get()) != 1 ||
      EVP_PKEY_sign(context.get(), nullptr, &length, e, eLength) != 1) {
    Fail("cannot start an SM2 signature");
  }
  std::string der(length, '\0');
  if (EVP_PKEY_sign(context.get(), reinterpret_cast<unsigned char*>(der.data()), &length, e,
                    eLength) != 1) {
    Fail("cannot sign");
  }
  der.resize(length);
  return der;
}

int Sign(const Arguments& arguments) {
  if (arguments.positional.size() != 1) Fail("one LIBRARY expected");
  const std::string library = arguments.positional[0];
  const int type = TypeOption(arguments);
  const bool raw = arguments.options.count("--raw") > 0;
  const std::string out =
      arguments.options.count("--out") ? Option(arguments, "--out") : library + ".sig";
  Key key = ReadPrivateKey(Option(arguments, "--key"));
  CheckLibrarySize(library);
  std::string content;
  if (type == 0) {
    content = RawSignature(SignFileBytes(key.get(), library));
  } else if (type == 1) {
    const std::string der = SignFileDigest(key.get(), library);
    content = Base64::encode64(raw ? RawSignature(der) : der);
  } else {
    Fail("signature files are of type 0 or 1");
  }
  WriteWholeFile(out, content);
  return 0;
}

int Verify(const Arguments& arguments) {
  if (arguments.positional.size() != 1) Fail("one LIBRARY expected");
  const std::string library = arguments.positional[0];
  const int type = TypeOption(arguments);
  const bool verified = VerifyFileBySigFile(library, type);
  std::printf("%s: type %d signature %s\n", library.c_str(), type,
              verified ? "verifies" : "does not verify");
  return verified ? 0 : 1;
}

int GenerateKey(const Arguments& arguments) {
  if (arguments.positional.size() != 1) Fail("one OUT.pem expected");
  Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
  if (!key) Fail("cannot generate an SM2 key");
  Bio bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                       nullptr) != 1) {
    Fail("cannot encode the key");
  }
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  WriteWholeFile(arguments.positional[0], std::string(data, static_cast<size_t>(length)), 0600);
  return 0;
}

// "/O=Example/CN=Signer" as a name.
void SetSubject(X509_NAME* name, const std::string& subject) {
  size_t position = 0;
  while (position < subject.size()) {
    if (subject[position] != '/') Fail("subject must look like /O=../CN=..");
    const size_t next = subject.find('/', position + 1);
    const std::string part = subject.substr(position + 1, next - position - 1);
    const size_t equals = part.find('=');
    if (equals == std::string::npos ||
        X509_NAME_add_entry_by_txt(name, part.substr(0, equals).c_str(), MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(part.c_str() + equals + 1),
                                   -1, -1, 0) != 1) {
      Fail("not a name part: " + part);
    }
    position = next == std::string::npos ? subject.size() : next;
  }
}

void AddExtension(X509* certificate, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  if (extension == nullptr || X509_add_ext(certificate, extension, -1) != 1) {
    X509_EXTENSION_free(extension);
    Fail("cannot add a certificate extension");
  }
  X509_EXTENSION_free(extension);
}

int MakeCertificate(const Arguments& arguments) {
  if (arguments.positional.size() != 1) Fail("one OUT.crt expected");
  Key key = ReadPrivateKey(Option(arguments, "--key"));
  const std::string subject = arguments.options.count("--subject")
                                  ? Option(arguments, "--subject")
                                  : "/O=Vasquill/CN=Vasquill signer";
  const long days = arguments.options.count("--days")
                        ? std::strtol(Option(arguments, "--days").c_str(), nullptr, 10)
                        : 3650;
  if (days <= 0) Fail("--days must be positive");

  Certificate certificate(X509_new());
  unsigned char serial[16];
  BIGNUM* serialNumber = nullptr;
  if (!certificate || RAND_bytes(serial, sizeof serial) != 1) Fail("cannot make a certificate");
  serial[0] &= 0x7F;
  serialNumber = BN_bin2bn(serial, sizeof serial, nullptr);
  const bool serialSet =
      serialNumber != nullptr &&
      BN_to_ASN1_INTEGER(serialNumber, X509_get_serialNumber(certificate.get())) != nullptr;
  BN_free(serialNumber);
  if (!serialSet || X509_set_version(certificate.get(), X509_VERSION_3) != 1 ||
      X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0) == nullptr ||
      X509_time_adj_ex(X509_getm_notAfter(certificate.get()), static_cast<int>(days), 0,
                       nullptr) == nullptr ||
      X509_set_pubkey(certificate.get(), key.get()) != 1) {
    Fail("cannot make a certificate");
  }
  SetSubject(X509_get_subject_name(certificate.get()), subject);
  if (X509_set_issuer_name(certificate.get(), X509_get_subject_name(certificate.get())) != 1) {
    Fail("cannot make a certificate");
  }
  AddExtension(certificate.get(), NID_basic_constraints, "critical,CA:FALSE");
  AddExtension(certificate.get(), NID_key_usage, "critical,digitalSignature");
  AddExtension(certificate.get(), NID_subject_key_identifier, "hash");

  // Signed with SM3 and the default identity, as OpenSSL checks it.
  DigestContext digest(EVP_MD_CTX_new());
  KeyContext context = SigningContext(key.get());
  if (!digest ||
      EVP_PKEY_CTX_set1_id(context.get(), kDefaultId, std::strlen(kDefaultId)) != 1) {
    Fail("cannot set the signer identity");
  }
  EVP_MD_CTX_set_pkey_ctx(digest.get(), context.get());
  if (EVP_DigestSignInit(digest.get(), nullptr, EVP_sm3(), nullptr, key.get()) != 1 ||
      X509_sign_ctx(certificate.get(), digest.get()) <= 0) {
    Fail("cannot sign the certificate");
  }
  EVP_MD_CTX_set_pkey_ctx(digest.get(), nullptr);

  Bio bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_X509(bio.get(), certificate.get()) != 1) {
    Fail("cannot encode the certificate");
  }
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  WriteWholeFile(arguments.positional[0], std::string(data, static_cast<size_t>(length)));
  return 0;
}

int HexKey(const Arguments& arguments) {
  if (arguments.positional.size() != 1) Fail("one KEY.pem or CERT.crt expected");
  Key key = ReadPublicKey(arguments.positional[0]);
  unsigned char point[65];
  size_t length = 0;
  if (EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point,
                                      sizeof point, &length) != 1 ||
      length != sizeof point || point[0] != 0x04) {
    Fail(arguments.positional[0] + ": not a 256-bit elliptic-curve key");
  }
  static const char digits[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = 1; i < sizeof point; ++i) {
    if (i == 33) text += '|';
    text += digits[point[i] >> 4];
    text += digits[point[i] & 0x0F];
  }
  std::printf("%s\n", text.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string command = argv[1];
  try {
    if (command == "sign") return Sign(Parse(argc, argv, 2, {"--raw"}));
    if (command == "verify") return Verify(Parse(argc, argv, 2, {}));
    if (command == "genkey") return GenerateKey(Parse(argc, argv, 2, {}));
    if (command == "certificate") return MakeCertificate(Parse(argc, argv, 2, {}));
    if (command == "hexkey") return HexKey(Parse(argc, argv, 2, {}));
  } catch (const Failure& failure) {
    std::fprintf(stderr, "vasquill-sign: %s\n", failure.message.c_str());
    return 2;
  }
  std::fputs(kUsage, stderr);
  return 2;
}
