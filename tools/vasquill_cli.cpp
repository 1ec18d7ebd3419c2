// vasquill-cli: sends one command to the local service the way a web page
// does (envelope, JSONP GET or multipart POST) and prints the reply.

#include <json/json.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "tools/client/envelope.h"
#include "tools/client/https_client.h"

namespace {

void PrintUsage() {
  std::fprintf(stderr,
               "usage: vasquill-cli [options] COMMAND_JSON\n"
               "       vasquill-cli [options] pcode N [NAME=VALUE ...]\n"
               "\n"
               "Sends one command to the service on the first answering port of 5110-5114\n"
               "and prints the reply.  VALUE is taken as JSON when it parses, else as text.\n"
               "\n"
               "options:\n"
               "  --post          send a multipart POST instead of a JSONP GET\n"
               "  --port N        use this port instead of searching\n"
               "  --callback NAME JSONP callback name (default cb)\n"
               "  --raw           print the whole HTTP response\n"
               "  --insecure      do not check the service's certificate\n"
               "  --cafile FILE   certificate the service must present (default: the installed one)\n");
}

// {"pcode":N, NAME:VALUE...} from the command line.
bool BuildCommand(const std::vector<std::string>& words, std::string& command) {
  if (words.empty()) return false;
  if (words[0] != "pcode") {
    if (words.size() != 1) return false;
    command = words[0];
    return true;
  }
  if (words.size() < 2) return false;
  Json::Value object(Json::objectValue);
  object["pcode"] = std::atoi(words[1].c_str());
  Json::CharReaderBuilder readerBuilder;
  std::unique_ptr<Json::CharReader> reader(readerBuilder.newCharReader());
  for (size_t i = 2; i < words.size(); ++i) {
    size_t equals = words[i].find('=');
    if (equals == std::string::npos || equals == 0) return false;
    std::string text = words[i].substr(equals + 1);
    Json::Value value;
    if (!reader->parse(text.data(), text.data() + text.size(), &value, nullptr)) value = text;
    object[words[i].substr(0, equals)] = value;
  }
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  writer["emitUTF8"] = true;
  command = Json::writeString(writer, object);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  vasquill_client::ClientOptions options;
  bool post = false;
  bool raw = false;
  int port = 0;
  std::string callback = "cb";
  std::vector<std::string> words;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) {
        PrintUsage();
        std::exit(2);
      }
      return argv[++i];
    };
    if (argument == "--post") post = true;
    else if (argument == "--raw") raw = true;
    else if (argument == "--insecure") options.verify = false;
    else if (argument == "--port") port = std::atoi(next().c_str());
    else if (argument == "--callback") callback = next();
    else if (argument == "--cafile") options.caFile = next();
    else if (argument == "--help" || argument == "-h") {
      PrintUsage();
      return 0;
    } else words.push_back(argument);
  }
  std::string command;
  if (!BuildCommand(words, command)) {
    PrintUsage();
    return 2;
  }

  if (port == 0) port = vasquill_client::FindServicePort(options);
  if (port == 0) {
    std::fprintf(stderr, "vasquill-cli: no service answers on ports 5110-5114\n");
    return 1;
  }
  std::string envelope = vasquill_client::BuildEnvelope(command);
  std::string request = post ? vasquill_client::PostRequest(callback, envelope)
                             : vasquill_client::GetRequest(callback, envelope);
  std::string response;
  std::string error;
  auto connection = vasquill_client::TlsConnection::Open(port, options, &error);
  if (!connection) {
    std::fprintf(stderr, "vasquill-cli: %s\n", error.c_str());
    return 1;
  }
  connection->Send(request);
  response = connection->ReadToEnd();
  if (raw) {
    std::cout << response;
    return 0;
  }
  std::string reply;
  if (!vasquill_client::ParseJsonp(response, callback, reply)) {
    std::fprintf(stderr, "vasquill-cli: unexpected response from port %d:\n%s\n", port, response.c_str());
    return 1;
  }
  std::cout << reply;
  if (reply.empty() || reply.back() != '\n') std::cout << '\n';
  return 0;
}
