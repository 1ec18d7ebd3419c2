// The engine "sm2" and the key wrapper bound to it.

#include <openssl/err.h>

#include "sm/sm2_binding.h"
#include "sm/sm_internal.h"

namespace {

const int sm2_nids[] = {EVP_PKEY_EC};

// Each engine holds one operation method of its own, made with the engine.
// OpenSSL frees the methods an engine hands out when it destroys the engine,
// so the method must neither be shared between engines nor made anew for
// every lookup (it would leak).
int MethodIndex() {
  static const int index = ENGINE_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

int pkey_meths(ENGINE* engine, EVP_PKEY_METHOD** method, const int** nids, int nid) {
  if (method == nullptr) {
    if (nids != nullptr) *nids = sm2_nids;
    return static_cast<int>(sizeof sm2_nids / sizeof sm2_nids[0]);
  }
  *method = nid == EVP_PKEY_EC
                ? static_cast<EVP_PKEY_METHOD*>(ENGINE_get_ex_data(engine, MethodIndex()))
                : nullptr;
  return *method != nullptr ? 1 : 0;
}

int EngineNoop(ENGINE* /*engine*/) { return 1; }

}  // namespace

extern "C" {

ENGINE* engine_sm2(void) {
  const int index = MethodIndex();
  if (index < 0) return nullptr;
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
  EVP_PKEY_METHOD* method = sm2_pmeth_new();
  if (method == nullptr || ENGINE_set_ex_data(engine, index, method) != 1) {
    EVP_PKEY_meth_free(method);
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
