#include "softkey/crypto.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/hmac.h>
#include <openssl/obj_mac.h>
#include <openssl/objects.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

#include <cctype>
#include <cstdio>
#include <ctime>
#include <stdexcept>

#include "softkey/text.h"

namespace softkey {
namespace {

template <typename T, void (*F)(T*)>
struct Deleter {
  void operator()(T* p) const { F(p); }
};
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using Req = std::unique_ptr<X509_REQ, Deleter<X509_REQ, X509_REQ_free>>;
using P8 = std::unique_ptr<PKCS8_PRIV_KEY_INFO, Deleter<PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free>>;
using Bn = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_clear_free>>;
using BnCtx = std::unique_ptr<BN_CTX, Deleter<BN_CTX, BN_CTX_free>>;
using Group = std::unique_ptr<EC_GROUP, Deleter<EC_GROUP, EC_GROUP_free>>;
using Point = std::unique_ptr<EC_POINT, Deleter<EC_POINT, EC_POINT_free>>;
using ParamBld = std::unique_ptr<OSSL_PARAM_BLD, Deleter<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
using Params = std::unique_ptr<OSSL_PARAM, Deleter<OSSL_PARAM, OSSL_PARAM_free>>;
using Entry = std::unique_ptr<X509_NAME_ENTRY, Deleter<X509_NAME_ENTRY, X509_NAME_ENTRY_free>>;

const unsigned char* Bytes(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }

// i2d of any OpenSSL object into a string.
template <typename T, typename F>
std::string ToDer(T* object, F i2d) {
  unsigned char* der = nullptr;
  int length = i2d(object, &der);
  if (length <= 0 || der == nullptr) return {};
  std::string bytes(reinterpret_cast<char*>(der), static_cast<size_t>(length));
  OPENSSL_free(der);
  return bytes;
}

// A digest-sign context for SM2/SM3 with the default identifier.
MdCtx Sm2SignContext(EVP_PKEY* key) {
  MdCtx md(EVP_MD_CTX_new());
  if (!md) return {};
  EVP_PKEY_CTX* pctx = nullptr;
  if (EVP_DigestSignInit_ex(md.get(), &pctx, "SM3", nullptr, nullptr, key, nullptr) != 1) return {};
  if (EVP_PKEY_CTX_set1_id(pctx, kSm2DefaultId.data(), kSm2DefaultId.size()) != 1) return {};
  return md;
}

bool IsHexDigit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  return (std::tolower(static_cast<unsigned char>(c)) - 'a') + 10;
}

// The attribute of a name type, or NID_undef.
int AttributeNid(std::string type) {
  std::string upper = type;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper == "E" || upper == "EMAIL") return NID_pkcs9_emailAddress;
  int nid = OBJ_txt2nid(type.c_str());
  if (nid == NID_undef) nid = OBJ_txt2nid(upper.c_str());
  return nid;
}

// Trims unescaped spaces; escaped flags the characters that came escaped.
void TrimUnescaped(std::string& text, std::vector<bool>& escaped) {
  size_t begin = 0;
  while (begin < text.size() && text[begin] == ' ' && !escaped[begin]) ++begin;
  size_t end = text.size();
  while (end > begin && text[end - 1] == ' ' && !escaped[end - 1]) --end;
  text = text.substr(begin, end - begin);
  escaped = std::vector<bool>(escaped.begin() + begin, escaped.begin() + end);
}

}  // namespace

std::string RandomBytes(size_t count) {
  std::string bytes(count, '\0');
  if (count > 0 && RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(count)) != 1) {
    throw std::runtime_error("RAND_bytes");
  }
  return bytes;
}

Pkey GenerateSm2Key() { return Pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2")); }

bool IsSm2Key(const EVP_PKEY* key) { return key != nullptr && EVP_PKEY_is_a(key, "SM2"); }

std::string PrivateKeyDer(const EVP_PKEY* key) {
  P8 p8(EVP_PKEY2PKCS8(key));
  if (!p8) return {};
  return ToDer(p8.get(), i2d_PKCS8_PRIV_KEY_INFO);
}

Pkey ParsePrivateKeyDer(std::string_view der) {
  const unsigned char* p = Bytes(der);
  P8 p8(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(der.size())));
  if (!p8 || p != Bytes(der) + der.size()) return {};
  Pkey key(EVP_PKCS82PKEY(p8.get()));
  if (!IsSm2Key(key.get())) return {};
  return key;
}

std::string PublicKeyDer(const EVP_PKEY* key) { return ToDer(key, i2d_PUBKEY); }

Pkey ParsePublicKeyDer(std::string_view der) {
  const unsigned char* p = Bytes(der);
  Pkey key(d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size())));
  if (!key || p != Bytes(der) + der.size() || !IsSm2Key(key.get())) return {};
  return key;
}

