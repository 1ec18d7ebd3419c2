// The engine "sm2" and the key wrapper bound to it.

#include <openssl/err.h>

#include "sm/sm2_binding.h"
#include "sm/sm_internal.h"

namespace {

const int sm2_nids[] = {EVP_PKEY_EC};

// One operation method serves every context; OpenSSL only reads it.
const EVP_PKEY_METHOD* SharedMethod() {
  static EVP_PKEY_METHOD* const method = sm2_pmeth_new();
  return method;
}

int pkey_meths(ENGINE* /*engine*/, EVP_PKEY_METHOD** method, const int** nids, int nid) {
  if (method == nullptr) {
    if (nids != nullptr) *nids = sm2_nids;
    return 1;
  }
  if (nid == EVP_PKEY_EC) {
    *method = const_cast<EVP_PKEY_METHOD*>(SharedMethod());
    return *method != nullptr ? 1 : 0;
  }
  *method = nullptr;
  return 0;
}

int EngineNoop(ENGINE* /*engine*/) { return 1; }

}  // namespace

extern "C" {

ENGINE* engine_sm2(void) {
  ENGINE* engine = ENGINE_new();
  if (engine == nullptr) return nullptr;
  if (ENGINE_set_id(engine, "sm2") != 1 || ENGINE_set_name(engine, "sm2 support") != 1 ||
      ENGINE_set_init_function(engine, EngineNoop) != 1 ||
      ENGINE_set_finish_function(engine, EngineNoop) != 1 ||
      ENGINE_set_destroy_function(engine, EngineNoop) != 1 ||
      ENGINE_set_pkey_meths(engine, pkey_meths) != 1) {
    ENGINE_free(engine);
    return nullptr;
  }
  return engine;
}

void ENGINE_load_sm2(void) {
  ENGINE* engine = engine_sm2();
  if (engine == nullptr) return;
  ENGINE_add(engine);
  ENGINE_free(engine);
  ERR_clear_error();
}

EVP_PKEY* EVP_PKEY_SM2_init(EC_KEY* key) {
  if (key == nullptr) return nullptr;
  EVP_PKEY* pkey = EVP_PKEY_new();
  if (pkey == nullptr || EVP_PKEY_assign_EC_KEY(pkey, key) != 1) {
    EVP_PKEY_free(pkey);
    EC_KEY_free(key);
    return nullptr;
  }
  // The wrapper takes its own reference to a new engine; it is released
  // with the wrapper.
  ENGINE* engine = engine_sm2();
  const bool bound = engine != nullptr && EVP_PKEY_set1_engine(pkey, engine) == 1;
  ENGINE_free(engine);
  if (!bound) {
    EVP_PKEY_free(pkey);
    return nullptr;
  }
  return pkey;
}

void EVP_sm2_cleanup(void) {}

}  // extern "C"
