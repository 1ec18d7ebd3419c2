// The SM2 operation method: what sign, verify, encrypt and decrypt on a
// context of an SM2 key wrapper do.

#include <cstring>
#include <string>

#include "sm/sm2_asn1.h"
#include "sm/sm2_binding.h"
#include "sm/sm_internal.h"

namespace {

constexpr int kMethodId = 920;
constexpr size_t kRawSignatureSize = 64;

// The wrapper's key, not a new reference; null when it holds none.
EC_KEY* WrappedKey(EVP_PKEY_CTX* ctx) {
  EVP_PKEY* pkey = EVP_PKEY_CTX_get0_pkey(ctx);
  if (pkey == nullptr || EVP_PKEY_get_base_id(pkey) != EVP_PKEY_EC) return nullptr;
  return const_cast<EC_KEY*>(EVP_PKEY_get0_EC_KEY(pkey));
}

SM2_PKEY_CTX_DATA* Data(EVP_PKEY_CTX* ctx) {
  return ctx != nullptr ? static_cast<SM2_PKEY_CTX_DATA*>(EVP_PKEY_CTX_get_data(ctx)) : nullptr;
}

// The data of a context made from an SM2 key wrapper; null for any other
// context, whose data (if it has any) is not ours to write.
SM2_PKEY_CTX_DATA* Sm2Data(EVP_PKEY_CTX* ctx) {
  SM2_PKEY_CTX_DATA* data = Data(ctx);
  return data != nullptr && EC_KEY_is_sm2(WrappedKey(ctx)) == 1 ? data : nullptr;
}

}  // namespace

