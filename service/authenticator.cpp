#include "service/authenticator.h"

#include <openssl/evp.h>

#include <climits>
#include <cstring>
#include <memory>

namespace {

struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

const EVP_CIPHER* EcbCipher(int bits) {
  switch (bits) {
    case 128: return EVP_aes_128_ecb();
    case 192: return EVP_aes_192_ecb();
    case 256: return EVP_aes_256_ecb();
    default: return nullptr;
  }
}

// One pass of the cipher interface with its default padding; returns the
// bytes written by the update and the final step together.
int RunCipher(const EVP_CIPHER* cipher, bool encrypting, const unsigned char* data, int length,
              const unsigned char* key, const unsigned char* iv, unsigned char* out) {
  CipherContext context(EVP_CIPHER_CTX_new());
  if (!context || length < 0 ||
      EVP_CipherInit_ex(context.get(), cipher, nullptr, key, iv, encrypting ? 1 : 0) != 1) {
    return -1;
  }
  int written = 0;
  if (EVP_CipherUpdate(context.get(), out, &written, data, length) != 1) return 0;
  int last = 0;
  // A bad final block (short input, wrong padding) writes nothing more.
  if (EVP_CipherFinal_ex(context.get(), out + written, &last) == 1) written += last;
  return written;
}

}  // namespace

void CHttpRequestAuthenticaor::InitAuthenticaor(const std::string& rankey, const std::string& datab,
                                                const std::string& datac) {
  m_strRankey = rankey;
  m_strDatab = OpensslHelper::Base64Decode(datab);
  m_strDatac = OpensslHelper::Base64Decode(datac);
  std::string secondKey = aes_decrypt(rankey, kRequestKey, 256);
  if (secondKey.size() > 32) secondKey.resize(32);
  m_strKey = OpensslHelper::Base64Encode(secondKey);
}

int CHttpRequestAuthenticaor::Decrypt(std::string& out) {
  out.clear();
  if (m_strRankey.empty()) return 1;
  // A rankey of 16 bytes or fewer gives a second key shorter than the 32
  // bytes AES-256 needs; a check block or rankey beyond the check buffer
  // cannot be checked in it.
  if (m_strRankey.size() <= 16 || m_strKey.size() < 32 || m_strDatab.size() > kCheckBufferSize ||
      m_strRankey.size() > kCheckBufferSize) {
    return 2;
  }
  unsigned char check[kCheckBufferSize] = {};
  int written = decryptAesECB(reinterpret_cast<unsigned char*>(m_strDatab.data()), static_cast<int>(m_strDatab.size()),
                              reinterpret_cast<unsigned char*>(m_strKey.data()), nullptr, check);
  // Only decrypted bytes count: the zeros of an unused buffer prove nothing.
  if (written < static_cast<int>(m_strRankey.size()) ||
      std::memcmp(check, m_strRankey.data(), m_strRankey.size()) != 0) {
    return 2;
  }
  out = m_strDatac;
  return 0;
}

void CHttpRequestAuthenticaor::ResetAuthenticaor() {
  m_strRankey.clear();
  m_strDatab.clear();
  m_strDatac.clear();
}

std::string CHttpRequestAuthenticaor::aes_decrypt(const std::string& data, const char* key, int bits) {
  std::string blocks = data;
  blocks.resize((data.size() + 15) / 16 * 16, '\0');
  return OpensslHelper::AesDecrypt(blocks, key, bits);
}

std::string OpensslHelper::AesDecrypt(const std::string& data, const char* key, int bits) {
  const EVP_CIPHER* cipher = EcbCipher(bits);
  if (data.empty() || cipher == nullptr || data.size() % 16 != 0 || data.size() > INT_MAX) return std::string();
  CipherContext context(EVP_CIPHER_CTX_new());
  if (!context ||
      EVP_DecryptInit_ex(context.get(), cipher, nullptr, reinterpret_cast<const unsigned char*>(key), nullptr) != 1) {
    return std::string();
  }
  EVP_CIPHER_CTX_set_padding(context.get(), 0);
  std::string plain(data.size(), '\0');
  int written = 0;
  if (EVP_DecryptUpdate(context.get(), reinterpret_cast<unsigned char*>(plain.data()), &written,
                        reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size())) != 1) {
    return std::string();
  }
  plain.resize(static_cast<size_t>(written));
  return plain;
}

std::string OpensslHelper::Base64Decode(const std::string& text) {
  if (text.empty() || text.size() > INT_MAX / 2) return std::string();
  std::string bytes(text.size() / 4 * 3 + 3, '\0');
  int decoded = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  if (decoded < 0) return std::string();
  size_t padding = 0;
  for (size_t i = text.size(); i > 0 && text[i - 1] == '=' && padding < 2; --i) ++padding;
  bytes.resize(static_cast<size_t>(decoded) - std::min(static_cast<size_t>(decoded), padding));
  return bytes;
}

std::string OpensslHelper::Base64Encode(const std::string& bytes) {
  if (bytes.empty() || bytes.size() > INT_MAX / 2) return std::string();
  std::string text((bytes.size() + 2) / 3 * 4 + 1, '\0');
  int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  text.resize(written < 0 ? 0 : static_cast<size_t>(written));
  return text;
}

int decryptAesECB(unsigned char* data, int length, unsigned char* key, unsigned char*, unsigned char* out) {
  return RunCipher(EVP_aes_256_ecb(), false, data, length, key, nullptr, out);
}

int decrypt(unsigned char* data, int length, unsigned char* key, unsigned char* iv, unsigned char* out) {
  return RunCipher(EVP_aes_256_cbc(), false, data, length, key, iv, out);
}

int encrypt(unsigned char* data, int length, unsigned char* key, unsigned char* iv, unsigned char* out) {
  return RunCipher(EVP_aes_256_cbc(), true, data, length, key, iv, out);
}
