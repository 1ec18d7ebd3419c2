#pragma once

// SM2, SM3, X.509 and the key protection of the soft key, on OpenSSL 3.

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace softkey {

// The SM2 distinguishing identifier of every signature and request.
inline constexpr std::string_view kSm2DefaultId = "1234567812345678";

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct X509Free {
  void operator()(X509* cert) const { X509_free(cert); }
};
struct X509NameFree {
  void operator()(X509_NAME* name) const { X509_NAME_free(name); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using Cert = std::unique_ptr<X509, X509Free>;
using Name = std::unique_ptr<X509_NAME, X509NameFree>;

std::string RandomBytes(size_t count);

// --- SM2 keys ---
Pkey GenerateSm2Key();
bool IsSm2Key(const EVP_PKEY* key);
// PKCS#8 PrivateKeyInfo (DER); empty on failure.
std::string PrivateKeyDer(const EVP_PKEY* key);
Pkey ParsePrivateKeyDer(std::string_view der);
// SubjectPublicKeyInfo (DER); empty on failure.
std::string PublicKeyDer(const EVP_PKEY* key);
Pkey ParsePublicKeyDer(std::string_view der);
// Whether both keys hold the same public key.
bool SamePublicKey(const EVP_PKEY* a, const EVP_PKEY* b);
// An SM2 key from its 32-byte private scalar (big-endian); null when the
// scalar is out of range.
Pkey Sm2KeyFromScalar(std::string_view scalar);

// --- Names ---
// Parses "CN=Alice,O=Example Bank,C=CN": attributes by OpenSSL's short or long
// name (also "E"/"EMAIL" for the e-mail address) or dotted OID, separated by
// ","; "+" joins attributes of one RDN; a backslash escapes the next
// character, or stands before two hexadecimal digits of one byte.  Null when
// malformed.
Name ParseName(std::string_view text);
// The name in that same form, in the certificate's order.
std::string FormatName(const X509_NAME* name);

// --- Requests and certificates ---
// A PKCS#10 request (DER) for key with the subject, signed with SM2/SM3 and
// the default identifier; empty on failure.
std::string MakeRequest(EVP_PKEY* key, const X509_NAME* subject);
// One certificate: Base64 of DER, or PEM.  Null when it does not parse.
Cert ParseCertificate(std::string_view text);
// Several certificates: concatenated PEM blocks, or Base64 DER texts separated
// by ",".  Empty when any of them does not parse.
std::vector<Cert> ParseCertificateBatch(std::string_view text);
std::string CertificateDer(X509* cert);
Cert ParseCertificateDer(std::string_view der);
// "YYYY-MM-DDTHH:MM:SSZ".
std::string FormatTime(const ASN1_TIME* time);
// Whole days from now until the certificate's end, rounded down (negative
// once it has expired).
std::optional<int64_t> RemainingDays(X509* cert);
std::string SerialNumberHex(X509* cert);

// --- SM2 operations ---
// DER SM2 signature over SM3(Z || message) with the default identifier.
std::optional<std::string> SignMessage(EVP_PKEY* key, std::string_view message);
// DER SM2 signature of a 32-byte digest e that already includes Z.
std::optional<std::string> SignDigest(EVP_PKEY* key, std::string_view digest);
// Plaintext of an SM2 ciphertext in OpenSSL's DER form (C1, C3, C2).
std::optional<std::string> Sm2Decrypt(EVP_PKEY* key, std::string_view ciphertext);

// --- PIN protection ---
// PBKDF2-HMAC-SHA256 of the PIN: 32 bytes.
std::string DerivePinKey(std::string_view pin, std::string_view salt, uint32_t iterations);
// What the store keeps to check a PIN, and the key that encrypts the private
// keys; both HMAC-SHA256 of the derived key with their own labels.
std::string PinVerifier(std::string_view derived);
std::string KeyEncryptionKey(std::string_view derived);
// AES-256-GCM: nonce (12) || ciphertext || tag (16).
std::string Seal(std::string_view key, std::string_view plaintext, std::string_view aad);
std::optional<std::string> Unseal(std::string_view key, std::string_view sealed, std::string_view aad);
// Constant-time comparison.
bool SameSecret(std::string_view a, std::string_view b);

}  // namespace softkey
