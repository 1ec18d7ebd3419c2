#pragma once

#include <cstddef>
#include <cstdint>

// SM3 taking one input byte per step, the implementation behind the SM3
// message-digest object of the binding (sm/sm3_evp.h).  Results are 1 for
// success and 0 for a null argument.

extern "C" {

typedef struct SM3_STATE_st {
  uint32_t digest[8];
  uint32_t bits_low;   // input length in bits
  uint32_t bits_high;  // overflows of bits_low
  uint32_t W[68];      // W[0..15]: the block being filled, big-endian words
  uint32_t W1[64];
} SM3_STATE;

int SM3_Init(SM3_STATE* state);
int SM3_Update(SM3_STATE* state, const void* data, size_t length);
int SM3_Final(SM3_STATE* state, unsigned char digest[32]);
// Compresses the block held in W[0..15] into digest.
void SM3_Transform(SM3_STATE* state);
// One-shot digest; returns the output pointer.
unsigned char* SM3(const unsigned char* data, size_t length, unsigned char digest[32]);

}  // extern "C"
