// The dispatcher (HVSMLib::invoke) with every "pcode" that needs no loaded
// component: 0 (its checks up to the signature file), 1 and 2 (nothing
// loaded), 3, 4, 5, 7, 8 and 9.
//
// Input: a mode byte (bit 0: the log switch is on during the command), then
// the command text.
//
// The commands that reach the file system stay inside the sandbox of this
// build's install root:
//   - "name" of pcode 0 and 9 must be a bare name (no "/" or "\"), so it
//     names a file in the sandbox's component directory;
//   - "componentpath" of pcode 3 is put below the sandbox's component
//     directory, and a text holding ".." is refused;
// such inputs are refused (not kept in the corpus) or rewritten before the
// dispatcher sees them.  The sandbox holds no library whose signature file
// verifies, so getProvider never opens anything.

#include <cstdint>
#include <string>

#include "dispatch/component_catalogue.h"
#include "dispatch/hvsmlib.h"
#include "fuzz/sandbox.h"
#include "json/json_text.h"
#include "logfile/logfile.h"

namespace {

using fuzz_sandbox::Fail;

// The component directory of the sandbox: a few files that look like
// components, none of them loadable.
void LayOutComponents() {
  const std::string dir = "/Library/Application Support/Vasquill/component/";
  fuzz_sandbox::RemoveRooted(dir);
  fuzz_sandbox::WriteRootedFile(dir + "tarven_ukey.dylib", "not a library, signed with nonsense");
  fuzz_sandbox::WriteRootedFile(dir + "tarven_ukey.dylib.sig", std::string(64, 'S'));
  fuzz_sandbox::WriteRootedFile(dir + "typeone.dylib", "another file");
  fuzz_sandbox::WriteRootedFile(dir + "typeone.dylib.sig", "MEUCIQDx");
  fuzz_sandbox::WriteRootedFile(dir + "unsigned.dylib", "no signature file");
  fuzz_sandbox::WriteRootedFile(dir + "old/nested.dylib", "below a folder");
  fuzz_sandbox::WriteRootedFile(dir + "readme.txt", "not a component");
}

bool HasPath(const std::string& text) { return text.find_first_of("/\\") != std::string::npos; }

// The command as the dispatcher may see it here: unchanged, rewritten into
// the sandbox, or refused (false).
bool KeepInSandbox(std::string& command) {
  Json::Value root;
  if (!ParseStrictJson(command, root) || !root.isObject()) return true;
  const Json::Value& pcode = root["pcode"];
  if (!IsInt32(pcode)) return true;
  const int code = pcode.asInt();
  if (code == 0 || code == 9) {
    const Json::Value& name = root["name"];
    return !(name.isString() && HasPath(name.asString()));
  }
  if (code == 3) {
    const Json::Value& path = root["componentpath"];
    if (!path.isString()) return true;
    const std::string text = path.asString();
    if (text.find("..") != std::string::npos) return false;
    root["componentpath"] = ComponentDirectory() + text;
    command = WriteCompactJson(root);
  }
  return true;
}

void CheckReply(int result, const std::string& command, const std::string& reply) {
  Json::Value root;
  if (reply.empty() || reply.back() != '\n') Fail("a reply without its line feed: " + reply);
  if (!ParseStrictJson(reply, root) || !root.isObject() || !IsInt32(root["ecode"])) {
    Fail("a reply without an integer ecode: " + reply);
  }
  Json::Value request;
  if (ParseStrictJson(command, request) && request.isObject() && IsInt32(request["pcode"])) {
    const int pcode = request["pcode"].asInt();
    if ((pcode == 0 || pcode == 1 || pcode == 2) && result == 0) Fail("a component call succeeded: " + reply);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_sandbox::RequirePrivateRoot();
  fuzz_sandbox::SilenceStandardOutput();
  LayOutComponents();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 64 * 1024) return -1;
  std::string command = fuzz_sandbox::Text(data + 1, size - 1);
  if (!KeepInSandbox(command)) return -1;
  setlogSwitch((data[0] & 1) != 0);
  HVSMLib dispatcher;
  std::string reply;
  const int result = dispatcher.invoke(command, reply);
  setlogSwitch(false);
  CheckReply(result, command, reply);
  return 0;
}
