#pragma once

#include <openssl/ec.h>
#include <openssl/engine.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

// SM2 keys and SM3 through OpenSSL's generic key, context and digest calls.
// A key wrapper from EVP_PKEY_SM2_init routes every operation context made
// from it (EVP_PKEY_CTX_new) to the SM2 core of sm/sm2.h:
//
//   EC_KEY* key = EC_KEY_from_BN(x, y, nullptr);   // or EC_KEY_from_X509
//   EVP_PKEY* pkey = EVP_PKEY_SM2_init(key);        // owns the key
//   EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pkey, nullptr);
//   EC_KEY_set_flag(ctx, mode);                     // 0: Z and message, 1: e in hex
//   EVP_PKEY_verify_init(ctx); EVP_PKEY_verify(ctx, sig64, 64, data, length);
//
// The raw signature is 64 bytes, r then s, each 32 bytes big-endian.

extern "C" {

// A new SM2 key with public point (x, y) and, when given, private key d;
// null unless the coordinates lie in [0, p-1] and EC_SM2_check_key accepts
// the point.
EC_KEY* EC_KEY_from_BN(const BIGNUM* x, const BIGNUM* y, const BIGNUM* d);
// The key of a certificate whose subject public key is a 65-byte
// uncompressed point; null for any other key.
EC_KEY* EC_KEY_from_X509(X509* cert);
// Attaches the curve data, sets the group and the SM2 mark; with a null key
// a new one is made.  Null on failure (a key made here is freed).
EC_KEY* EC_KEY_SM2_init(EC_KEY* key);
int EC_KEY_is_sm2(const EC_KEY* key);

// A key wrapper that owns the key and uses the SM2 operation method through
// an engine of its own; null on failure, in which case the key is freed too.
EVP_PKEY* EVP_PKEY_SM2_init(EC_KEY* key);

// Context settings: the mode of verification, the signer identity (kept as
// a pointer, not copied) and the digest.  Contexts without SM2 data are left
// alone.
void EC_KEY_set_flag(EVP_PKEY_CTX* ctx, int mode);
void EVP_PKEY_CTX_set_id(EVP_PKEY_CTX* ctx, const char* id);
void EVP_PKEY_CTX_set_digest_method(EVP_PKEY_CTX* ctx, const EVP_MD* digest);

// Ends a verification.  OpenSSL 3 keeps its process-wide extra-data registry
// until the process ends and rebuilds nothing, so there is nothing to
// release (releasing it under other threads' keys would break them).
void EVP_sm2_cleanup(void);

// A new engine "sm2" (not registered anywhere) whose key-method lookup gives
// the SM2 operation method for EVP_PKEY_EC keys; null on failure.
ENGINE* engine_sm2(void);
// Adds such an engine to OpenSSL's engine list.
void ENGINE_load_sm2(void);
// A new SM2 operation method (EVP_PKEY_meth_free releases it).
EVP_PKEY_METHOD* sm2_pmeth_new(void);

}  // extern "C"

namespace sm {

// The SM2 mark among an EC_KEY's flags.
inline constexpr int kEcKeySm2Flag = 0x10000;

// The SM3 message-digest object over SM3_Init, SM3_Update and SM3_Final.
// It lives in this namespace because libcrypto exports a function of the
// same name.
const EVP_MD* EVP_sm3();

}  // namespace sm
