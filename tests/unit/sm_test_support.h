#pragma once

// Helpers of the SM module's tests: OpenSSL's own SM2 keys and signatures as
// the independent reference, and conversions to and from our forms.

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "sm/sm2.h"
#include "sm/sm2_asn1.h"
#include "sm/sm2_binding.h"
#include "sm/sm3.h"

namespace smtest {

using Bytes = std::vector<unsigned char>;

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* object) const { Free(object); }
};
using PKey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using PKeyCtx = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using Bn = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;
using EcKey = std::unique_ptr<EC_KEY, Deleter<EC_KEY, EC_KEY_free>>;
using Sig = std::unique_ptr<EC_SM2_SIG, Deleter<EC_SM2_SIG, EC_SM2_SIG_free>>;

inline const char kDefaultId[] = "1234567812345678";

inline Bytes Random(size_t length, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes bytes(length);
  for (auto& byte : bytes) byte = static_cast<unsigned char>(rng());
  return bytes;
}

inline Bytes FromText(const std::string& text) { return Bytes(text.begin(), text.end()); }

inline std::string Hex(const Bytes& bytes) {
  return CSM3::string2hex(std::string(bytes.begin(), bytes.end()));
}

inline Bn BnFromHex(const char* hex) {
  BIGNUM* bn = nullptr;
  BN_hex2bn(&bn, hex);
  return Bn(bn);
}

inline Bn BnFromBytes(const unsigned char* bytes, size_t length) {
  return Bn(BN_bin2bn(bytes, static_cast<int>(length), nullptr));
}

// An SM2 key pair made by OpenSSL itself.
struct OpenSslKey {
  PKey pkey;
  Bn d, x, y;
};

inline OpenSslKey NewOpenSslKey() {
  OpenSslKey key;
  key.pkey.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
  EXPECT_TRUE(key.pkey);
  BIGNUM *d = nullptr, *x = nullptr, *y = nullptr;
  EXPECT_EQ(EVP_PKEY_get_bn_param(key.pkey.get(), OSSL_PKEY_PARAM_PRIV_KEY, &d), 1);
  EXPECT_EQ(EVP_PKEY_get_bn_param(key.pkey.get(), OSSL_PKEY_PARAM_EC_PUB_X, &x), 1);
  EXPECT_EQ(EVP_PKEY_get_bn_param(key.pkey.get(), OSSL_PKEY_PARAM_EC_PUB_Y, &y), 1);
  key.d.reset(d);
  key.x.reset(x);
  key.y.reset(y);
  return key;
}

// Our key object for the same pair (with or without the private key).
inline EcKey OurKey(const OpenSslKey& key, bool withPrivate) {
  return EcKey(EC_KEY_from_BN(key.x.get(), key.y.get(), withPrivate ? key.d.get() : nullptr));
}

// "X|Y" in upper-case hexadecimal, 64 digits each.
inline std::string HexCoordinates(const OpenSslKey& key) {
  unsigned char x[32], y[32];
  BN_bn2binpad(key.x.get(), x, 32);
  BN_bn2binpad(key.y.get(), y, 32);
  return Hex(Bytes(x, x + 32)) + "|" + Hex(Bytes(y, y + 32));
}

// OpenSSL's DER signature with SM3 over Z and the message (identity given
// explicitly, or OpenSSL's default when null).
inline Bytes OpenSslSign(const OpenSslKey& key, const Bytes& message, const char* id) {
  MdCtx md(EVP_MD_CTX_new());
  PKeyCtx ctx(EVP_PKEY_CTX_new(key.pkey.get(), nullptr));
  if (id != nullptr) {
    EXPECT_EQ(EVP_PKEY_CTX_set1_id(ctx.get(), id, std::strlen(id)), 1);
  }
  EVP_MD_CTX_set_pkey_ctx(md.get(), ctx.get());
  EXPECT_EQ(EVP_DigestSignInit(md.get(), nullptr, EVP_sm3(), nullptr, key.pkey.get()), 1);
  size_t length = 0;
  EXPECT_EQ(EVP_DigestSign(md.get(), nullptr, &length, message.data(), message.size()), 1);
  Bytes der(length);
  EXPECT_EQ(EVP_DigestSign(md.get(), der.data(), &length, message.data(), message.size()), 1);
  der.resize(length);
  EVP_MD_CTX_set_pkey_ctx(md.get(), nullptr);
  return der;
}

