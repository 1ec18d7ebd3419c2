#include "sm/sm3.h"

#include <bit>
#include <cstdio>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
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

// One round with the roles of the eight words passed in rotated order, so no
// word is ever moved: B and F are rotated in place, D and H receive the new
// values of A and E.  K is T_j already rotated left by j mod 32.
#define SM3_ROUND(A, B, C, D, E, F, G, H, K, Wi, Wi1, FF, GG) \
  do {                                                        \
    const uint32_t a12 = std::rotl(A, 12);                    \
    const uint32_t ss1 = std::rotl(a12 + E + (K), 7);         \
    const uint32_t ss2 = ss1 ^ a12;                           \
    const uint32_t tt1 = FF(A, B, C) + D + ss2 + (Wi1);       \
    const uint32_t tt2 = GG(E, F, G) + H + ss1 + (Wi);        \
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

// The rounds are bound by the latency of the chain through E, so the message
// expansion of the next block is computed in small steps between the rounds
// of the current one, on the vector unit where there is one.  Begin loads a
// block, Step(k) for k = 4..16 computes W[4k..4k+3], Finish the last W'.
#if defined(__SSE2__)

inline __m128i Rotl(__m128i x, int n) {
  return _mm_or_si128(_mm_slli_epi32(x, n), _mm_srli_epi32(x, 32 - n));
}

inline __m128i P1(__m128i x) { return _mm_xor_si128(x, _mm_xor_si128(Rotl(x, 15), Rotl(x, 23))); }

// Four big-endian words.
inline __m128i LoadBig4(const unsigned char* p) {
  __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  x = _mm_shufflehi_epi16(_mm_shufflelo_epi16(x, 0xB1), 0xB1);
  return _mm_or_si128(_mm_slli_epi16(x, 8), _mm_srli_epi16(x, 8));
}

struct Expander {
  __m128i v0, v1, v2, v3;  // the last sixteen words
  __m128i* w;
  __m128i* w1;

  void Begin(const unsigned char* data, Schedule& s) {
    w = reinterpret_cast<__m128i*>(s.w);
    w1 = reinterpret_cast<__m128i*>(s.w1);
    v0 = LoadBig4(data);
    v1 = LoadBig4(data + 16);
    v2 = LoadBig4(data + 32);
    v3 = LoadBig4(data + 48);
    _mm_store_si128(w, v0);
    _mm_store_si128(w + 1, v1);
    _mm_store_si128(w + 2, v2);
    _mm_store_si128(w + 3, v3);
  }

  // The last of the four words depends on the first; P1 is linear over xor,
  // so that term is computed with the first word as zero and added after.
  void Step(int k) {
    const __m128i w9 = _mm_or_si128(_mm_srli_si128(v1, 12), _mm_slli_si128(v2, 4));
    const __m128i w3 = _mm_srli_si128(v3, 4);
    const __m128i w13 = _mm_or_si128(_mm_srli_si128(v0, 12), _mm_slli_si128(v1, 4));
    const __m128i w6 = _mm_or_si128(_mm_srli_si128(v2, 8), _mm_slli_si128(v3, 8));
    __m128i x = _mm_xor_si128(_mm_xor_si128(v0, w9), Rotl(w3, 15));
    x = _mm_xor_si128(_mm_xor_si128(P1(x), Rotl(w13, 7)), w6);
    x = _mm_xor_si128(x, P1(Rotl(_mm_slli_si128(x, 12), 15)));
    _mm_store_si128(w + k, x);
    _mm_store_si128(w1 + k - 4, _mm_xor_si128(v0, v1));
    v0 = v1;
    v1 = v2;
    v2 = v3;
    v3 = x;
  }

  void Finish() {
    _mm_store_si128(w1 + 13, _mm_xor_si128(v0, v1));
    _mm_store_si128(w1 + 14, _mm_xor_si128(v1, v2));
    _mm_store_si128(w1 + 15, _mm_xor_si128(v2, v3));
  }
};

#else

struct Expander {
  uint32_t* w;
  uint32_t* w1;

  void Begin(const unsigned char* data, Schedule& s) {
    w = s.w;
    w1 = s.w1;
    for (int j = 0; j < 16; ++j) w[j] = LoadBig(data + 4 * j);
  }

  void Step(int k) {
    for (int j = 4 * k; j < 4 * k + 4; ++j) {
      w[j] = P1(w[j - 16] ^ w[j - 9] ^ std::rotl(w[j - 3], 15)) ^ std::rotl(w[j - 13], 7) ^ w[j - 6];
      w1[j - 16] = w[j - 16] ^ w[j - 12];
    }
  }

  void Finish() {
    for (int j = 52; j < 64; ++j) w1[j] = w[j] ^ w[j + 4];
  }
};

#endif

#define SM3_R0(A, B, C, D, E, F, G, H, K, j) SM3_ROUND(A, B, C, D, E, F, G, H, K, s.w[j], s.w1[j], FF0, GG0)
#define SM3_R1(A, B, C, D, E, F, G, H, K, j) SM3_ROUND(A, B, C, D, E, F, G, H, K, s.w[j], s.w1[j], FF1, GG1)

// Four rounds, then one expansion step of the next block if there is one.
#define SM3_FOUR(R, j, K0, K1, K2, K3, NEXT) \
  R(A, B, C, D, E, F, G, H, K0, j);          \
  R(D, A, B, C, H, E, F, G, K1, j + 1);      \
  R(C, D, A, B, G, H, E, F, K2, j + 2);      \
  R(B, C, D, A, F, G, H, E, K3, j + 3);      \
  if (more) {                                \
    NEXT;                                    \
  }

// Compresses whole 64-byte blocks straight from the given memory.
[[gnu::always_inline]] inline void CompressBody(uint32_t state[8], const unsigned char* data,
                                                size_t blocks) {
  uint32_t A = state[0], B = state[1], C = state[2], D = state[3];
  uint32_t E = state[4], F = state[5], G = state[6], H = state[7];
  Schedule schedules[2];
  Expander next;
  next.Begin(data, schedules[0]);
  for (int k = 4; k < 17; ++k) next.Step(k);
  next.Finish();
  int current = 0;
  while (blocks-- > 0) {
    const Schedule& s = schedules[current];
    const bool more = blocks > 0;
    if (more) next.Begin(data + 64, schedules[current ^ 1]);
    const uint32_t a = A, b = B, c = C, d = D, e = E, f = F, g = G, h = H;
    SM3_FOUR(SM3_R0, 0, 0x79CC4519, 0xF3988A32, 0xE7311465, 0xCE6228CB, next.Step(4));
    SM3_FOUR(SM3_R0, 4, 0x9CC45197, 0x3988A32F, 0x7311465E, 0xE6228CBC, next.Step(5));
    SM3_FOUR(SM3_R0, 8, 0xCC451979, 0x988A32F3, 0x311465E7, 0x6228CBCE, next.Step(6));
    SM3_FOUR(SM3_R0, 12, 0xC451979C, 0x88A32F39, 0x11465E73, 0x228CBCE6, next.Step(7));
    SM3_FOUR(SM3_R1, 16, 0x9D8A7A87, 0x3B14F50F, 0x7629EA1E, 0xEC53D43C, next.Step(8));
    SM3_FOUR(SM3_R1, 20, 0xD8A7A879, 0xB14F50F3, 0x629EA1E7, 0xC53D43CE, next.Step(9));
    SM3_FOUR(SM3_R1, 24, 0x8A7A879D, 0x14F50F3B, 0x29EA1E76, 0x53D43CEC, next.Step(10));
    SM3_FOUR(SM3_R1, 28, 0xA7A879D8, 0x4F50F3B1, 0x9EA1E762, 0x3D43CEC5, next.Step(11));
    SM3_FOUR(SM3_R1, 32, 0x7A879D8A, 0xF50F3B14, 0xEA1E7629, 0xD43CEC53, next.Step(12));
    SM3_FOUR(SM3_R1, 36, 0xA879D8A7, 0x50F3B14F, 0xA1E7629E, 0x43CEC53D, next.Step(13));
    SM3_FOUR(SM3_R1, 40, 0x879D8A7A, 0x0F3B14F5, 0x1E7629EA, 0x3CEC53D4, next.Step(14));
    SM3_FOUR(SM3_R1, 44, 0x79D8A7A8, 0xF3B14F50, 0xE7629EA1, 0xCEC53D43, next.Step(15));
    SM3_FOUR(SM3_R1, 48, 0x9D8A7A87, 0x3B14F50F, 0x7629EA1E, 0xEC53D43C, next.Step(16));
    SM3_FOUR(SM3_R1, 52, 0xD8A7A879, 0xB14F50F3, 0x629EA1E7, 0xC53D43CE, next.Finish());
    SM3_FOUR(SM3_R1, 56, 0x8A7A879D, 0x14F50F3B, 0x29EA1E76, 0x53D43CEC, (void)0);
    SM3_FOUR(SM3_R1, 60, 0xA7A879D8, 0x4F50F3B1, 0x9EA1E762, 0x3D43CEC5, (void)0);
    A ^= a; B ^= b; C ^= c; D ^= d; E ^= e; F ^= f; G ^= g; H ^= h;
    data += 64;
    current ^= 1;
  }
  state[0] = A; state[1] = B; state[2] = C; state[3] = D;
  state[4] = E; state[5] = F; state[6] = G; state[7] = H;
}

#undef SM3_FOUR
#undef SM3_R0
#undef SM3_R1

void CompressBaseline(uint32_t state[8], const unsigned char* data, size_t blocks) {
  CompressBody(state, data, blocks);
}

#if defined(__x86_64__) || defined(__i386__)
// The same code with three-operand vector instructions, which spare the
// register copies of the expansion.
[[gnu::target("avx")]] void CompressAvx(uint32_t state[8], const unsigned char* data,
                                        size_t blocks) {
  CompressBody(state, data, blocks);
}

// With rotations and three-way xors of single instructions.
[[gnu::target("avx2,avx512f,avx512vl")]] void CompressAvx512(uint32_t state[8],
                                                             const unsigned char* data,
                                                             size_t blocks) {
  CompressBody(state, data, blocks);
}
#endif

using CompressFunction = void (*)(uint32_t*, const unsigned char*, size_t);

CompressFunction SelectCompress() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512f")) {
    return CompressAvx512;
  }
  if (__builtin_cpu_supports("avx")) return CompressAvx;
#endif
  return CompressBaseline;
}

void Compress(uint32_t state[8], const unsigned char* data, size_t blocks) {
  static const CompressFunction compress = SelectCompress();
  compress(state, data, blocks);
}

}  // namespace

std::span<const detail::CompressVariant> detail::CompressVariants() {
  static const std::vector<CompressVariant> variants = [] {
    std::vector<CompressVariant> list{{"baseline", CompressBaseline}};
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx")) list.push_back({"avx", CompressAvx});
    if (__builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512f")) {
      list.push_back({"avx512", CompressAvx512});
    }
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
