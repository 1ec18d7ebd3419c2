#include "tools/client/envelope.h"

#include <json/json.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <memory>
#include <stdexcept>

#include "service/httpurl.h"

namespace vasquill_client {
namespace {

constexpr char kRequestKey[] = "B20F6E13A48D4c7bE94C2A60D17F3E85";

std::string Base64(const std::string& bytes) {
  std::string text((bytes.size() + 2) / 3 * 4 + 1, '\0');
  int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                               reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  text.resize(static_cast<size_t>(length));
  return text;
}

// AES-256-ECB under a 32-byte key, with or without PKCS#7 padding.
std::string AesEcb(const std::string& data, const std::string& key, bool encrypting, bool padding) {
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  std::string out(data.size() + 32, '\0');
  int written = 0, last = 0;
  if (!context || key.size() < 32 ||
      EVP_CipherInit_ex(context.get(), EVP_aes_256_ecb(), nullptr,
                        reinterpret_cast<const unsigned char*>(key.data()), nullptr, encrypting ? 1 : 0) != 1 ||
      EVP_CIPHER_CTX_set_padding(context.get(), padding ? 1 : 0) != 1 ||
      EVP_CipherUpdate(context.get(), reinterpret_cast<unsigned char*>(out.data()), &written,
                       reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size())) != 1 ||
      EVP_CipherFinal_ex(context.get(), reinterpret_cast<unsigned char*>(out.data()) + written, &last) != 1) {
    throw std::runtime_error("AES-256-ECB failed");
  }
  out.resize(static_cast<size_t>(written + last));
  return out;
}

std::string RandomRankey() {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char random[24];
  if (RAND_bytes(random, sizeof random) != 1) throw std::runtime_error("no random bytes");
  std::string rankey;
  for (unsigned char byte : random) rankey += kAlphabet[byte % 62];
  return rankey;
}

}  // namespace

std::string BuildEnvelope(const std::string& command) { return BuildEnvelope(command, RandomRankey()); }

std::string BuildEnvelope(const std::string& command, const std::string& rankey) {
  std::string blocks = rankey;
  blocks.resize((rankey.size() + 15) / 16 * 16, '\0');
  std::string decrypted = blocks.empty() ? std::string() : AesEcb(blocks, kRequestKey, false, false);
  if (decrypted.size() > 32) decrypted.resize(32);
  std::string secondKey = Base64(decrypted).substr(0, 32);
  secondKey.resize(32, '\0');

  Json::Value envelope(Json::objectValue);
  envelope["rankey"] = rankey;
  envelope["datab"] = Base64(AesEcb(rankey, secondKey, true, true));
  envelope["datac"] = Base64(command);
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  return Json::writeString(builder, envelope);
}

std::string EncodeQueryValue(const std::string& text) { return CHttpUrl().EncodeUrl(text); }

}  // namespace vasquill_client
