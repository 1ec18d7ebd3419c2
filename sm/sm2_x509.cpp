// SM2 key objects from coordinates and from certificates.

#include <openssl/x509.h>

#include "sm/sm2_binding.h"
#include "sm/sm_internal.h"

extern "C" {

EC_KEY* EC_KEY_SM2_init(EC_KEY* key) {
  EC_KEY* made = nullptr;
  if (key == nullptr) {
    made = key = EC_KEY_new();
    if (key == nullptr) return nullptr;
  }
  const ec_sm2_data* data = ec_sm2_check(key);
  if (data == nullptr || EC_KEY_set_group(key, data->group) != 1) {
    EC_KEY_free(made);
    return nullptr;
  }
  EC_KEY_set_flags(key, sm::kEcKeySm2Flag);
  return key;
}

int EC_KEY_is_sm2(const EC_KEY* key) {
  return key != nullptr && (EC_KEY_get_flags(key) & sm::kEcKeySm2Flag) != 0 ? 1 : 0;
}

EC_KEY* EC_KEY_from_BN(const BIGNUM* x, const BIGNUM* y, const BIGNUM* d) {
  if (x == nullptr || y == nullptr) return nullptr;
  EC_KEY* key = EC_KEY_SM2_init(nullptr);
  if (key == nullptr) return nullptr;
  const ec_sm2_data* data = ec_sm2_check(key);
  // OpenSSL reduces coordinates modulo p when it sets them, so the range is
  // checked on the numbers as given.
  bool ok = !BN_is_negative(x) && !BN_is_negative(y) && BN_cmp(x, data->p) < 0 &&
            BN_cmp(y, data->p) < 0;
  EC_POINT* point = ok ? EC_POINT_new(EC_KEY_get0_group(key)) : nullptr;
  ok = point != nullptr &&
       EC_POINT_set_affine_coordinates(EC_KEY_get0_group(key), point, x, y, nullptr) == 1 &&
       EC_KEY_set_public_key(key, point) == 1;
  EC_POINT_free(point);
  if (ok && d != nullptr) ok = EC_KEY_set_private_key(key, d) == 1;
  if (ok && EC_SM2_check_key(key) == 1) return key;
  EC_KEY_free(key);
  return nullptr;
}

EC_KEY* EC_KEY_from_X509(X509* cert) {
  if (cert == nullptr) return nullptr;
  const ASN1_BIT_STRING* bits = X509_get0_pubkey_bitstr(cert);
  // Bytes 1 to 32 are x and 33 to 64 are y of an uncompressed point; any
  // other length is another kind of key.
  if (bits == nullptr || ASN1_STRING_length(bits) != 65) return nullptr;
  const unsigned char* bytes = ASN1_STRING_get0_data(bits);
  BIGNUM* x = BN_bin2bn(bytes + 1, 32, nullptr);
  BIGNUM* y = BN_bin2bn(bytes + 33, 32, nullptr);
  EC_KEY* key = x != nullptr && y != nullptr ? EC_KEY_from_BN(x, y, nullptr) : nullptr;
  BN_free(x);
  BN_free(y);
  return key;
}

}  // extern "C"
