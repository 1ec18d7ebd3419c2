#pragma once

#include <string>

#include "sm/sigfile.h"

// The signature check of a deliverable with the keys built into it
// (vasquill_sigfile in sm/CMakeLists.txt): the service checks type 0 with
// its hexadecimal public key, the adapter with the certificate; both check
// type 1 with the certificate.
bool VerifyFileBySigFile(std::string path, int type);

// The keys built into this deliverable.
const SigFileKeys& BuiltinSigFileKeys();
