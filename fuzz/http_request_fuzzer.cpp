// The request parser as the connection exchange drives it: Attach on the
// received bytes, then for a POST whose body came whole ParseRequestPost and
// the unwrapping of "str", and the parameter lookups; with the URL codec.
//
// Input: the bytes the exchange received (at most its 2 MiB buffer).

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/sandbox.h"
#include "service/http_request.h"
#include "service/httpurl.h"

namespace {

constexpr size_t kRequestBuffer = 2 * 1024 * 1024;

void CheckUrlCodec(const std::string& input) {
  CHttpUrl url;
  const std::string text = input.substr(0, std::strlen(input.c_str()));
  const std::string encoded = url.EncodeUrl(input);
  for (char c : encoded) {
    const bool plain = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                       c == '*' || c == '-' || c == '.' || c == '_' || c == '+' || c == '%';
    if (!plain) fuzz_sandbox::Fail("EncodeUrl wrote a byte outside its safe set");
  }
  if (url.DecodeUrl(encoded) != text) fuzz_sandbox::Fail("DecodeUrl(EncodeUrl(x)) != x");
  // Decoding never makes a text longer.
  if (url.DecodeUrl(input).size() > text.size()) fuzz_sandbox::Fail("DecodeUrl grew the text");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_sandbox::RequirePrivateRoot();
  fuzz_sandbox::SilenceStandardOutput();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kRequestBuffer) return -1;
  // The exchange's buffer is zero-terminated after the bytes received.
  std::unique_ptr<char[]> buffer(new char[size + 1]);
  if (size > 0) std::memcpy(buffer.get(), data, size);
  buffer[size] = '\0';

  CHttpRequest request;
  const int attached = request.Attach(buffer.get(), static_cast<int>(size));
  if (attached < 0 || attached > 5) fuzz_sandbox::Fail("Attach result out of range");
  request.QueryRequestPara("jsoncallback");
  request.QueryRequestPara("str");
  request.GetHeaderField("Host");
  const std::string method = request.GetRequestMethod();
  if (method == "POST") {
    const std::string body = request.GetPostContent();
    if (body.size() > size) fuzz_sandbox::Fail("POST content longer than the request");
    if (request.GetPostStatus() && !request.HasValidContentLength()) {
      fuzz_sandbox::Fail("POST body complete without a valid Content-Length");
    }
    if (request.GetPostStatus() && !body.empty()) {
      request.ParseRequestPost(body);
      request.QueryRequestPara("jsoncallback");
      request.QueryRequestPara("com");
      std::string str = request.QueryRequestPara("str");
      if (!str.empty()) {
        std::string envelope = CHttpUrl().DecodeUrl(str);
        request.DecryptStr(envelope);
      }
    }
  }
  request.Deattach();
  if (!request.GetRequestMethod().empty() || !request.QueryRequestPara("str").empty()) {
    fuzz_sandbox::Fail("Deattach left request state");
  }

  CheckUrlCodec(fuzz_sandbox::Text(data, size));
  return 0;
}