bool SamePublicKey(const EVP_PKEY* a, const EVP_PKEY* b) {
  return a != nullptr && b != nullptr && EVP_PKEY_eq(a, b) == 1;
}

Pkey Sm2KeyFromScalar(std::string_view scalar) {
  if (scalar.size() != 32) return {};
  Group group(EC_GROUP_new_by_curve_name(NID_sm2));
  BnCtx bnCtx(BN_CTX_new());
  Bn d(BN_bin2bn(Bytes(scalar), static_cast<int>(scalar.size()), nullptr));
  Bn limit(BN_new());
  if (!group || !bnCtx || !d || !limit) return {};
  // 1 <= d <= n - 2 (SM2 needs 1 + d invertible).
  if (!BN_copy(limit.get(), EC_GROUP_get0_order(group.get())) || !BN_sub_word(limit.get(), 2)) return {};
  if (BN_is_zero(d.get()) || BN_cmp(d.get(), limit.get()) > 0) return {};
  Point point(EC_POINT_new(group.get()));
  if (!point || EC_POINT_mul(group.get(), point.get(), d.get(), nullptr, nullptr, bnCtx.get()) != 1) return {};
  unsigned char pub[65];
  size_t pubLength = EC_POINT_point2oct(group.get(), point.get(), POINT_CONVERSION_UNCOMPRESSED, pub,
                                        sizeof pub, bnCtx.get());
  if (pubLength != sizeof pub) return {};
  ParamBld build(OSSL_PARAM_BLD_new());
  if (!build ||
      !OSSL_PARAM_BLD_push_utf8_string(build.get(), OSSL_PKEY_PARAM_GROUP_NAME, SN_sm2, 0) ||
      !OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_PRIV_KEY, d.get()) ||
      !OSSL_PARAM_BLD_push_octet_string(build.get(), OSSL_PKEY_PARAM_PUB_KEY, pub, pubLength)) {
    return {};
  }
  Params params(OSSL_PARAM_BLD_to_param(build.get()));
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr));
  EVP_PKEY* raw = nullptr;
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_KEYPAIR, params.get()) != 1) {
    return {};
  }
  return Pkey(raw);
}

Name ParseName(std::string_view text) {
  Name name(X509_NAME_new());
  if (!name) return {};
  size_t i = 0;
  bool sameRdn = false;
  bool any = false;
  while (true) {
    // One "type=value" up to an unescaped "," or "+".
    std::string type;
    while (i < text.size() && text[i] != '=' && text[i] != ',' && text[i] != '+') type += text[i++];
    if (i >= text.size() || text[i] != '=') return {};
    ++i;
    std::string value;
    std::vector<bool> escaped;
    char end = '\0';
    while (i < text.size()) {
      char c = text[i];
      if (c == ',' || c == '+') {
        end = c;
        ++i;
        break;
      }
      if (c == '\\') {
        if (i + 1 >= text.size()) return {};
        if (i + 2 < text.size() && IsHexDigit(text[i + 1]) && IsHexDigit(text[i + 2])) {
          value += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
          i += 3;
        } else {
          value += text[i + 1];
          i += 2;
        }
        escaped.push_back(true);
        continue;
      }
      value += c;
      escaped.push_back(false);
      ++i;
    }
    // Trim the type's spaces and the value's unescaped ones.
    size_t tb = type.find_first_not_of(' ');
    size_t te = type.find_last_not_of(' ');
    if (tb == std::string::npos) return {};
    type = type.substr(tb, te - tb + 1);
    TrimUnescaped(value, escaped);
    if (value.empty() || !IsCleanUtf8(value)) return {};
    int nid = AttributeNid(type);
    if (nid == NID_undef) return {};
    if (X509_NAME_add_entry_by_NID(name.get(), nid, MBSTRING_UTF8, Bytes(value),
                                   static_cast<int>(value.size()), -1, sameRdn ? -1 : 0) != 1) {
      ERR_clear_error();
      return {};
    }
    any = true;
    if (end == '\0') break;
    sameRdn = end == '+';
    if (i >= text.size()) return {};  // a trailing separator
  }
  if (!any) return {};
  return name;
}

