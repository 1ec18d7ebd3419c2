// Faults found by fuzzing and by review while hardening the service, each
// kept as a case of its own so that it stays fixed.

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "dispatch/hvsmlib.h"
#include "json/json_text.h"
#include "tests/support/scratch_folder.h"

namespace {

using testing_support::ScratchFolder;

Json::Value Invoke(const Json::Value& command) {
  HVSMLib dispatcher;
  std::string reply;
  dispatcher.invoke(WriteCompactJson(command), reply);
  Json::Value root;
  EXPECT_TRUE(ParseStrictJson(reply, root)) << reply;
  return root;
}

// A component name with a zero byte: the system calls see only the text in
// front of it, so the ".dylib" appended to the name (and the ".sig" of the
// signature file) never reached them, and any file, not only a library,
// could be fingerprinted or checked as one.
TEST(Hardening, ComponentNameWithAZeroByteNamesNoFile) {
  ScratchFolder folder("hardening");
  const std::string file = folder.Add("notes", "not a library");
  const std::string name = file + std::string(1, '\0');
  for (int pcode : {0, 9}) {
    Json::Value command(Json::objectValue);
    command["pcode"] = pcode;
    command["name"] = name;
    const Json::Value reply = Invoke(command);
    EXPECT_EQ(reply["ecode"].asInt(), -901) << "pcode " << pcode;
    if (pcode == 9) {
      EXPECT_EQ(reply["md5"].asString(), "");
    }
  }
  // The same file is still unreachable without the zero byte.
  Json::Value command(Json::objectValue);
  command["pcode"] = 9;
  command["name"] = file;
  EXPECT_EQ(Invoke(command)["ecode"].asInt(), -901);
}

}  // namespace
