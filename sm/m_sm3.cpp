#include "sm/m_sm3.h"

#include <bit>
#include <cstring>

namespace {

const uint32_t IV[8] = {0x7380166F, 0x4914B2B9, 0x172442D7, 0xDA8A0600,
                        0xA96F30BC, 0x163138AA, 0xE38DEE4D, 0xB0FB0E4E};

// T_0 for rounds 0 to 15, T_1 for rounds 16 to 63.
const uint32_t T[64] = {
    0x79CC4519, 0x79CC4519, 0x79CC4519, 0x79CC4519, 0x79CC4519, 0x79CC4519, 0x79CC4519, 0x79CC4519,
    0x79CC4519, 0x79CC4519, 0x79CC4519, 0x79CC4519, 0x79CC4519, 0x79CC4519, 0x79CC4519, 0x79CC4519,
    0x7A879D8A, 0x7A879D8A, 0x7A879D8A, 0x7A879D8A, 0x7A879D8A, 0x7A879D8A, 0x7A879D8A, 0x7A879D8A,
    0x7A879D8A, 0x7A879D8A, 0x7A879D8A, 0x7A879D8A, 0x7A879D8A, 0x7A879D8A, 0x7A879D8A, 0x7A879D8A,
    0x7A879D8A, 0x7A879D8A, 0x7A879D8A, 0x7A879D8A, 0x7A879D8A, 0x7A879D8A, 0x7A879D8A, 0x7A879D8A,
    0x7A879D8A, 0x7A879D8A, 0x7A879D8A, 0x7A879D8A, 0x7A879D8A, 0x7A879D8A, 0x7A879D8A, 0x7A879D8A,
    0x7A879D8A, 0x7A879D8A, 0x7A879D8A, 0x7A879D8A, 0x7A879D8A, 0x7A879D8A, 0x7A879D8A, 0x7A879D8A,
    0x7A879D8A, 0x7A879D8A, 0x7A879D8A, 0x7A879D8A, 0x7A879D8A, 0x7A879D8A, 0x7A879D8A, 0x7A879D8A};

const unsigned char PAD = 0x80;
const unsigned char ZERO = 0x00;

inline uint32_t P0(uint32_t x) { return x ^ std::rotl(x, 9) ^ std::rotl(x, 17); }
inline uint32_t P1(uint32_t x) { return x ^ std::rotl(x, 15) ^ std::rotl(x, 23); }

// Stores one byte at the current block position and compresses each block
// as it completes.
inline void UpdateByte(SM3_STATE* state, unsigned char byte) {
  const uint32_t position = (state->bits_low / 8) % 64;
  const unsigned shift = 8 * (3 - position % 4);
  uint32_t& word = state->W[position / 4];
  word = (word & ~(uint32_t{0xFF} << shift)) | (uint32_t{byte} << shift);
  state->bits_low += 8;
  if (state->bits_low == 0) state->bits_high++;
  if (state->bits_low % 512 == 0) SM3_Transform(state);
}

}  // namespace

extern "C" {

int SM3_Init(SM3_STATE* state) {
  if (state == nullptr) return 0;
  std::memset(&state->bits_low, 0, sizeof(SM3_STATE) - offsetof(SM3_STATE, bits_low));
  std::memcpy(state->digest, IV, sizeof IV);
  return 1;
}

int SM3_Update(SM3_STATE* state, const void* data, size_t length) {
  if (state == nullptr || (data == nullptr && length != 0)) return 0;
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < length; ++i) UpdateByte(state, bytes[i]);
  return 1;
}

int SM3_Final(SM3_STATE* state, unsigned char digest[32]) {
  if (state == nullptr || digest == nullptr) return 0;
  const uint32_t low = state->bits_low;
  const uint32_t high = state->bits_high;
  UpdateByte(state, PAD);
  while (state->bits_low % 512 != 448) UpdateByte(state, ZERO);
  state->W[14] = high;
  state->W[15] = low;
  SM3_Transform(state);
  for (int i = 0; i < 8; ++i) {
    digest[4 * i] = static_cast<unsigned char>(state->digest[i] >> 24);
    digest[4 * i + 1] = static_cast<unsigned char>(state->digest[i] >> 16);
    digest[4 * i + 2] = static_cast<unsigned char>(state->digest[i] >> 8);
    digest[4 * i + 3] = static_cast<unsigned char>(state->digest[i]);
  }
  return 1;
}

void SM3_Transform(SM3_STATE* state) {
  uint32_t* W = state->W;
  uint32_t* W1 = state->W1;
  for (int j = 16; j < 68; ++j) {
    W[j] = P1(W[j - 16] ^ W[j - 9] ^ std::rotl(W[j - 3], 15)) ^ std::rotl(W[j - 13], 7) ^ W[j - 6];
  }
  for (int j = 0; j < 64; ++j) W1[j] = W[j] ^ W[j + 4];

  uint32_t A = state->digest[0], B = state->digest[1], C = state->digest[2], D = state->digest[3];
  uint32_t E = state->digest[4], F = state->digest[5], G = state->digest[6], H = state->digest[7];
  for (int j = 0; j < 64; ++j) {
    const uint32_t ss1 = std::rotl(std::rotl(A, 12) + E + std::rotl(T[j], j % 32), 7);
    const uint32_t ss2 = ss1 ^ std::rotl(A, 12);
    uint32_t ff, gg;
    if (j < 16) {
      ff = A ^ B ^ C;
      gg = E ^ F ^ G;
    } else {
      ff = (A & B) | (A & C) | (B & C);
      gg = (E & F) | (~E & G);
    }
    const uint32_t tt1 = ff + D + ss2 + W1[j];
    const uint32_t tt2 = gg + H + ss1 + W[j];
    D = C;
    C = std::rotl(B, 9);
    B = A;
    A = tt1;
    H = G;
    G = std::rotl(F, 19);
    F = E;
    E = P0(tt2);
  }
  state->digest[0] ^= A; state->digest[1] ^= B; state->digest[2] ^= C; state->digest[3] ^= D;
  state->digest[4] ^= E; state->digest[5] ^= F; state->digest[6] ^= G; state->digest[7] ^= H;
}

unsigned char* SM3(const unsigned char* data, size_t length, unsigned char digest[32]) {
  SM3_STATE state;
  SM3_Init(&state);
  SM3_Update(&state, data, length);
  SM3_Final(&state, digest);
  std::memset(&state, 0, sizeof state);
  return digest;
}

}  // extern "C"
