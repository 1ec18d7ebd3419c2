#include "service/tls_material.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "platform/install_root.h"

namespace {

// The stored text for a passphrase: the 32 bytes (passphrase, zero-filled)
// encrypted with AES-256-ECB under the passphrase key, in Base64.
std::string StoredTextFor(std::string plain) {
  plain.resize(32, '\0');
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  unsigned char cipher[64];
  int written = 0, last = 0;
  if (EVP_EncryptInit_ex(context.get(), EVP_aes_256_ecb(), nullptr,
                         reinterpret_cast<const unsigned char*>(kPassphraseKey), nullptr) != 1 ||
      EVP_CIPHER_CTX_set_padding(context.get(), 0) != 1 ||
      EVP_EncryptUpdate(context.get(), cipher, &written, reinterpret_cast<const unsigned char*>(plain.data()), 32) != 1 ||
      EVP_EncryptFinal_ex(context.get(), cipher + written, &last) != 1) {
    throw std::runtime_error("AES-256-ECB failed");
  }
  unsigned char text[64] = {};
  int length = EVP_EncodeBlock(text, cipher, written + last);
  return std::string(reinterpret_cast<char*>(text), static_cast<size_t>(length));
}

TEST(DerivePassphrase, ReadsTheDecryptedBytesUpToTheFirstZero) {
  const std::string passphrases[] = {"582047", "correct horse battery staple", std::string(31, 'p'),
                                     std::string(32, 'P'), "中文口令"};
  for (const std::string& passphrase : passphrases) {
    const std::string stored = StoredTextFor(passphrase);
    ASSERT_EQ(stored.size(), 44u);
    EXPECT_EQ(DerivePassphrase(stored), passphrase);
  }
  std::string withZero = "before";
  withZero += '\0';
  withZero += "after";
  EXPECT_EQ(DerivePassphrase(StoredTextFor(withZero)), "before");
  EXPECT_EQ(DerivePassphrase(StoredTextFor("")), "");
}

TEST(DerivePassphrase, BuiltInTextIsFortyFourCharactersOfBase64) {
  const std::string stored = StoredPassphraseText();
  EXPECT_EQ(stored.size(), 44u);
  EXPECT_EQ(stored.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
            std::string::npos);
  EXPECT_EQ(ServerKeyPassphrase(), DerivePassphrase(stored));
  EXPECT_FALSE(ServerKeyPassphrase().empty());
}

TEST(TlsMaterial, FilesLieUnderTheInstallRoot) {
  const std::string root(platform::InstallRoot());
  EXPECT_EQ(ServerCertificatePath(), root + "/Library/Application Support/Vasquill/server.crt");
  EXPECT_EQ(ServerKeyPath(), root + "/Library/Application Support/Vasquill/server.key");
}

}  // namespace
