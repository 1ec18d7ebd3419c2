// SM2 signature, verification, encryption and decryption over the curve of
// sm2_curve.cpp, on OpenSSL's generic big-number and curve arithmetic.

#include <algorithm>
#include <cstring>
#include <iterator>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include "sm/sm_internal.h"

namespace {

const char kDefaultId[] = "1234567812345678";
constexpr size_t kFieldBytes = 32;
constexpr size_t kPointBytes = 1 + 2 * kFieldBytes;  // 04 || x || y
constexpr size_t kSplit = 4;                         // t*P as four 64-bit parts
constexpr int kSplitBits = 64;

struct BnCtxFree {
  void operator()(BN_CTX* ctx) const { BN_CTX_free(ctx); }
};
struct BnFree {
  void operator()(BIGNUM* bn) const { BN_clear_free(bn); }
};
struct PointFree {
  void operator()(EC_POINT* point) const { EC_POINT_free(point); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using BnCtxPtr = std::unique_ptr<BN_CTX, BnCtxFree>;
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;
using PointPtr = std::unique_ptr<EC_POINT, PointFree>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

// The number as exactly 32 big-endian bytes; false if it needs more.
bool FixedWidth(const BIGNUM* bn, unsigned char out[kFieldBytes]) {
  std::memset(out, 0, kFieldBytes);
  return BN_bn2binpad(bn, out, kFieldBytes) == static_cast<int>(kFieldBytes);
}

// The key's public point as a point of the curve data's group; null when the
// key has none or its group is another curve.
const EC_POINT* PublicPoint(EC_KEY* key, const ec_sm2_data* data, BN_CTX* ctx) {
  const EC_POINT* point = EC_KEY_get0_public_key(key);
  const EC_GROUP* group = EC_KEY_get0_group(key);
  if (point == nullptr || group == nullptr) return nullptr;
  if (group != data->group && EC_GROUP_cmp(group, data->group, ctx) != 0) return nullptr;
  return point;
}

bool InRange(const BIGNUM* value, const BIGNUM* n) {
  return value != nullptr && !BN_is_zero(value) && !BN_is_negative(value) && BN_cmp(value, n) < 0;
}

// The multiples P, 2^64 P, 2^128 P and 2^192 P of a public point.  With them
// t*P is the sum of four multiplications by 64-bit numbers, which OpenSSL's
// simultaneous multiplication does in 64 doublings shared with s*G instead of
// 256.  An entry never changes once made.
struct Multiples {
  unsigned char xy[2 * kFieldBytes];
  EC_POINT* points[kSplit];
  Multiples() { std::fill(std::begin(points), std::end(points), nullptr); }
  ~Multiples() {
    for (EC_POINT* point : points) EC_POINT_free(point);
  }
  Multiples(const Multiples&) = delete;
  Multiples& operator=(const Multiples&) = delete;
};

// The multiples of the public points verified most recently, shared by all
// threads.  A deliverable checks with one or two built-in keys, so a few
// entries serve every check after the first with each key.
class MultiplesCache {
 public:
  std::shared_ptr<const Multiples> Get(const EC_GROUP* group, const EC_POINT* point,
                                       BN_CTX* ctx) {
    unsigned char xy[2 * kFieldBytes];
    BnPtr x(BN_new()), y(BN_new());
    if (!x || !y ||
        EC_POINT_get_affine_coordinates(group, point, x.get(), y.get(), ctx) != 1 ||
        !FixedWidth(x.get(), xy) || !FixedWidth(y.get(), xy + kFieldBytes)) {
      return nullptr;
    }
    if (auto found = Find(xy)) return found;
    auto made = Make(group, point, xy, ctx);
    if (!made) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : entries_) {
      if (std::memcmp(entry->xy, xy, sizeof xy) == 0) return entry;
    }
    entries_.push_front(made);
    if (entries_.size() > kEntries) entries_.pop_back();
    return made;
  }

 private:
  static constexpr size_t kEntries = 8;

  std::shared_ptr<const Multiples> Find(const unsigned char* xy) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (std::memcmp((*it)->xy, xy, 2 * kFieldBytes) == 0) {
        auto entry = *it;
        entries_.erase(it);
        entries_.push_front(entry);
        return entry;
      }
    }
    return nullptr;
  }

