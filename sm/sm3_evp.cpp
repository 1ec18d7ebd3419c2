// The SM3 message-digest object over the byte-wise SM3 of m_sm3.cpp.

#include "sm/m_sm3.h"
#include "sm/sm2_binding.h"

namespace {

int Init(EVP_MD_CTX* ctx) { return SM3_Init(static_cast<SM3_STATE*>(EVP_MD_CTX_md_data(ctx))); }

int Update(EVP_MD_CTX* ctx, const void* data, size_t length) {
  return SM3_Update(static_cast<SM3_STATE*>(EVP_MD_CTX_md_data(ctx)), data, length);
}

int Final(EVP_MD_CTX* ctx, unsigned char* digest) {
  return SM3_Final(static_cast<SM3_STATE*>(EVP_MD_CTX_md_data(ctx)), digest);
}

constexpr int kSm3Type = 921;
constexpr int kContextSize = 576;
static_assert(sizeof(SM3_STATE) <= kContextSize);

}  // namespace

namespace sm {

const EVP_MD* EVP_sm3() {
  // Built once and never changed or freed; OpenSSL only reads it.
  static const EVP_MD* const md = []() -> const EVP_MD* {
    EVP_MD* method = EVP_MD_meth_new(kSm3Type, NID_undef);
    if (method == nullptr) return nullptr;
    if (EVP_MD_meth_set_result_size(method, 32) != 1 ||
        EVP_MD_meth_set_input_blocksize(method, 64) != 1 ||
        EVP_MD_meth_set_app_datasize(method, kContextSize) != 1 ||
        EVP_MD_meth_set_flags(method, 0) != 1 || EVP_MD_meth_set_init(method, Init) != 1 ||
        EVP_MD_meth_set_update(method, Update) != 1 ||
        EVP_MD_meth_set_final(method, Final) != 1) {
      EVP_MD_meth_free(method);
      return nullptr;
    }
    return method;
  }();
  return md;
}

}  // namespace sm
