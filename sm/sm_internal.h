#pragma once

// Declarations shared by the files of the SM module and its tests; not part
// of the module's interface.

#include <cstddef>
#include <cstdint>
#include <span>

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include "sm/sm2.h"

extern "C" {

// The recommended curve of GM/T 0003.5-2012, 32 bytes each, big-endian.
extern const unsigned char EC_SM2_p[32];
extern const unsigned char EC_SM2_a[32];
extern const unsigned char EC_SM2_b[32];
extern const unsigned char EC_SM2_n[32];
extern const unsigned char EC_SM2_Gx[32];
extern const unsigned char EC_SM2_Gy[32];

// The curve data a key carries.  The group also knows G as its generator
// with order n, so that OpenSSL can use its table of multiples of G.
struct ec_sm2_data_st {
  BIGNUM* p;
  BIGNUM* n;
  EC_POINT* G;
  EC_GROUP* group;
};

ec_sm2_data* ec_sm2_data_new(void);
ec_sm2_data* ec_sm2_data_dup(const ec_sm2_data* data);
void ec_sm2_data_free(ec_sm2_data* data);

// Data of each operation context of the SM2 key method.
typedef struct SM2_PKEY_CTX_DATA_st {
  const char* id;              // signer identity, not copied; null: the default
  const EVP_MD* digest_method;
  int mode;                    // 0: over Z and the message, 1: a given e in hex
} SM2_PKEY_CTX_DATA;

// The operation method's slots.
int pkey_sm2_init(EVP_PKEY_CTX* ctx);
void pkey_sm2_cleanup(EVP_PKEY_CTX* ctx);
int pkey_sm2_encrypt_init(EVP_PKEY_CTX* ctx);
int pkey_sm2_encrypt(EVP_PKEY_CTX* ctx, unsigned char* out, size_t* outlen,
                     const unsigned char* in, size_t inlen);
int pkey_sm2_decrypt_init(EVP_PKEY_CTX* ctx);
int pkey_sm2_decrypt(EVP_PKEY_CTX* ctx, unsigned char* out, size_t* outlen,
                     const unsigned char* in, size_t inlen);
int pkey_sm2_sign(EVP_PKEY_CTX* ctx, unsigned char* sig, size_t* siglen,
                  const unsigned char* tbs, size_t tbslen);
int pkey_sm2_verify(EVP_PKEY_CTX* ctx, const unsigned char* sig, size_t siglen,
                    const unsigned char* tbs, size_t tbslen);

}  // extern "C"

namespace CSM3::detail {

// The block compression functions this machine can run, for tests that
// check every one of them.
struct CompressVariant {
  const char* name;
  void (*compress)(uint32_t state[8], const unsigned char* data, size_t blocks);
};
std::span<const CompressVariant> CompressVariants();

}  // namespace CSM3::detail
