// make_seeds SIGN_TOOL KEYS_DIR OUT_DIR: writes the seed corpus of every fuzz
// target (OUT_DIR/<target>/<name>): real requests, envelopes, commands,
// adapter calls and signature files as pages and the signing tool make them.
// The committed fuzz/corpus was made with it (scripts/fuzz --seeds).

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include <unistd.h>

#include "base64/base64.h"
#include "tools/client/envelope.h"
#include "tools/client/https_client.h"

namespace fs = std::filesystem;

namespace {

fs::path out;

void Seed(const std::string& target, const std::string& name, const std::string& bytes) {
  fs::create_directories(out / target);
  std::ofstream(out / target / name, std::ios::binary | std::ios::trunc) << bytes;
}

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Fixed rankeys keep the seeds the same from one run to the next.
std::string Envelope(const std::string& command) {
  return vasquill_client::BuildEnvelope(command, "k7Rq2ZpX9vLmT4sWb8NcYe3H");
}

std::string AdapterCall(const std::string& function, const std::string& parameters) {
  return "{\"functionid\":\"" + function + "\",\"parameters\":" + parameters + "}";
}

void HttpRequests() {
  const std::string t = "http_request_fuzzer";
  Seed(t, "get_version", vasquill_client::GetRequest("cb", Envelope("{\"pcode\":4}")));
  Seed(t, "post_error_message", vasquill_client::PostRequest("cb", Envelope("{\"errcode\":-901,\"pcode\":5}")));
  Seed(t, "post_without_com", vasquill_client::PostRequest("cb", Envelope("{\"pcode\":4}"), ""));
  Seed(t, "preflight", "OPTIONS /any HTTP/1.1\r\nOrigin: https://bank.example\r\n"
                       "Access-Control-Request-Method: GET\r\nConnection: keep-alive\r\n\r\n");
  Seed(t, "get_splice_query", "GET /?jsoncallback=f&str=splice&a=1&a=2&&b=3 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  Seed(t, "get_percent", "GET /x?jsoncallback=c%2Bb&str=%7B%22rankey%22%3A%22%22%7D%41%4 HTTP/1.1\r\n\r\n");
  Seed(t, "post_urlencoded", "POST / HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                             "Content-Length: 27\r\n\r\njsoncallback=cb&str=x&com=1");
  Seed(t, "post_short_body", "POST / HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=XyZ\r\n"
                             "Content-Length: 100\r\n\r\n--XyZ\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1");
  Seed(t, "put", "PUT / HTTP/1.1\r\nX-Content-Length: 7\r\n\r\n");
}

void Envelopes() {
  const std::string t = "envelope_fuzzer";
  Seed(t, "sound_version", std::string("\0", 1) + Envelope("{\"pcode\":4}"));
  Seed(t, "sound_component", std::string("\0", 1) + Envelope("{\"name\":\"tarven_ukey\",\"pcode\":0}"));
  Seed(t, "short_rankey", std::string("\0", 1) + vasquill_client::BuildEnvelope("{\"pcode\":4}", "sixteen-bytes-16"));
  Seed(t, "members_not_strings", std::string("\0", 1) + "{\"rankey\":1,\"datab\":[],\"datac\":{}}");
  Seed(t, "array", std::string("\0", 1) + "[\"a\",\"b\"]");
  Seed(t, "build_version", "\x01\x07{\"pcode\":4}");
  Seed(t, "build_binary", std::string("\x01\x20\x00\xff\x80{\"a\":1}", 12));
  Seed(t, "base64_text", "\x02" + Base64::encode64("{\"functionid\":\"Sign\"}"));
  Seed(t, "base64_padding", "\x02QUJD=RA==x");
}

void Commands() {
  const std::string t = "dispatch_fuzzer";
  const std::string call = Base64::encode64(AdapterCall("Sign", "[{\"vendor\":\"wq\"},{\"szSN\":\"A\"}]"));
  const struct {
    const char* name;
    char mode;
    std::string command;
  } seeds[] = {
      {"version", 0, "{\"pcode\":4}"},
      {"splice", 0, "splice"},
      {"error_message", 0, "{\"errcode\":-901,\"pcode\":5}"},
      {"switch_log", 0, "{\"Log\":true,\"pcode\":7}"},
      {"log_status", 1, "{\"pcode\":8}"},
      {"load", 0, "{\"name\":\"tarven_ukey\",\"pcode\":0,\"type\":1}"},
      {"load_unsigned", 0, "{\"name\":\"unsigned.dylib\",\"pcode\":0}"},
      {"invoke_logged", 1, "{\"params\":\"" + call + "\",\"pcode\":1}"},
      {"invoke", 0, "{\"params\":\"" + call + "\",\"pcode\":1}"},
      {"remove", 0, "{\"pcode\":2}"},
      {"list", 0, "{\"pcode\":3}"},
      {"list_below", 0, "{\"componentpath\":\"old\",\"pcode\":3}"},
      {"md5", 0, "{\"name\":\"tarven_ukey\",\"pcode\":9}"},
      {"array", 0, "[1,2]"},
      {"pcode_text", 0, "{\"pcode\":\"4\"}"},
  };
  for (const auto& seed : seeds) Seed(t, seed.name, std::string(1, seed.mode) + seed.command);
}

void AdapterCalls() {
  const std::string t = "adapter_fuzzer";
  Seed(t, "sign_wq", "\x01" + AdapterCall("Sign", "[{\"vendor\":\"wq\",\"szSN\":\"A\",\"szData\":\"abc\"}]"));
  Seed(t, "label_tdr", "\x01" + AdapterCall("GetLabel", "[{\"vendor\":\"tdr\"},{\"szSN\":\"A\"}]"));
  Seed(t, "cert_ft2g", "\x01" + AdapterCall("GetCert", "[{\"vendor\":\"ft2G\",\"szSN\":\"A\"}]"));
  Seed(t, "init_test", "\x01" + AdapterCall("Initialize", "[{\"vendor\":\"test\"}]"));
  Seed(t, "unknown_vendor", "\x01" + AdapterCall("Sign", "[{\"vendor\":\"WQ\"}]"));
  Seed(t, "empty_merge", "\x01" + AdapterCall("Sign", "[{},{\"vendor\":\"wq\"}]"));
  Seed(t, "no_parameters", "\x01{\"functionid\":\"\",\"parameters\":[]}");
  Seed(t, "as_sent", std::string(1, '\0') + Base64::encode64(AdapterCall("GetLabel", "[{\"vendor\":\"wq\",\"szSN\":\"1\"}]")));
}

// Signatures of the library the signature-file target checks, made with the
// development signer whose public keys builds embed.
void SignatureFiles(const std::string& signTool, const fs::path& keys) {
  const std::string library =
      "A stand-in for a component library: the signature files of the seeds sign these bytes.\n";
  const fs::path work = fs::temp_directory_path() / ("make_seeds." + std::to_string(getpid()));
  fs::create_directories(work);
  const fs::path file = work / "library.dylib";
  std::ofstream(file, std::ios::binary) << library;
  auto sign = [&](const std::string& arguments, const std::string& name) {
    const fs::path sig = work / name;
    const std::string command =
        "'" + signTool + "' sign " + arguments + " --out '" + sig.string() + "' '" + file.string() + "'";
    if (std::system(command.c_str()) != 0) {
      std::cerr << "signing failed: " << command << "\n";
      std::exit(1);
    }
    return Read(sig);
  };
  const std::string type0 = sign("--type 0 --key '" + (keys / "hexkey.pem").string() + "'", "type0");
  const std::string type1 = sign("--type 1 --key '" + (keys / "cert.pem").string() + "'", "type1");
  const std::string type1raw = sign("--type 1 --raw --key '" + (keys / "cert.pem").string() + "'", "type1raw");
  fs::remove_all(work);

  const std::string t = "sigfile_fuzzer";
  Seed(t, "type0_raw", std::string(1, '\0') + type0);
  Seed(t, "type0_raw_extra", std::string(1, '\0') + type0 + "bytes after the signature");
  Seed(t, "type1_der_base64", "\x01" + type1);
  Seed(t, "type1_raw_base64", "\x01" + type1raw);
  Seed(t, "type1_der", "\x03" + Base64::decode64(type1));
  Seed(t, "type1_raw", "\x03" + Base64::decode64(type1raw));
  Seed(t, "type1_as_type0", std::string(1, '\0') + type1);
  Seed(t, "type2", "\x04" + type0);

  const std::string u = "sm2_sig_fuzzer";
  Seed(u, "signature", Base64::decode64(type1));
  Seed(u, "small_numbers", std::string("\x30\x06\x02\x01\x01\x02\x01\x01", 8));
  Seed(u, "negative", std::string("\x30\x06\x02\x01\xff\x02\x01\x01", 8));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: make_seeds SIGN_TOOL KEYS_DIR OUT_DIR\n";
    return 2;
  }
  out = argv[3];
  HttpRequests();
  Envelopes();
  Commands();
  AdapterCalls();
  SignatureFiles(argv[1], argv[2]);
  return 0;
}
