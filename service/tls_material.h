#pragma once

#include <string>

// Where the listener finds its certificate and encrypted private key, and how
// it obtains that key's passphrase.

std::string ServerCertificatePath();
std::string ServerKeyPath();

// Key that decrypts the stored passphrase text (32 ASCII characters, AES-256).
inline constexpr char kPassphraseKey[] = "4E1B0D27F93C4a8eC5B1D08E3F62A7D1";

// The passphrase text built into this service (Base64 of 32 bytes).
const char* StoredPassphraseText();

// Base64-decodes the stored text, decrypts it with AES-256-ECB under
// kPassphraseKey and reads the result up to its first zero byte.
std::string DerivePassphrase(const std::string& storedText);

// The passphrase of the server key: DerivePassphrase(StoredPassphraseText()).
std::string ServerKeyPassphrase();
