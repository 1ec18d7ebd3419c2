#include "sm/sm3.h"

#include <bit>
#include <cstdio>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "sm/sm_internal.h"

namespace CSM3 {
namespace {

constexpr uint32_t kIV[8] = {0x7380166F, 0x4914B2B9, 0x172442D7, 0xDA8A0600,
                             0xA96F30BC, 0x163138AA, 0xE38DEE4D, 0xB0FB0E4E};

const unsigned char sm3_padding[64] = {0x80};

inline uint32_t LoadBig(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap32(v);
  return v;
}

inline void StoreBig(uint32_t v, unsigned char* p) {
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap32(v);
  std::memcpy(p, &v, 4);
}

inline uint32_t P0(uint32_t x) { return x ^ std::rotl(x, 9) ^ std::rotl(x, 17); }
inline uint32_t P1(uint32_t x) { return x ^ std::rotl(x, 15) ^ std::rotl(x, 23); }
inline uint32_t FF0(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t FF1(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | ((x | y) & z); }
inline uint32_t GG0(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t GG1(uint32_t x, uint32_t y, uint32_t z) { return ((y ^ z) & x) ^ z; }

// Keeps the compiler from folding a partial sum back into a longer chain.
#if defined(__GNUC__)
#define SM3_KEEP(x) asm("" : "+r"(x))
#else
#define SM3_KEEP(x) (void)0
#endif

// One round with the roles of the eight words passed in rotated order, so no
// word is ever moved: B and F are rotated in place, D and H receive the new
// values of A and E.  K is T_j already rotated left by j mod 32.  The chain
// from E to the next E is what bounds the speed, so every sum that does not
// depend on it is formed first: rotl(A, 12) + K before E is added, and
// GG + H + W before SS1 is.
#define SM3_ROUND(A, B, C, D, E, F, G, H, K, Wi, Wi1, FF, GG) \
  do {                                                        \
    const uint32_t a12 = std::rotl(A, 12);                    \
    uint32_t a12k = a12 + (K);                                \
    SM3_KEEP(a12k);                                           \
    const uint32_t ss1 = std::rotl(a12k + E, 7);              \
    const uint32_t ss2 = ss1 ^ a12;                           \
    uint32_t fdw = FF(A, B, C) + D + (Wi1);                   \
    SM3_KEEP(fdw);                                            \
    uint32_t ghw = GG(E, F, G) + H + (Wi);                    \
    SM3_KEEP(ghw);                                            \
    const uint32_t tt1 = fdw + ss2;                           \
    const uint32_t tt2 = ghw + ss1;                           \
    B = std::rotl(B, 9);                                      \
    F = std::rotl(F, 19);                                     \
    D = tt1;                                                  \
    H = P0(tt2);                                              \
  } while (0)


// The message schedule of one block: W[0..67] and W'[j] = W[j] ^ W[j + 4].
struct Schedule {
  alignas(16) uint32_t w[68];
  alignas(16) uint32_t w1[64];
};

}  // namespace
}  // namespace CSM3

// One compression function per instruction set, from the same source.
#if defined(__SSE2__)

namespace CSM3 {
namespace {
namespace baseline {

// The vector operations of the expansion with SSE2 alone.
struct Ops {
  template <int N>
  static __m128i Rotl(__m128i x) {
    return _mm_or_si128(_mm_slli_epi32(x, N), _mm_srli_epi32(x, 32 - N));
  }
  static __m128i Xor3(__m128i a, __m128i b, __m128i c) {
    return _mm_xor_si128(_mm_xor_si128(a, b), c);
  }
  // The 16 bytes from byte Bytes on of lo followed by hi.
  template <int Bytes>
  static __m128i Align(__m128i hi, __m128i lo) {
    return _mm_or_si128(_mm_srli_si128(lo, Bytes), _mm_slli_si128(hi, 16 - Bytes));
  }
  // Four big-endian words.
  static __m128i LoadBig4(const unsigned char* p) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    x = _mm_shufflehi_epi16(_mm_shufflelo_epi16(x, 0xB1), 0xB1);
    return _mm_or_si128(_mm_slli_epi16(x, 8), _mm_srli_epi16(x, 8));
  }
};

#include "sm/sm3_compress.inc"

}  // namespace baseline
}  // namespace
}  // namespace CSM3

#if defined(__x86_64__) || defined(__i386__)

// With three-operand vector instructions, which spare the register copies,
// and SSSE3's byte alignment and shuffle.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx,ssse3"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx")
#endif
namespace CSM3 {
namespace {
namespace avx {

struct Ops : baseline::Ops {
  template <int Bytes>
  static __m128i Align(__m128i hi, __m128i lo) {
    return _mm_alignr_epi8(hi, lo, Bytes);
  }
  static __m128i LoadBig4(const unsigned char* p) {
    const __m128i order = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), order);
  }
};

#include "sm/sm3_compress.inc"

}  // namespace avx
}  // namespace
}  // namespace CSM3
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif  // x86

