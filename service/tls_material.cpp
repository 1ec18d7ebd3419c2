#include "service/tls_material.h"

#include <cstring>

#include "base64/base64.h"
#include "platform/install_root.h"
#include "service/authenticator.h"

std::string ServerCertificatePath() {
  return platform::RootedPath("/Library/Application Support/Vasquill/server.crt");
}

std::string ServerKeyPath() { return platform::RootedPath("/Library/Application Support/Vasquill/server.key"); }

const char* StoredPassphraseText() { return VASQUILL_PASSPHRASE_TEXT; }

std::string DerivePassphrase(const std::string& storedText) {
  std::string plain = CHttpRequestAuthenticaor::aes_decrypt(Base64::decode64(storedText), kPassphraseKey, 256);
  return std::string(plain.c_str());
}

std::string ServerKeyPassphrase() { return DerivePassphrase(StoredPassphraseText()); }
