// The UKey adapter's Invoke up to driver admission: Base64 decoding, the
// JSON request, the merge of "parameters", the vendor lookup and the checks
// before a driver is loaded.  In the sandbox no vendor has a driver that can
// be admitted: "wq" and "test" have no file, "ft2G" has a file without a
// signature file, "tdr" a file whose signature file does not verify.  So
// every call must end before the dispatch, without a reply.
//
// Input: a mode byte, then the data.
//   mode 0: the data is the request text as the service forwards it;
//   mode 1: the data is the decoded request; it is Base64-encoded first.

#include <cstdint>
#include <set>
#include <string>

#include "adapter/request.h"
#include "base64/base64.h"
#include "fuzz/sandbox.h"
#include "platform/install_root.h"

// The exported entry point (adapter/testlib.cpp).
extern "C" int32_t Invoke(std::string request, std::string& reply);

namespace {

using fuzz_sandbox::Fail;

// Admission results and the refusals before it.
const std::set<int32_t> kExpected = {-907, -915, -913, -929, -930, -925, -924, -904};

void LayOutDrivers() {
  const std::string root(platform::InstallRoot());
  for (const char* vendor : {"wq", "tdr", "ft2G", "test"}) {
    const std::string path = ukey::VendorDriverPath(vendor);
    if (path.compare(0, root.size(), root) != 0) Fail("a vendor path outside the install root");
    fuzz_sandbox::RemoveRooted(path.substr(root.size()));
    fuzz_sandbox::RemoveRooted(path.substr(root.size()) + ".sig");
  }
  const std::string tdr = ukey::VendorDriverPath("tdr").substr(root.size());
  fuzz_sandbox::WriteRootedFile(tdr, "not a driver");
  fuzz_sandbox::WriteRootedFile(tdr + ".sig", "MEUCIQD0bm90IGEgc2lnbmF0dXJl");
  fuzz_sandbox::WriteRootedFile(ukey::VendorDriverPath("ft2G").substr(root.size()), "no signature file");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_sandbox::RequirePrivateRoot();
  fuzz_sandbox::SilenceStandardOutput();
  LayOutDrivers();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 64 * 1024) return -1;
  std::string request = fuzz_sandbox::Text(data + 1, size - 1);
  if (data[0] & 1) request = Base64::encode64(request);
  const std::string untouched = "reply as the caller left it";
  std::string reply = untouched;
  const int32_t code = Invoke(request, reply);
  if (kExpected.count(code) == 0) Fail("Invoke went past admission with code " + std::to_string(code));
  if (reply != untouched) Fail("Invoke wrote a reply before admission");
  return 0;
}
