// The DER form of SM2 signatures: d2i_EC_SM2_SIG on any bytes; what decodes
// must encode again (i2d_EC_SM2_SIG) to a text that decodes to the same r
// and s, and decoding into an existing object must give the same numbers.

#include <openssl/bn.h>
#include <openssl/crypto.h>

#include <cstdint>

#include "fuzz/sandbox.h"
#include "sm/sm2_asn1.h"

using fuzz_sandbox::Fail;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_sandbox::RequirePrivateRoot();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return -1;
  const unsigned char* in = data;
  EC_SM2_SIG* sig = d2i_EC_SM2_SIG(nullptr, &in, static_cast<long>(size));
  if (sig == nullptr) return 0;
  if (in <= data || in > data + size) Fail("d2i_EC_SM2_SIG moved its input outside the data");
  if (sig->r == nullptr || sig->s == nullptr) Fail("a decoded signature without r or s");

  unsigned char* der = nullptr;
  const int length = i2d_EC_SM2_SIG(sig, &der);
  if (length <= 0) Fail("a decoded signature does not encode");
  const unsigned char* again = der;
  EC_SM2_SIG* copy = d2i_EC_SM2_SIG(nullptr, &again, length);
  if (copy == nullptr || again != der + length) Fail("an encoded signature does not decode");
  if (BN_cmp(copy->r, sig->r) != 0 || BN_cmp(copy->s, sig->s) != 0) Fail("r or s changed in a round trip");

  // Decoding into the existing object replaces its numbers.
  const unsigned char* reuse = der;
  if (d2i_EC_SM2_SIG(&copy, &reuse, length) != copy || BN_cmp(copy->r, sig->r) != 0) {
    Fail("decoding into an existing object");
  }
  EC_SM2_SIG_free(copy);
  OPENSSL_free(der);
  EC_SM2_SIG_free(sig);
  return 0;
}
