// VerifyFileBySigFile with the keys of one deliverable; compiled once per
// deliverable with its own generated key header.

#include "sm/verify_file.h"

#include "sigfile_keys.inc"

namespace {

const SigFileKeys kBuiltinKeys{
    std::string_view(reinterpret_cast<const char*>(kSigFileType0Key), sizeof kSigFileType0Key),
    std::string_view(reinterpret_cast<const char*>(kSigFileCertificate),
                     sizeof kSigFileCertificate)};

}  // namespace

bool VerifyFileBySigFile(std::string path, int type) {
  return VerifyFileBySigFileWith(path, type, kBuiltinKeys);
}

const SigFileKeys& BuiltinSigFileKeys() { return kBuiltinKeys; }