std::string FormatName(const X509_NAME* name) {
  std::string text;
  int previousSet = -1;
  int count = X509_NAME_entry_count(name);
  for (int k = 0; k < count; ++k) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, k);
    int set = X509_NAME_ENTRY_set(entry);
    if (k > 0) text += set == previousSet ? '+' : ',';
    previousSet = set;
    const ASN1_OBJECT* object = X509_NAME_ENTRY_get_object(entry);
    int nid = OBJ_obj2nid(object);
    if (nid != NID_undef && OBJ_nid2sn(nid) != nullptr) {
      text += nid == NID_pkcs9_emailAddress ? "E" : OBJ_nid2sn(nid);
    } else {
      char oid[128];
      OBJ_obj2txt(oid, sizeof oid, object, 1);
      text += oid;
    }
    text += '=';
    unsigned char* utf8 = nullptr;
    int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
    if (length < 0) {
      ERR_clear_error();
      continue;
    }
    std::string_view value(reinterpret_cast<char*>(utf8), static_cast<size_t>(length));
    for (size_t j = 0; j < value.size(); ++j) {
      unsigned char c = value[j];
      bool edgeSpace = c == ' ' && (j == 0 || j + 1 == value.size());
      if (c == ',' || c == '+' || c == '"' || c == '\\' || c == '<' || c == '>' || c == ';' ||
          c == '=' || (c == '#' && j == 0) || edgeSpace) {
        text += '\\';
        text += static_cast<char>(c);
      } else if (c < 0x20 || c == 0x7F) {
        static constexpr char kDigits[] = "0123456789ABCDEF";
        text += '\\';
        text += kDigits[c >> 4];
        text += kDigits[c & 15];
      } else {
        text += static_cast<char>(c);
      }
    }
    OPENSSL_free(utf8);
  }
  return text;
}

std::string MakeRequest(EVP_PKEY* key, const X509_NAME* subject) {
  Req req(X509_REQ_new());
  if (!req || X509_REQ_set_version(req.get(), 0) != 1 ||
      X509_REQ_set_subject_name(req.get(), subject) != 1 || X509_REQ_set_pubkey(req.get(), key) != 1) {
    return {};
  }
  MdCtx md = Sm2SignContext(key);
  if (!md || X509_REQ_sign_ctx(req.get(), md.get()) <= 0) return {};
  return ToDer(req.get(), i2d_X509_REQ);
}

Cert ParseCertificateDer(std::string_view der) {
  const unsigned char* p = Bytes(der);
  Cert cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  if (!cert || p != Bytes(der) + der.size()) return {};
  return cert;
}

Cert ParseCertificate(std::string_view text) {
  size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string_view::npos) return {};
  text.remove_prefix(begin);
  if (text.substr(0, 10) == "-----BEGIN") {
    Bio bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    if (!bio) return {};
    Cert cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    ERR_clear_error();
    return cert;
  }
  std::optional<std::string> der = Base64Decode(text);
  if (!der || der->empty()) return {};
  return ParseCertificateDer(*der);
}

std::vector<Cert> ParseCertificateBatch(std::string_view text) {
  std::vector<Cert> certs;
  if (text.find("-----BEGIN") != std::string_view::npos) {
    Bio bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    if (!bio) return {};
    while (true) {
      Cert cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
      if (!cert) break;
      certs.push_back(std::move(cert));
    }
    unsigned long error = ERR_peek_last_error();
    bool cleanEnd = ERR_GET_LIB(error) == ERR_LIB_PEM && ERR_GET_REASON(error) == PEM_R_NO_START_LINE;
    ERR_clear_error();
    if (!cleanEnd) return {};
    return certs;
  }
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    std::string_view part = text.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
    Cert cert = ParseCertificate(part);
    if (!cert) return {};
    certs.push_back(std::move(cert));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return certs;
}

std::string CertificateDer(X509* cert) { return ToDer(cert, i2d_X509); }

std::string FormatTime(const ASN1_TIME* time) {
  std::tm tm{};
  if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) return {};
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return text;
}

std::optional<int64_t> RemainingDays(X509* cert) {
  int days = 0;
  int seconds = 0;
  if (ASN1_TIME_diff(&days, &seconds, nullptr, X509_get0_notAfter(cert)) != 1) return std::nullopt;
  int64_t total = int64_t(days) * 86400 + seconds;
  int64_t whole = total / 86400;
  if (total % 86400 < 0) --whole;
  return whole;
}

std::string SerialNumberHex(X509* cert) {
  Bn bn(ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert), nullptr));
  if (!bn) return {};
  char* hex = BN_bn2hex(bn.get());
  if (hex == nullptr) return {};
  std::string text(hex);
  OPENSSL_free(hex);
  return text;
}

std::optional<std::string> SignMessage(EVP_PKEY* key, std::string_view message) {
  MdCtx md = Sm2SignContext(key);
  if (!md) return std::nullopt;
  size_t length = 0;
  if (EVP_DigestSign(md.get(), nullptr, &length, Bytes(message), message.size()) != 1) return std::nullopt;
  std::string signature(length, '\0');
  if (EVP_DigestSign(md.get(), reinterpret_cast<unsigned char*>(signature.data()), &length, Bytes(message),
                     message.size()) != 1) {
    return std::nullopt;
  }
  signature.resize(length);
  return signature;
}

