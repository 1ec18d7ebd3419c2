#pragma once

#include <string>

// The request envelope {"rankey","datab","datac"}: rankey decrypted with the
// shared request key yields a second key, and datab decrypted with that key
// must begin with rankey.  datac carries the command text in Base64.

// The key shared with the web pages (32 ASCII characters, AES-256).
inline constexpr char kRequestKey[] = "B20F6E13A48D4c7bE94C2A60D17F3E85";

// Largest check block the envelope check decrypts.
inline constexpr size_t kCheckBufferSize = 4096;

class CHttpRequestAuthenticaor {
 public:
  void InitAuthenticaor(const std::string& rankey, const std::string& datab, const std::string& datac);

  // 0: check passed and out holds the command text; 1: rankey empty; 2: check
  // failed.  out is emptied first in every case.
  int Decrypt(std::string& out);

  void ResetAuthenticaor();

  // AES in ECB mode, data zero-extended to whole blocks, no padding removed.
  static std::string aes_decrypt(const std::string& data, const char* key, int bits);

 private:
  std::string m_strRankey;
  std::string m_strDatab;
  std::string m_strDatac;
  std::string m_strKey;
};

class OpensslHelper {
 public:
  // Decrypts whole 16-byte blocks with AES-ECB under `bits` bits of key; the
  // data length must be a multiple of 16.
  static std::string AesDecrypt(const std::string& data, const char* key, int bits);
  // Block Base64 of the crypto library: empty on any malformed text.
  static std::string Base64Decode(const std::string& text);
  static std::string Base64Encode(const std::string& bytes);
};

// AES-256 with PKCS#7 padding through the cipher interface; each returns the
// number of bytes written to out (update and final together), -1 when the
// cipher could not be set up.
int decryptAesECB(unsigned char* data, int length, unsigned char* key, unsigned char* iv, unsigned char* out);
int decrypt(unsigned char* data, int length, unsigned char* key, unsigned char* iv, unsigned char* out);
int encrypt(unsigned char* data, int length, unsigned char* key, unsigned char* iv, unsigned char* out);
