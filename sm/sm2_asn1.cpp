// The ASN.1 item of an SM2 signature and its DER coding.

#include "sm/sm2_asn1.h"

#include <openssl/asn1t.h>

extern "C" {

ASN1_SEQUENCE(EC_SM2_SIG) = {
    ASN1_SIMPLE(EC_SM2_SIG, r, CBIGNUM),
    ASN1_SIMPLE(EC_SM2_SIG, s, CBIGNUM),
} ASN1_SEQUENCE_END(EC_SM2_SIG)

EC_SM2_SIG* EC_SM2_SIG_new(void) {
  return reinterpret_cast<EC_SM2_SIG*>(ASN1_item_new(ASN1_ITEM_rptr(EC_SM2_SIG)));
}

void EC_SM2_SIG_free(EC_SM2_SIG* sig) {
  ASN1_item_free(reinterpret_cast<ASN1_VALUE*>(sig), ASN1_ITEM_rptr(EC_SM2_SIG));
}

EC_SM2_SIG* d2i_EC_SM2_SIG(EC_SM2_SIG** sig, const unsigned char** in, long length) {
  if (in == nullptr || *in == nullptr || length <= 0) return nullptr;
  return reinterpret_cast<EC_SM2_SIG*>(ASN1_item_d2i(reinterpret_cast<ASN1_VALUE**>(sig), in,
                                                     length, ASN1_ITEM_rptr(EC_SM2_SIG)));
}

int i2d_EC_SM2_SIG(const EC_SM2_SIG* sig, unsigned char** out) {
  if (sig == nullptr || sig->r == nullptr || sig->s == nullptr) return -1;
  return ASN1_item_i2d(reinterpret_cast<const ASN1_VALUE*>(sig), out,
                       ASN1_ITEM_rptr(EC_SM2_SIG));
}

}  // extern "C"
