#pragma once

#include <cstdint>
#include <string>

// SM3 (GB/T 32905-2016): a streaming hash over sm3_context, a file hasher and
// an upper-case hexadecimal formatter.  Lengths are signed 32-bit counts.
namespace CSM3 {

struct sm3_context {
  uint32_t total[2];         // bytes fed so far; total[1] counts overflows of total[0]
  uint32_t state[8];         // chaining words
  unsigned char buffer[64];  // incomplete input block
};

void sm3_starts(sm3_context* ctx);
// Feeds the bytes; a length of 0 or less changes nothing.
void sm3_update(sm3_context* ctx, const unsigned char* input, int ilen);
// Pads and writes the 32-byte digest.
void sm3_finish(sm3_context* ctx, unsigned char output[32]);
void sm3(const unsigned char* input, int ilen, unsigned char output[32]);

// Digest of the file's whole content, read 1024 bytes at a time.  Returns 0,
// 2 when a read fails (the digest of the bytes read before is still written),
// or 1 when the file cannot be opened (the output is left untouched).
int sm3_file(const char* path, unsigned char output[32]);

// Two upper-case hexadecimal characters per byte.
std::string string2hex(const std::string& bytes);

}  // namespace CSM3