  static std::shared_ptr<const Multiples> Make(const EC_GROUP* group, const EC_POINT* point,
                                               const unsigned char* xy, BN_CTX* ctx) {
    auto made = std::make_shared<Multiples>();
    std::memcpy(made->xy, xy, sizeof made->xy);
    made->points[0] = EC_POINT_dup(point, group);
    for (size_t k = 1; k < kSplit; ++k) {
      if (made->points[k - 1] == nullptr) return nullptr;
      made->points[k] = EC_POINT_dup(made->points[k - 1], group);
      if (made->points[k] == nullptr) return nullptr;
      for (int i = 0; i < kSplitBits; ++i) {
        if (EC_POINT_dbl(group, made->points[k], made->points[k], ctx) != 1) return nullptr;
      }
    }
    if (made->points[kSplit - 1] == nullptr ||
        EC_POINTs_make_affine(group, kSplit, made->points, ctx) != 1) {
      return nullptr;
    }
    return made;
  }

  std::mutex mutex_;
  std::list<std::shared_ptr<const Multiples>> entries_;  // most recent first
};

MultiplesCache& Cache() {
  // Never destroyed: threads may still verify while the process ends.
  static MultiplesCache* const cache = new MultiplesCache;
  return *cache;
}

// result = s*G + t*P.
bool MultiplyAdd(const ec_sm2_data* data, EC_POINT* result, const BIGNUM* s, const EC_POINT* p,
                 const BIGNUM* t, BN_CTX* ctx) {
  const std::shared_ptr<const Multiples> multiples = Cache().Get(data->group, p, ctx);
  if (!multiples) return EC_POINT_mul(data->group, result, s, p, t, ctx) == 1;
  BN_CTX_start(ctx);
  const BIGNUM* parts[kSplit];
  bool ok = true;
  for (size_t k = 0; k < kSplit && ok; ++k) {
    BIGNUM* part = BN_CTX_get(ctx);
    ok = part != nullptr && BN_rshift(part, t, static_cast<int>(k) * kSplitBits) == 1;
    // Reports 0 when the part is already shorter, which is no error here.
    if (ok) BN_mask_bits(part, kSplitBits);
    parts[k] = part;
  }
  ok = ok && EC_POINTs_mul(data->group, result, s, kSplit,
                           const_cast<const EC_POINT**>(multiples->points), parts, ctx) == 1;
  BN_CTX_end(ctx);
  return ok;
}

// Steps 4 to 6 of verification: t = (r + s) mod n, (x1, y1) = s*G + t*PA,
// R = (e + x1) mod n, valid when R = r.  r and s are already in range.
int VerifyWithE(EC_KEY* key, const ec_sm2_data* data, const BIGNUM* e, const EC_SM2_SIG* sig,
                BN_CTX* ctx) {
  const EC_POINT* pa = PublicPoint(key, data, ctx);
  if (pa == nullptr) return 0;
  BnPtr t(BN_new()), x1(BN_new()), R(BN_new());
  PointPtr point(EC_POINT_new(data->group));
  if (!t || !x1 || !R || !point) return 0;
  if (BN_mod_add(t.get(), sig->r, sig->s, data->n, ctx) != 1 || BN_is_zero(t.get())) return 0;
  // One simultaneous multiplication: the multiples of G come from the table
  // the group keeps, those of PA from the cache.
  if (!MultiplyAdd(data, point.get(), sig->s, pa, t.get(), ctx)) return 0;
  if (EC_POINT_get_affine_coordinates(data->group, point.get(), x1.get(), nullptr, ctx) != 1) {
    return 0;
  }
  if (BN_mod_add(R.get(), e, x1.get(), data->n, ctx) != 1) return 0;
  return BN_cmp(R.get(), sig->r) == 0 ? 1 : 0;
}

// Digest of the concatenated parts; false when no context can be made.
bool Digest(const EVP_MD* digest, std::initializer_list<std::pair<const void*, size_t>> parts,
            unsigned char* out, unsigned int* outLength) {
  MdCtxPtr md(EVP_MD_CTX_new());
  if (!md || EVP_DigestInit_ex(md.get(), digest, nullptr) != 1) return false;
  for (const auto& [bytes, length] : parts) {
    if (length > 0 && EVP_DigestUpdate(md.get(), bytes, length) != 1) return false;
  }
  return EVP_DigestFinal_ex(md.get(), out, outLength) == 1;
}