inline bool OpenSslVerify(const OpenSslKey& key, const Bytes& message, const Bytes& der) {
  MdCtx md(EVP_MD_CTX_new());
  PKeyCtx ctx(EVP_PKEY_CTX_new(key.pkey.get(), nullptr));
  EXPECT_EQ(EVP_PKEY_CTX_set1_id(ctx.get(), kDefaultId, 16), 1);
  EVP_MD_CTX_set_pkey_ctx(md.get(), ctx.get());
  EXPECT_EQ(EVP_DigestVerifyInit(md.get(), nullptr, EVP_sm3(), nullptr, key.pkey.get()), 1);
  const int result =
      EVP_DigestVerify(md.get(), der.data(), der.size(), message.data(), message.size());
  EVP_MD_CTX_set_pkey_ctx(md.get(), nullptr);
  return result == 1;
}

// OpenSSL's DER signature over a given digest e (no Z, no further hashing).
inline Bytes OpenSslSignDigest(const OpenSslKey& key, const Bytes& e) {
  PKeyCtx ctx(EVP_PKEY_CTX_new(key.pkey.get(), nullptr));
  EXPECT_EQ(EVP_PKEY_sign_init(ctx.get()), 1);
  size_t length = 0;
  EXPECT_EQ(EVP_PKEY_sign(ctx.get(), nullptr, &length, e.data(), e.size()), 1);
  Bytes der(length);
  EXPECT_EQ(EVP_PKEY_sign(ctx.get(), der.data(), &length, e.data(), e.size()), 1);
  der.resize(length);
  return der;
}

inline Sig SigFromDer(const Bytes& der) {
  const unsigned char* p = der.data();
  return Sig(d2i_EC_SM2_SIG(nullptr, &p, static_cast<long>(der.size())));
}

inline Bytes DerFromSig(const EC_SM2_SIG* sig) {
  unsigned char* out = nullptr;
  const int length = i2d_EC_SM2_SIG(sig, &out);
  EXPECT_GT(length, 0);
  Bytes der(out, out + std::max(length, 0));
  OPENSSL_free(out);
  return der;
}

// r || s, 32 bytes each.
inline Bytes RawFromSig(const EC_SM2_SIG* sig) {
  Bytes raw(64);
  EXPECT_EQ(BN_bn2binpad(sig->r, raw.data(), 32), 32);
  EXPECT_EQ(BN_bn2binpad(sig->s, raw.data() + 32, 32), 32);
  return raw;
}

inline Bytes RawFromDer(const Bytes& der) {
  Sig sig = SigFromDer(der);
  EXPECT_TRUE(sig);
  return sig ? RawFromSig(sig.get()) : Bytes();
}

inline Bytes Sm3(const Bytes& bytes) {
  Bytes out(32);
  CSM3::sm3(bytes.data(), static_cast<int>(bytes.size()), out.data());
  return out;
}

// A key wrapper of ours and a context ready for verification in a mode.
struct Verifier {
  PKey pkey;
  PKeyCtx ctx;
};

inline Verifier NewVerifier(EC_KEY* key, int mode) {
  Verifier verifier;
  verifier.pkey.reset(EVP_PKEY_SM2_init(key));
  EXPECT_TRUE(verifier.pkey);
  if (!verifier.pkey) return verifier;
  verifier.ctx.reset(EVP_PKEY_CTX_new(verifier.pkey.get(), nullptr));
  EXPECT_TRUE(verifier.ctx);
  EC_KEY_set_flag(verifier.ctx.get(), mode);
  EXPECT_EQ(EVP_PKEY_verify_init(verifier.ctx.get()), 1);
  return verifier;
}

inline int BindingVerify(EC_KEY* key, int mode, const Bytes& raw, const Bytes& data) {
  Verifier verifier = NewVerifier(key, mode);
  if (!verifier.ctx) return -100;
  return EVP_PKEY_verify(verifier.ctx.get(), raw.data(), raw.size(), data.data(), data.size());
}

}  // namespace smtest
