#pragma once

#include <cstddef>

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

// SM2 (GM/T 0003-2012) over the recommended 256-bit prime curve, computed
// with OpenSSL's generic big-number and prime-curve arithmetic.  Keys are
// OpenSSL EC_KEY objects; the curve data is attached to a key on its first
// use (ec_sm2_check).  The digest is always given by the caller; the system
// passes SM3 (sm::EVP_sm3()).

extern "C" {

// The signature value (r, s); its DER form is in sm/sm2_asn1.h.
typedef struct EC_SM2_SIG_st {
  BIGNUM* r;
  BIGNUM* s;
} EC_SM2_SIG;

typedef struct ec_sm2_data_st ec_sm2_data;

// e = H(Z || M), Z = H(ENTL || ID || a || b || Gx || Gy || xA || yA).  A null
// identity means "1234567812345678".  With usePublic nonzero the key's public
// point is hashed, with 0 the point d*G of its private key.  Null when no
// digest context can be made or the point is missing.
BIGNUM* EC_SM2_HashIdMessage(EC_KEY* key, const char* id, const unsigned char* message,
                             size_t length, const EVP_MD* digest, int usePublic);

// 1 on success, -2 when k*G cannot be computed, -3 when its x coordinate
// cannot be read, 0 for any other failure (no private key, no digest).
// sig->r and sig->s must be allocated.
int EC_SM2_sign(EC_KEY* key, const char* id, const unsigned char* message, size_t length,
                EC_SM2_SIG* sig, const EVP_MD* digest);

// 1 valid, 0 invalid or failed, -1 for a null signature.
int EC_SM2_verify(EC_KEY* key, const char* id, const unsigned char* message, size_t length,
                  const EC_SM2_SIG* sig, const EVP_MD* digest);

// Verification of a ready-made e given as hexadecimal text (either case);
// the identity and length play no part.  Results as EC_SM2_verify.
int EC_SM2_verifyex(EC_KEY* key, const char* id, const char* eHex, size_t length,
                    const EC_SM2_SIG* sig);

// Ciphertext C1 (65 bytes) || C3 (digest length) || C2 (plaintext length).
// With a null output both return the size the output needs; otherwise the
// number of bytes written, 0 on failure.
int EC_SM2_encrypt(EC_KEY* key, const unsigned char* in, size_t length, unsigned char* out,
                   const EVP_MD* digest);
int EC_SM2_decrypt(EC_KEY* key, const unsigned char* in, size_t length, unsigned char* out,
                   const EVP_MD* digest);

// 1 when the public point has coordinates in [0, p-1], lies on the curve,
// is not the point at infinity and has order n; else 0.
int EC_SM2_check_key(EC_KEY* key);

// Key derivation of GM/T 0003.4: H(Z || ct) for ct = 1, 2, ... cut to the
// wanted length.  Always 1.
int KDF(const unsigned char* z, size_t zLength, size_t wanted, unsigned char* out,
        const EVP_MD* digest);

// The key's curve data, created and attached when absent; null on failure.
ec_sm2_data* ec_sm2_check(EC_KEY* key);

}  // extern "C"