#else  // no SSE2

namespace CSM3 {
namespace {
namespace baseline {
#include "sm/sm3_compress.inc"
}  // namespace baseline
}  // namespace
}  // namespace CSM3

#endif

namespace CSM3 {
namespace {

using CompressFunction = void (*)(uint32_t*, const unsigned char*, size_t);

CompressFunction SelectCompress() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx")) return avx::Compress;
#endif
  return baseline::Compress;
}

void Compress(uint32_t state[8], const unsigned char* data, size_t blocks) {
  static const CompressFunction compress = SelectCompress();
  compress(state, data, blocks);
}

}  // namespace

std::span<const detail::CompressVariant> detail::CompressVariants() {
  static const std::vector<CompressVariant> variants = [] {
    std::vector<CompressVariant> list{{"baseline", baseline::Compress}};
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx")) list.push_back({"avx", avx::Compress});
#endif
    return list;
  }();
  return variants;
}

void sm3_starts(sm3_context* ctx) {
  ctx->total[0] = 0;
  ctx->total[1] = 0;
  std::memcpy(ctx->state, kIV, sizeof kIV);
}

void sm3_update(sm3_context* ctx, const unsigned char* input, int ilen) {
  if (ilen <= 0) return;
  size_t length = static_cast<size_t>(ilen);
  const uint32_t used = ctx->total[0] & 0x3F;
  ctx->total[0] += static_cast<uint32_t>(length);
  if (ctx->total[0] < static_cast<uint32_t>(length)) ctx->total[1]++;

  if (used != 0 && length >= 64 - used) {
    std::memcpy(ctx->buffer + used, input, 64 - used);
    Compress(ctx->state, ctx->buffer, 1);
    input += 64 - used;
    length -= 64 - used;
  } else if (used != 0) {
    std::memcpy(ctx->buffer + used, input, length);
    return;
  }
  if (length >= 64) {
    Compress(ctx->state, input, length / 64);
    input += length & ~size_t{63};
    length &= 63;
  }
  if (length > 0) std::memcpy(ctx->buffer, input, length);
}

void sm3_finish(sm3_context* ctx, unsigned char output[32]) {
  const uint32_t high = (ctx->total[1] << 3) | (ctx->total[0] >> 29);
  const uint32_t low = ctx->total[0] << 3;
  unsigned char msglen[8];
  StoreBig(high, msglen);
  StoreBig(low, msglen + 4);

  const uint32_t used = ctx->total[0] & 0x3F;
  const uint32_t padn = used < 56 ? 56 - used : 120 - used;
  sm3_update(ctx, sm3_padding, static_cast<int>(padn));
  sm3_update(ctx, msglen, 8);
  for (int i = 0; i < 8; ++i) StoreBig(ctx->state[i], output + 4 * i);
}

void sm3(const unsigned char* input, int ilen, unsigned char output[32]) {
  sm3_context ctx;
  sm3_starts(&ctx);
  sm3_update(&ctx, input, ilen);
  sm3_finish(&ctx, output);
  std::memset(&ctx, 0, sizeof ctx);
}

int sm3_file(const char* path, unsigned char output[32]) {
  FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return 1;
  // The stream reads ahead into this stack buffer, so a system call fetches
  // 64 KiB while the hash takes 1024 bytes at a time; nothing is allocated.
  char streamBuffer[64 * 1024];
  std::setvbuf(file, streamBuffer, _IOFBF, sizeof streamBuffer);
  sm3_context ctx;
  unsigned char buffer[1024];
  sm3_starts(&ctx);
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    sm3_update(&ctx, buffer, static_cast<int>(n));
  }
  sm3_finish(&ctx, output);
  std::memset(&ctx, 0, sizeof ctx);
  const int result = std::ferror(file) != 0 ? 2 : 0;
  std::fclose(file);
  return result;
}

std::string string2hex(const std::string& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    text += digits[byte >> 4];
    text += digits[byte & 0x0F];
  }
  return text;
}

}  // namespace CSM3