extern "C" {

int pkey_sm2_init(EVP_PKEY_CTX* ctx) {
  if (EVP_PKEY_CTX_get_data(ctx) != nullptr) return 1;
  auto* data = static_cast<SM2_PKEY_CTX_DATA*>(OPENSSL_zalloc(sizeof(SM2_PKEY_CTX_DATA)));
  if (data == nullptr) return 0;
  data->id = nullptr;
  data->digest_method = sm::EVP_sm3();
  data->mode = 0;
  EVP_PKEY_CTX_set_data(ctx, data);
  return 1;
}

void pkey_sm2_cleanup(EVP_PKEY_CTX* ctx) {
  OPENSSL_free(EVP_PKEY_CTX_get_data(ctx));
  EVP_PKEY_CTX_set_data(ctx, nullptr);
}

int pkey_sm2_encrypt_init(EVP_PKEY_CTX* ctx) {
  EC_KEY* key = WrappedKey(ctx);
  return key != nullptr && EC_KEY_get0_public_key(key) != nullptr && EC_SM2_check_key(key) == 1
             ? 1
             : 0;
}

int pkey_sm2_decrypt_init(EVP_PKEY_CTX* ctx) {
  EC_KEY* key = WrappedKey(ctx);
  return key != nullptr && EC_KEY_get0_private_key(key) != nullptr ? 1 : 0;
}

// The output length is set to what the core gives (0 for a failure).  A
// buffer smaller than the result is not written: the length needed is
// stored and the call fails.
int pkey_sm2_encrypt(EVP_PKEY_CTX* ctx, unsigned char* out, size_t* outlen,
                     const unsigned char* in, size_t inlen) {
  EC_KEY* key = WrappedKey(ctx);
  SM2_PKEY_CTX_DATA* data = Data(ctx);
  if (key == nullptr || data == nullptr || outlen == nullptr) return 0;
  const int needed = EC_SM2_encrypt(key, in, inlen, nullptr, data->digest_method);
  if (out == nullptr || needed <= 0) {
    *outlen = needed > 0 ? static_cast<size_t>(needed) : 0;
    return needed > 0 ? 1 : 0;
  }
  if (*outlen < static_cast<size_t>(needed)) {
    *outlen = static_cast<size_t>(needed);
    return 0;
  }
  const int written = EC_SM2_encrypt(key, in, inlen, out, data->digest_method);
  *outlen = written > 0 ? static_cast<size_t>(written) : 0;
  return written > 0 ? 1 : 0;
}

int pkey_sm2_decrypt(EVP_PKEY_CTX* ctx, unsigned char* out, size_t* outlen,
                     const unsigned char* in, size_t inlen) {
  EC_KEY* key = WrappedKey(ctx);
  SM2_PKEY_CTX_DATA* data = Data(ctx);
  if (key == nullptr || data == nullptr || outlen == nullptr) return 0;
  const int needed = EC_SM2_decrypt(key, in, inlen, nullptr, data->digest_method);
  if (out == nullptr || needed <= 0) {
    *outlen = needed > 0 ? static_cast<size_t>(needed) : 0;
    return needed > 0 ? 1 : 0;
  }
  if (*outlen < static_cast<size_t>(needed)) {
    *outlen = static_cast<size_t>(needed);
    return 0;
  }
  const int written = EC_SM2_decrypt(key, in, inlen, out, data->digest_method);
  *outlen = written > 0 ? static_cast<size_t>(written) : 0;
  return written > 0 ? 1 : 0;
}

int pkey_sm2_sign(EVP_PKEY_CTX* ctx, unsigned char* sig, size_t* siglen,
                  const unsigned char* tbs, size_t tbslen) {
  EC_KEY* key = WrappedKey(ctx);
  SM2_PKEY_CTX_DATA* data = Data(ctx);
  if (key == nullptr || data == nullptr) return 0;
  EC_SM2_SIG* value = EC_SM2_SIG_new();
  if (value == nullptr) return 0;
  int result = EC_SM2_sign(key, data->id, tbs, tbslen, value, data->digest_method);
  unsigned char raw[kRawSignatureSize];
  if (result > 0 && (BN_bn2binpad(value->r, raw, 32) != 32 ||
                     BN_bn2binpad(value->s, raw + 32, 32) != 32)) {
    result = 0;
  }
  EC_SM2_SIG_free(value);
  if (result <= 0) return result;
  if (sig == nullptr) {
    if (siglen != nullptr) *siglen = kRawSignatureSize;
    return 1;
  }
  if (siglen == nullptr) return 0;
  if (*siglen < kRawSignatureSize) {
    *siglen = kRawSignatureSize;
    return 0;
  }
  std::memcpy(sig, raw, kRawSignatureSize);
  *siglen = kRawSignatureSize;
  return 1;
}

int pkey_sm2_verify(EVP_PKEY_CTX* ctx, const unsigned char* sig, size_t siglen,
                    const unsigned char* tbs, size_t tbslen) {
  SM2_PKEY_CTX_DATA* data = Data(ctx);
  // Exactly the first 64 bytes are read; a shorter signature cannot verify.
  if (data == nullptr || sig == nullptr || siglen < kRawSignatureSize) return 0;
  EVP_PKEY* pkey = EVP_PKEY_CTX_get0_pkey(ctx);
  if (pkey == nullptr || EVP_PKEY_get_base_id(pkey) != EVP_PKEY_EC) return 0;
  EC_KEY* key = EVP_PKEY_get1_EC_KEY(pkey);
  if (key == nullptr) return 0;
  EC_SM2_SIG* value = EC_SM2_SIG_new();
  int result = 0;
  if (value != nullptr && BN_bin2bn(sig, 32, value->r) != nullptr &&
      BN_bin2bn(sig + 32, 32, value->s) != nullptr) {
    if (data->mode == 1) {
      // The data is hexadecimal text; it is read up to its terminator, but
      // never past its length.
      const auto* text = reinterpret_cast<const char*>(tbs);
      const std::string hex(text, tbs != nullptr ? strnlen(text, tbslen) : 0);
      result = EC_SM2_verifyex(key, data->id, hex.c_str(), tbslen, value);
    } else if (data->mode == 0) {
      result = EC_SM2_verify(key, data->id, tbs, tbslen, value, data->digest_method);
    }
  }
  EC_SM2_SIG_free(value);
  EC_KEY_free(key);
  return result;
}

EVP_PKEY_METHOD* sm2_pmeth_new(void) {
  EVP_PKEY_METHOD* method = EVP_PKEY_meth_new(kMethodId, 0);
  if (method == nullptr) return nullptr;
  EVP_PKEY_meth_set_init(method, pkey_sm2_init);
  EVP_PKEY_meth_set_cleanup(method, pkey_sm2_cleanup);
  EVP_PKEY_meth_set_encrypt(method, pkey_sm2_encrypt_init, pkey_sm2_encrypt);
  EVP_PKEY_meth_set_decrypt(method, pkey_sm2_decrypt_init, pkey_sm2_decrypt);
  EVP_PKEY_meth_set_sign(method, pkey_sm2_decrypt_init, pkey_sm2_sign);
  EVP_PKEY_meth_set_verify(method, pkey_sm2_encrypt_init, pkey_sm2_verify);
  return method;
}

void EC_KEY_set_flag(EVP_PKEY_CTX* ctx, int mode) {
  if (SM2_PKEY_CTX_DATA* data = Sm2Data(ctx)) data->mode = mode;
}

void EVP_PKEY_CTX_set_id(EVP_PKEY_CTX* ctx, const char* id) {
  if (SM2_PKEY_CTX_DATA* data = Sm2Data(ctx)) data->id = id;
}

void EVP_PKEY_CTX_set_digest_method(EVP_PKEY_CTX* ctx, const EVP_MD* digest) {
  if (SM2_PKEY_CTX_DATA* data = Sm2Data(ctx)) data->digest_method = digest;
}

}  // extern "C"
