// The envelope check (CHttpRequest::DecryptStr) and both Base64 codecs.
//
// Input: a mode byte, then the data.
//   mode 0: the data is an envelope text as a page sends it in "str";
//   mode 1: the data is a command; the first byte after the mode sets the
//           length of a rankey (17 to 48 letters and digits taken from the
//           data), and a sound envelope around the rest must give back
//           exactly the command, while the same envelope with another rankey
//           must fail;
//   mode 2: the data goes through Base64::encode64/decode64 and the crypto
//           library's block codec (OpensslHelper), which must agree.

#include <cstdint>
#include <string>

#include "base64/base64.h"
#include "fuzz/sandbox.h"
#include "json/json_text.h"
#include "service/authenticator.h"
#include "service/http_request.h"
#include "tools/client/envelope.h"

namespace {

using fuzz_sandbox::Fail;

void CheckEnvelopeText(std::string envelope) {
  CHttpRequest request;
  request.DecryptStr(envelope);
}

void CheckSoundEnvelope(const std::string& data) {
  if (data.empty()) return;
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  const size_t length = 17 + static_cast<unsigned char>(data[0]) % 32;
  std::string rankey;
  for (size_t i = 0; i < length; ++i) {
    const unsigned char byte = i + 1 < data.size() ? static_cast<unsigned char>(data[i + 1]) : static_cast<unsigned char>(i);
    rankey += kAlphabet[byte % 62];
  }
  const std::string command = data.substr(1);
  std::string envelope = vasquill_client::BuildEnvelope(command, rankey);
  CHttpRequest request;
  if (request.DecryptStr(envelope) != command) Fail("a sound envelope did not give back its command");

  // The check block of another rankey.
  Json::Value forged;
  if (!ParseStrictJson(envelope, forged)) Fail("BuildEnvelope wrote no JSON");
  std::string other = rankey;
  other[0] = other[0] == 'A' ? 'B' : 'A';
  forged["rankey"] = other;
  std::string text = WriteCompactJson(forged);
  if (!command.empty() && !request.DecryptStr(text).empty()) Fail("an envelope with another rankey passed");
}

void CheckBase64(const std::string& data) {
  const std::string own = Base64::encode64(data);
  if (Base64::decode64(own) != data) Fail("decode64(encode64(x)) != x");
  const std::string block = OpensslHelper::Base64Encode(data);
  if (own != block) Fail("encode64 and the block encoder differ");
  if (OpensslHelper::Base64Decode(block) != data) Fail("Base64Decode(Base64Encode(x)) != x");

  // Arbitrary text: where the block decoder accepts a canonical text, the
  // lenient decoder reads the same bytes.
  const std::string decoded = OpensslHelper::Base64Decode(data);
  const std::string lenient = Base64::decode64(data);
  if (!decoded.empty() && OpensslHelper::Base64Encode(decoded) == data && lenient != decoded) {
    Fail("decode64 and the block decoder differ on a canonical text");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_sandbox::RequirePrivateRoot();
  fuzz_sandbox::SilenceStandardOutput();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 256 * 1024) return -1;
  const std::string rest = fuzz_sandbox::Text(data + 1, size - 1);
  switch (data[0] % 3) {
    case 0: CheckEnvelopeText(rest); break;
    case 1: CheckSoundEnvelope(rest); break;
    default: CheckBase64(rest); break;
  }
  return 0;
}
