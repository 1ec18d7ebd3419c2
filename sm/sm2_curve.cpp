// The SM2 curve: its tables, the curve data a key carries and the attachment
// of that data to a key.

#include "sm/sm_internal.h"

extern "C" {

const unsigned char EC_SM2_p[32] = {
    0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const unsigned char EC_SM2_a[32] = {
    0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC};
const unsigned char EC_SM2_b[32] = {
    0x28, 0xE9, 0xFA, 0x9E, 0x9D, 0x9F, 0x5E, 0x34, 0x4D, 0x5A, 0x9E, 0x4B, 0xCF, 0x65, 0x09, 0xA7,
    0xF3, 0x97, 0x89, 0xF5, 0x15, 0xAB, 0x8F, 0x92, 0xDD, 0xBC, 0xBD, 0x41, 0x4D, 0x94, 0x0E, 0x93};
const unsigned char EC_SM2_n[32] = {
    0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0x72, 0x03, 0xDF, 0x6B, 0x21, 0xC6, 0x05, 0x2B, 0x53, 0xBB, 0xF4, 0x09, 0x39, 0xD5, 0x41, 0x23};
const unsigned char EC_SM2_Gx[32] = {
    0x32, 0xC4, 0xAE, 0x2C, 0x1F, 0x19, 0x81, 0x19, 0x5F, 0x99, 0x04, 0x46, 0x6A, 0x39, 0xC9, 0x94,
    0x8F, 0xE3, 0x0B, 0xBF, 0xF2, 0x66, 0x0B, 0xE1, 0x71, 0x5A, 0x45, 0x89, 0x33, 0x4C, 0x74, 0xC7};
const unsigned char EC_SM2_Gy[32] = {
    0xBC, 0x37, 0x36, 0xA2, 0xF4, 0xF6, 0x77, 0x9C, 0x59, 0xBD, 0xCE, 0xE3, 0x6B, 0x69, 0x21, 0x53,
    0xD0, 0xA9, 0x87, 0x7C, 0xC6, 0x2A, 0x47, 0x40, 0x02, 0xDF, 0x32, 0xE5, 0x21, 0x39, 0xF0, 0xA0};

}  // extern "C"

namespace {

// The curve built once from the tables, with OpenSSL's table of multiples
// of G.  Every key's curve data is copied from it; it lives as long as the
// process and is never changed after it is built.
const ec_sm2_data* PrototypeCurve() {
  static const ec_sm2_data* const prototype = []() -> const ec_sm2_data* {
    BN_CTX* ctx = BN_CTX_new();
    BIGNUM* a = BN_bin2bn(EC_SM2_a, 32, nullptr);
    BIGNUM* b = BN_bin2bn(EC_SM2_b, 32, nullptr);
    BIGNUM* gx = BN_bin2bn(EC_SM2_Gx, 32, nullptr);
    BIGNUM* gy = BN_bin2bn(EC_SM2_Gy, 32, nullptr);
    auto* data = static_cast<ec_sm2_data*>(OPENSSL_zalloc(sizeof(ec_sm2_data)));
    bool ok = ctx != nullptr && a != nullptr && b != nullptr && gx != nullptr && gy != nullptr &&
              data != nullptr;
    if (ok) {
      data->p = BN_bin2bn(EC_SM2_p, 32, nullptr);
      data->n = BN_bin2bn(EC_SM2_n, 32, nullptr);
      ok = data->p != nullptr && data->n != nullptr;
    }
    if (ok) {
      data->group = EC_GROUP_new_curve_GFp(data->p, a, b, ctx);
      ok = data->group != nullptr;
    }
    if (ok) {
      data->G = EC_POINT_new(data->group);
      ok = data->G != nullptr &&
           EC_POINT_set_affine_coordinates(data->group, data->G, gx, gy, ctx) == 1 &&
           EC_GROUP_set_generator(data->group, data->G, data->n, BN_value_one()) == 1 &&
           EC_GROUP_precompute_mult(data->group, ctx) == 1;
    }
    BN_free(a);
    BN_free(b);
    BN_free(gx);
    BN_free(gy);
    BN_CTX_free(ctx);
    if (!ok) {
      ec_sm2_data_free(data);
      return nullptr;
    }
    return data;
  }();
  return prototype;
}

void FreeData(void* /*parent*/, void* ptr, CRYPTO_EX_DATA* /*ad*/, int /*idx*/, long /*argl*/,
              void* /*argp*/) {
  ec_sm2_data_free(static_cast<ec_sm2_data*>(ptr));
}

// A duplicated key gets curve data of its own.
int DupData(CRYPTO_EX_DATA* /*to*/, const CRYPTO_EX_DATA* /*from*/, void** fromData,
            int /*idx*/, long /*argl*/, void* /*argp*/) {
  if (*fromData == nullptr) return 1;
  *fromData = ec_sm2_data_dup(static_cast<const ec_sm2_data*>(*fromData));
  return *fromData != nullptr ? 1 : 0;
}

// The key's extra-data slot that holds the curve data, reserved once for the
// process.
int DataIndex() {
  static const int index = EC_KEY_get_ex_new_index(0, nullptr, nullptr, DupData, FreeData);
  return index;
}

}  // namespace

extern "C" {

ec_sm2_data* ec_sm2_data_new(void) { return ec_sm2_data_dup(PrototypeCurve()); }

ec_sm2_data* ec_sm2_data_dup(const ec_sm2_data* source) {
  // Every copy comes from the curve built from the tables, whatever the
  // source holds.
  (void)source;
  const ec_sm2_data* prototype = PrototypeCurve();
  if (prototype == nullptr) return nullptr;
  auto* data = static_cast<ec_sm2_data*>(OPENSSL_zalloc(sizeof(ec_sm2_data)));
  if (data == nullptr) return nullptr;
  data->p = BN_dup(prototype->p);
  data->n = BN_dup(prototype->n);
  data->group = EC_GROUP_dup(prototype->group);
  if (data->group != nullptr) data->G = EC_POINT_dup(prototype->G, data->group);
  if (data->p == nullptr || data->n == nullptr || data->group == nullptr || data->G == nullptr) {
    ec_sm2_data_free(data);
    return nullptr;
  }
  return data;
}

void ec_sm2_data_free(ec_sm2_data* data) {
  if (data == nullptr) return;
  BN_free(data->p);
  BN_free(data->n);
  EC_POINT_free(data->G);
  EC_GROUP_clear_free(data->group);
  OPENSSL_free(data);
}

ec_sm2_data* ec_sm2_check(EC_KEY* key) {
  if (key == nullptr) return nullptr;
  const int index = DataIndex();
  if (index < 0) return nullptr;
  auto* data = static_cast<ec_sm2_data*>(EC_KEY_get_ex_data(key, index));
  if (data != nullptr) return data;
  data = ec_sm2_data_new();
  if (data == nullptr) return nullptr;
  if (EC_KEY_set_ex_data(key, index, data) != 1) {
    ec_sm2_data_free(data);
    return nullptr;
  }
  return data;
}

}  // extern "C"
