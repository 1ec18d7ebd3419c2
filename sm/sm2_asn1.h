#pragma once

#include <openssl/asn1.h>

#include "sm/sm2.h"

// The DER form of an SM2 signature: SEQUENCE { r INTEGER, s INTEGER }, the
// ASN.1 item "EC_SM2_SIG".

extern "C" {

// A new signature with r and s allocated (zero); null on failure.
EC_SM2_SIG* EC_SM2_SIG_new(void);
void EC_SM2_SIG_free(EC_SM2_SIG* sig);

// Decodes one signature from *in (advancing it past the encoding); null on
// malformed input.  With a non-null object pointer the result is also stored
// there (reusing the object when it is not null).
EC_SM2_SIG* d2i_EC_SM2_SIG(EC_SM2_SIG** sig, const unsigned char** in, long length);
// Encodes the signature; with out null only the length is returned; with
// *out null a buffer is allocated (OPENSSL_free).  Negative on failure.
int i2d_EC_SM2_SIG(const EC_SM2_SIG* sig, unsigned char** out);

const ASN1_ITEM* EC_SM2_SIG_it(void);

}  // extern "C"