std::optional<std::string> SignDigest(EVP_PKEY* key, std::string_view digest) {
  if (digest.size() != 32) return std::nullopt;
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1) return std::nullopt;
  size_t length = 0;
  if (EVP_PKEY_sign(ctx.get(), nullptr, &length, Bytes(digest), digest.size()) != 1) return std::nullopt;
  std::string signature(length, '\0');
  if (EVP_PKEY_sign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &length, Bytes(digest),
                    digest.size()) != 1) {
    return std::nullopt;
  }
  signature.resize(length);
  return signature;
}

std::optional<std::string> Sm2Decrypt(EVP_PKEY* key, std::string_view ciphertext) {
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1) return std::nullopt;
  size_t length = 0;
  if (EVP_PKEY_decrypt(ctx.get(), nullptr, &length, Bytes(ciphertext), ciphertext.size()) != 1) {
    ERR_clear_error();
    return std::nullopt;
  }
  std::string plaintext(length, '\0');
  if (EVP_PKEY_decrypt(ctx.get(), reinterpret_cast<unsigned char*>(plaintext.data()), &length,
                       Bytes(ciphertext), ciphertext.size()) != 1) {
    ERR_clear_error();
    Wipe(plaintext);
    return std::nullopt;
  }
  plaintext.resize(length);
  return plaintext;
}

std::string DerivePinKey(std::string_view pin, std::string_view salt, uint32_t iterations) {
  std::string derived(32, '\0');
  if (PKCS5_PBKDF2_HMAC(pin.data(), static_cast<int>(pin.size()), Bytes(salt), static_cast<int>(salt.size()),
                        static_cast<int>(iterations), EVP_sha256(), static_cast<int>(derived.size()),
                        reinterpret_cast<unsigned char*>(derived.data())) != 1) {
    throw std::runtime_error("PBKDF2");
  }
  return derived;
}

namespace {

std::string LabelledHmac(std::string_view key, std::string_view label) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), Bytes(label), label.size(), out, &length) ==
      nullptr) {
    throw std::runtime_error("HMAC");
  }
  std::string result(reinterpret_cast<char*>(out), length);
  OPENSSL_cleanse(out, sizeof out);
  return result;
}

}  // namespace

std::string PinVerifier(std::string_view derived) {
  return LabelledHmac(derived, "vasquill-softkey pin verifier");
}

std::string KeyEncryptionKey(std::string_view derived) {
  return LabelledHmac(derived, "vasquill-softkey key encryption");
}

std::string Seal(std::string_view key, std::string_view plaintext, std::string_view aad) {
  std::string nonce = RandomBytes(12);
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  int length = 0;
  std::string sealed = nonce;
  sealed.resize(12 + plaintext.size() + 16);
  auto* out = reinterpret_cast<unsigned char*>(sealed.data());
  if (!ctx || key.size() != 32 ||
      EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, Bytes(key), Bytes(nonce)) != 1 ||
      EVP_EncryptUpdate(ctx.get(), nullptr, &length, Bytes(aad), static_cast<int>(aad.size())) != 1 ||
      EVP_EncryptUpdate(ctx.get(), out + 12, &length, Bytes(plaintext), static_cast<int>(plaintext.size())) != 1 ||
      EVP_EncryptFinal_ex(ctx.get(), out + 12 + length, &length) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, 16, out + 12 + plaintext.size()) != 1) {
    throw std::runtime_error("AES-GCM");
  }
  return sealed;
}

std::optional<std::string> Unseal(std::string_view key, std::string_view sealed, std::string_view aad) {
  if (key.size() != 32 || sealed.size() < 12 + 16) return std::nullopt;
  size_t bodyLength = sealed.size() - 12 - 16;
  std::string plaintext(bodyLength, '\0');
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  int length = 0;
  auto* out = reinterpret_cast<unsigned char*>(plaintext.data());
  std::string tag(sealed.substr(12 + bodyLength));
  bool ok = ctx && EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, Bytes(key), Bytes(sealed)) == 1 &&
            EVP_DecryptUpdate(ctx.get(), nullptr, &length, Bytes(aad), static_cast<int>(aad.size())) == 1 &&
            EVP_DecryptUpdate(ctx.get(), out, &length, Bytes(sealed) + 12, static_cast<int>(bodyLength)) == 1 &&
            EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, 16, tag.data()) == 1 &&
            EVP_DecryptFinal_ex(ctx.get(), out + length, &length) == 1;
  if (!ok) {
    Wipe(plaintext);
    return std::nullopt;
  }
  return plaintext;
}

bool SameSecret(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace softkey