// A random k in [1, n-1].
bool RandomK(BIGNUM* k, const BIGNUM* n) {
  do {
    if (BN_priv_rand_range(k, n) != 1) return false;
  } while (BN_is_zero(k));
  return true;
}

bool IsAllZero(const unsigned char* bytes, size_t length) {
  unsigned char acc = 0;
  for (size_t i = 0; i < length; ++i) acc |= bytes[i];
  return acc == 0;
}

}  // namespace

extern "C" {

BIGNUM* EC_SM2_HashIdMessage(EC_KEY* key, const char* id, const unsigned char* message,
                             size_t length, const EVP_MD* digest, int usePublic) {
  MdCtxPtr md(EVP_MD_CTX_new());
  if (!md || digest == nullptr) return nullptr;
  ec_sm2_data* data = ec_sm2_check(key);
  BnCtxPtr ctx(BN_CTX_new());
  if (data == nullptr || !ctx) return nullptr;

  // The signer's public point: the stored one, or d*G for signing.
  PointPtr computed;
  const EC_POINT* point = nullptr;
  if (usePublic != 0) {
    point = PublicPoint(key, data, ctx.get());
  } else {
    const BIGNUM* d = EC_KEY_get0_private_key(key);
    computed.reset(EC_POINT_new(data->group));
    if (d != nullptr && computed &&
        EC_POINT_mul(data->group, computed.get(), d, nullptr, nullptr, ctx.get()) == 1) {
      point = computed.get();
    }
  }
  BnPtr xa(BN_new()), ya(BN_new());
  unsigned char xBytes[kFieldBytes], yBytes[kFieldBytes];
  if (point == nullptr || !xa || !ya ||
      EC_POINT_get_affine_coordinates(data->group, point, xa.get(), ya.get(), ctx.get()) != 1 ||
      !FixedWidth(xa.get(), xBytes) || !FixedWidth(ya.get(), yBytes)) {
    return nullptr;
  }

  const char* identity = id != nullptr ? id : kDefaultId;
  const size_t idLength = std::strlen(identity);
  const auto entl = static_cast<uint16_t>(idLength * 8);
  const unsigned char entlBytes[2] = {static_cast<unsigned char>(entl >> 8),
                                      static_cast<unsigned char>(entl)};
  unsigned char z[EVP_MAX_MD_SIZE];
  unsigned int zLength = 0;
  if (EVP_DigestInit_ex(md.get(), digest, nullptr) != 1 ||
      EVP_DigestUpdate(md.get(), entlBytes, 2) != 1 ||
      (idLength > 0 && EVP_DigestUpdate(md.get(), identity, idLength) != 1) ||
      EVP_DigestUpdate(md.get(), EC_SM2_a, 32) != 1 ||
      EVP_DigestUpdate(md.get(), EC_SM2_b, 32) != 1 ||
      EVP_DigestUpdate(md.get(), EC_SM2_Gx, 32) != 1 ||
      EVP_DigestUpdate(md.get(), EC_SM2_Gy, 32) != 1 ||
      EVP_DigestUpdate(md.get(), xBytes, kFieldBytes) != 1 ||
      EVP_DigestUpdate(md.get(), yBytes, kFieldBytes) != 1 ||
      EVP_DigestFinal_ex(md.get(), z, &zLength) != 1) {
    return nullptr;
  }

  unsigned char e[EVP_MAX_MD_SIZE];
  unsigned int eLength = 0;
  if (EVP_DigestInit_ex(md.get(), digest, nullptr) != 1 ||
      EVP_DigestUpdate(md.get(), z, zLength) != 1 ||
      (length > 0 && EVP_DigestUpdate(md.get(), message, length) != 1) ||
      EVP_DigestFinal_ex(md.get(), e, &eLength) != 1) {
    return nullptr;
  }
  return BN_bin2bn(e, static_cast<int>(eLength), nullptr);
}

int EC_SM2_sign(EC_KEY* key, const char* id, const unsigned char* message, size_t length,
                EC_SM2_SIG* sig, const EVP_MD* digest) {
  if (sig == nullptr || sig->r == nullptr || sig->s == nullptr) return 0;
  ec_sm2_data* data = ec_sm2_check(key);
  const BIGNUM* d = EC_KEY_get0_private_key(key);
  if (data == nullptr || d == nullptr) return 0;
  BnPtr e(EC_SM2_HashIdMessage(key, id, message, length, digest, 0));
  if (!e) return 0;
  BnCtxPtr ctx(BN_CTX_new());
  BnPtr k(BN_new()), x1(BN_new()), r(BN_new()), s(BN_new()), t(BN_new()), inverse(BN_new());
  PointPtr point(EC_POINT_new(data->group));
  if (!ctx || !k || !x1 || !r || !s || !t || !inverse || !point) return 0;
  BN_set_flags(k.get(), BN_FLG_CONSTTIME);

  // (1 + d)^-1 mod n does not depend on k.
  if (BN_add(t.get(), d, BN_value_one()) != 1 ||
      BN_mod_inverse(inverse.get(), t.get(), data->n, ctx.get()) == nullptr) {
    return 0;
  }
  for (;;) {
    if (!RandomK(k.get(), data->n)) return 0;
    if (EC_POINT_mul(data->group, point.get(), k.get(), nullptr, nullptr, ctx.get()) != 1) {
      return -2;
    }
    if (EC_POINT_get_affine_coordinates(data->group, point.get(), x1.get(), nullptr,
                                        ctx.get()) != 1) {
      return -3;
    }
    // r = (e + x1) mod n; r = 0 and r + k = n draw again.
    if (BN_mod_add(r.get(), e.get(), x1.get(), data->n, ctx.get()) != 1) return 0;
    if (BN_is_zero(r.get())) continue;
    if (BN_add(t.get(), r.get(), k.get()) != 1) return 0;
    if (BN_cmp(t.get(), data->n) == 0) continue;
    // s = ((1 + d)^-1 * (k - r*d)) mod n
    if (BN_mod_mul(t.get(), r.get(), d, data->n, ctx.get()) != 1 ||
        BN_mod_sub(t.get(), k.get(), t.get(), data->n, ctx.get()) != 1 ||
        BN_mod_mul(s.get(), inverse.get(), t.get(), data->n, ctx.get()) != 1) {
      return 0;
    }
    if (BN_is_zero(s.get())) continue;
    break;
  }
  if (BN_copy(sig->r, r.get()) == nullptr || BN_copy(sig->s, s.get()) == nullptr) return 0;
  return 1;
}

int EC_SM2_verify(EC_KEY* key, const char* id, const unsigned char* message, size_t length,
                  const EC_SM2_SIG* sig, const EVP_MD* digest) {
  if (sig == nullptr) return -1;
  ec_sm2_data* data = ec_sm2_check(key);
  if (data == nullptr) return 0;
  if (!InRange(sig->r, data->n) || !InRange(sig->s, data->n)) return 0;
  BnPtr e(EC_SM2_HashIdMessage(key, id, message, length, digest, 1));
  BnCtxPtr ctx(BN_CTX_new());
  if (!e || !ctx) return 0;
  return VerifyWithE(key, data, e.get(), sig, ctx.get());
}

int EC_SM2_verifyex(EC_KEY* key, const char* /*id*/, const char* eHex, size_t /*length*/,
                    const EC_SM2_SIG* sig) {
  if (sig == nullptr) return -1;
  ec_sm2_data* data = ec_sm2_check(key);
  if (data == nullptr) return 0;
  if (!InRange(sig->r, data->n) || !InRange(sig->s, data->n)) return 0;
  if (eHex == nullptr) return 0;
  BIGNUM* parsed = nullptr;
  if (BN_hex2bn(&parsed, eHex) == 0) return 0;
  BnPtr e(parsed);
  BnCtxPtr ctx(BN_CTX_new());
  if (!ctx) return 0;
  return VerifyWithE(key, data, e.get(), sig, ctx.get());
}

int KDF(const unsigned char* z, size_t zLength, size_t wanted, unsigned char* out,
        const EVP_MD* digest) {
  if (wanted == 0 || digest == nullptr) return 1;
  MdCtxPtr md(EVP_MD_CTX_new());
  if (!md) return 1;
  unsigned char block[EVP_MAX_MD_SIZE];
  size_t written = 0;
  for (uint32_t ct = 1; written < wanted; ++ct) {
    const unsigned char counter[4] = {static_cast<unsigned char>(ct >> 24),
                                      static_cast<unsigned char>(ct >> 16),
                                      static_cast<unsigned char>(ct >> 8),
                                      static_cast<unsigned char>(ct)};
    unsigned int blockLength = 0;
    if (EVP_DigestInit_ex(md.get(), digest, nullptr) != 1 ||
        (zLength > 0 && EVP_DigestUpdate(md.get(), z, zLength) != 1) ||
        EVP_DigestUpdate(md.get(), counter, 4) != 1 ||
        EVP_DigestFinal_ex(md.get(), block, &blockLength) != 1 || blockLength == 0) {
      break;
    }
    const size_t take = std::min<size_t>(blockLength, wanted - written);
    std::memcpy(out + written, block, take);
    written += take;
  }
  OPENSSL_cleanse(block, sizeof block);
  return 1;
}

int EC_SM2_encrypt(EC_KEY* key, const unsigned char* in, size_t length, unsigned char* out,
                   const EVP_MD* digest) {
  if (digest == nullptr) return 0;
  const size_t mdLength = static_cast<size_t>(EVP_MD_get_size(digest));
  const size_t total = kPointBytes + mdLength + length;
  if (total > static_cast<size_t>(INT32_MAX)) return 0;
  if (out == nullptr) return static_cast<int>(total);
  // An empty plaintext has an empty key stream, which never passes the
  // all-zero test: refused instead of drawing k forever.
  if (length == 0) return 0;

  ec_sm2_data* data = ec_sm2_check(key);
  BnCtxPtr ctx(BN_CTX_new());
  if (data == nullptr || !ctx) return 0;
  const EC_POINT* pb = PublicPoint(key, data, ctx.get());
  if (pb == nullptr || EC_POINT_is_at_infinity(data->group, pb) == 1) return 0;

  BnPtr k(BN_new());
  PointPtr c1(EC_POINT_new(data->group)), shared(EC_POINT_new(data->group));
  if (!k || !c1 || !shared) return 0;
  BN_set_flags(k.get(), BN_FLG_CONSTTIME);
  unsigned char c1Bytes[kPointBytes], x2y2[kPointBytes];
  std::vector<unsigned char> t(length);
  for (;;) {
    if (!RandomK(k.get(), data->n)) return 0;
    if (EC_POINT_mul(data->group, c1.get(), k.get(), nullptr, nullptr, ctx.get()) != 1 ||
        EC_POINT_point2oct(data->group, c1.get(), POINT_CONVERSION_UNCOMPRESSED, c1Bytes,
                           kPointBytes, ctx.get()) != kPointBytes) {
      return 0;
    }
    if (EC_POINT_mul(data->group, shared.get(), nullptr, pb, k.get(), ctx.get()) != 1 ||
        EC_POINT_point2oct(data->group, shared.get(), POINT_CONVERSION_UNCOMPRESSED, x2y2,
                           kPointBytes, ctx.get()) != kPointBytes) {
      return 0;
    }
    KDF(x2y2 + 1, 2 * kFieldBytes, length, t.data(), digest);
    if (!IsAllZero(t.data(), length)) break;
  }

  unsigned char c3[EVP_MAX_MD_SIZE];
  unsigned int c3Length = 0;
  if (!Digest(digest, {{x2y2 + 1, kFieldBytes}, {in, length}, {x2y2 + 1 + kFieldBytes, kFieldBytes}},
              c3, &c3Length) ||
      c3Length != mdLength) {
    OPENSSL_cleanse(t.data(), t.size());
    return 0;
  }
  std::memcpy(out, c1Bytes, kPointBytes);
  std::memcpy(out + kPointBytes, c3, mdLength);
  for (size_t i = 0; i < length; ++i) out[kPointBytes + mdLength + i] = in[i] ^ t[i];
  OPENSSL_cleanse(t.data(), t.size());
  OPENSSL_cleanse(x2y2, sizeof x2y2);
  return static_cast<int>(total);
}

int EC_SM2_decrypt(EC_KEY* key, const unsigned char* in, size_t length, unsigned char* out,
                   const EVP_MD* digest) {
  if (digest == nullptr) return 0;
  const size_t mdLength = static_cast<size_t>(EVP_MD_get_size(digest));
  if (in == nullptr || length < kPointBytes + mdLength) return 0;
  // C2 is what follows C1 and C3, whatever the digest's length.
  const size_t plainLength = length - kPointBytes - mdLength;
  if (plainLength > static_cast<size_t>(INT32_MAX)) return 0;
  if (out == nullptr) return static_cast<int>(plainLength);

  ec_sm2_data* data = ec_sm2_check(key);
  const BIGNUM* d = EC_KEY_get0_private_key(key);
  BnCtxPtr ctx(BN_CTX_new());
  PointPtr c1(data != nullptr ? EC_POINT_new(data->group) : nullptr);
  PointPtr shared(data != nullptr ? EC_POINT_new(data->group) : nullptr);
  if (data == nullptr || d == nullptr || !ctx || !c1 || !shared) return 0;
  if (EC_POINT_oct2point(data->group, c1.get(), in, kPointBytes, ctx.get()) != 1 ||
      EC_POINT_is_on_curve(data->group, c1.get(), ctx.get()) != 1 ||
      EC_POINT_is_at_infinity(data->group, c1.get()) == 1) {
    return 0;
  }
  unsigned char x2y2[kPointBytes];
  if (EC_POINT_mul(data->group, shared.get(), nullptr, c1.get(), d, ctx.get()) != 1 ||
      EC_POINT_point2oct(data->group, shared.get(), POINT_CONVERSION_UNCOMPRESSED, x2y2,
                         kPointBytes, ctx.get()) != kPointBytes) {
    return 0;
  }
  std::vector<unsigned char> plain(plainLength);
  KDF(x2y2 + 1, 2 * kFieldBytes, plainLength, plain.data(), digest);
  if (IsAllZero(plain.data(), plainLength)) return 0;
  const unsigned char* c2 = in + kPointBytes + mdLength;
  for (size_t i = 0; i < plainLength; ++i) plain[i] ^= c2[i];

  unsigned char u[EVP_MAX_MD_SIZE];
  unsigned int uLength = 0;
  const bool match =
      Digest(digest,
             {{x2y2 + 1, kFieldBytes}, {plain.data(), plainLength}, {x2y2 + 1 + kFieldBytes, kFieldBytes}},
             u, &uLength) &&
      uLength == mdLength && CRYPTO_memcmp(u, in + kPointBytes, mdLength) == 0;
  if (match) std::memcpy(out, plain.data(), plainLength);
  OPENSSL_cleanse(plain.data(), plain.size());
  OPENSSL_cleanse(x2y2, sizeof x2y2);
  return match ? static_cast<int>(plainLength) : 0;
}

int EC_SM2_check_key(EC_KEY* key) {
  ec_sm2_data* data = ec_sm2_check(key);
  BnCtxPtr ctx(BN_CTX_new());
  if (data == nullptr || !ctx) return 0;
  const EC_POINT* point = PublicPoint(key, data, ctx.get());
  if (point == nullptr || EC_POINT_is_at_infinity(data->group, point) == 1) return 0;
  BnPtr x(BN_new()), y(BN_new());
  if (!x || !y ||
      EC_POINT_get_affine_coordinates(data->group, point, x.get(), y.get(), ctx.get()) != 1) {
    return 0;
  }
  if (BN_is_negative(x.get()) || BN_is_negative(y.get()) || BN_cmp(x.get(), data->p) >= 0 ||
      BN_cmp(y.get(), data->p) >= 0) {
    return 0;
  }
  if (EC_POINT_is_on_curve(data->group, point, ctx.get()) != 1) return 0;
  // n * P = O holds for every finite point of the curve: its group of points
  // has the prime order n (cofactor 1), so that multiplication is not
  // repeated for every key.
  return 1;
}

}  // extern "C"
