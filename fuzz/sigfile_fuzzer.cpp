// Library signature files: VerifyFileBySigFile on a fixed library in the
// sandbox whose ".sig" file holds the input, with the service's built-in
// keys (type 0 with the hexadecimal key, type 1 with the certificate).
//
// Input: a mode byte, then the data.
//   bit 0: the signature type (0 or 1);
//   bit 1: the data is written Base64-encoded (encode64), so that raw and DER
//          signatures reach the type-1 decoder as they are;
//   bit 2: the type passed is 2 or -1 instead, which never verifies.
// The seeds hold valid signatures of the library below in every form.

#include <cstdint>
#include <string>

#include "base64/base64.h"
#include "fuzz/sandbox.h"
#include "platform/install_root.h"
#include "sm/verify_file.h"

namespace {

constexpr char kLibrary[] = "/fuzz/sigfile/library.dylib";

// The bytes of the library; fuzz/make_seeds signs the same bytes.
constexpr char kLibraryBytes[] =
    "A stand-in for a component library: the signature files of the seeds sign these bytes.\n";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_sandbox::RequirePrivateRoot();
  fuzz_sandbox::WriteRootedFile(kLibrary, kLibraryBytes);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 16 * 1024) return -1;
  std::string signature = fuzz_sandbox::Text(data + 1, size - 1);
  if (data[0] & 2) signature = Base64::encode64(signature);
  fuzz_sandbox::WriteRootedFile(std::string(kLibrary) + ".sig", signature);
  int type = data[0] & 1;
  if (data[0] & 4) type = type ? -1 : 2;
  const bool verified = VerifyFileBySigFile(platform::RootedPath(kLibrary), type);
  if (verified && type != 0 && type != 1) fuzz_sandbox::Fail("a signature of another type verified");
  return 0;
}
