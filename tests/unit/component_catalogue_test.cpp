#include "dispatch/component_catalogue.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "dispatch/hvsmlib.h"
#include "json/json_text.h"
#include "tests/support/scratch_folder.h"

namespace {

namespace fs = std::filesystem;

const std::string kEmptyMd5 = "d41d8cd98f00b204e9800998ecf8427e";

using testing_support::ScratchFolder;

Json::Value Parse(const std::string& reply) {
  Json::Value root;
  EXPECT_TRUE(ParseStrictJson(reply, root)) << reply;
  return root;
}

std::string Invoke(const std::string& command) {
  HVSMLib dispatcher;
  std::string reply;
  dispatcher.invoke(command, reply);
  return reply;
}

std::string ListCommand(const std::string& folder) {
  Json::Value command;
  command["pcode"] = 3;
  command["componentpath"] = folder;
  return WriteCompactJson(command);
}

std::set<std::string> ListedNames(const Json::Value& reply) {
  std::set<std::string> names;
  std::stringstream list(reply["list"].asString());
  for (std::string name; std::getline(list, name, ',');) names.insert(name);
  return names;
}

TEST(GetDllPath, MapsNamesToLibraryPaths) {
  const std::string d = ComponentDirectory();
  const struct {
    std::string name, path;
  } cases[] = {
      {"tarven_ukey", d + "tarven_ukey.dylib"},
      {"tarven_ukey.dylib", d + "tarven_ukey.dylib"},
      {"/opt/x/lib", "/opt/x/lib.dylib"},
      {"/opt/x/lib.dylib", "/opt/x/lib.dylib"},
      {"relative/lib", "relative/lib.dylib"},
      {"dir\\lib.dylib", "dir\\lib.dylib"},
      {"abc", d + "abc.dylib"},
      {"dylib", d + "dylib.dylib"},
      {".dylib", d + ".dylib"},
      {"x.DYLIB", d + "x.DYLIB.dylib"},
  };
  for (const auto& test : cases) EXPECT_EQ(getdllpath(test.name), test.path) << test.name;
  EXPECT_EQ(d.back(), '/');
  EXPECT_NE(d.find("/Library/Application Support/Vasquill/component/"), std::string::npos);
}

TEST(GetComponentList, ListsLibrariesByTheirNamingRules) {
  ScratchFolder folder("catalogue");
  folder.Add("tarven_ukey.dylib");
  folder.Add("readme.txt");
  folder.Add("old/x.dylib");
  folder.Add("old/deeper/y.dylib");
  folder.Add(".dylib");
  folder.Add("CAPS.DYLIB");
  folder.Add(".hidden.dylib");
  fs::create_directories(fs::path(folder.path()) / "bundle.dylib");

  Json::Value reply = Parse(Invoke(ListCommand(folder.path())));
  EXPECT_EQ(reply["ecode"].asInt(), 0);
  EXPECT_EQ(reply["message"].asString(), "成功");
  EXPECT_EQ(ListedNames(reply),
            (std::set<std::string>{"tarven_ukey.dylib", "x", "y", ".hidden.dylib", "bundle.dylib"}));
  EXPECT_EQ(reply["listsize"].asInt(), 5);
}

TEST(GetComponentList, ReplyBytesForOneLibrary) {
  ScratchFolder folder("catalogue");
  folder.Add("tarven_ukey.dylib");
  folder.Add("readme.txt");
  for (const std::string& path : {folder.path(), folder.path() + "/"}) {
    EXPECT_EQ(Invoke(ListCommand(path)),
              "{\"ecode\":0,\"list\":\"tarven_ukey.dylib\",\"listsize\":1,\"message\":\"成功\"}\n");
  }
}

TEST(GetComponentList, EmptyAndMissingFolders) {
  ScratchFolder folder("catalogue");
  EXPECT_EQ(Invoke(ListCommand(folder.path())), "{\"ecode\":0,\"list\":\"\",\"listsize\":0,\"message\":\"成功\"}\n");
  EXPECT_EQ(Invoke(ListCommand(folder.path() + "/missing")),
            "{\"ecode\":-900,\"list\":\"\",\"listsize\":0,\"message\":\"未知错误\"}\n");
  // A file counts as existing, and lists nothing.
  EXPECT_EQ(Invoke(ListCommand(folder.Add("plain.dylib"))),
            "{\"ecode\":0,\"list\":\"\",\"listsize\":0,\"message\":\"成功\"}\n");
}

TEST(GetComponentList, ComponentPathThatIsNotAStringUsesTheComponentDirectory) {
  std::string reply;
  Json::Value request;
  request["componentpath"] = 7;
  const int code = getComponentList(request, reply);
  std::error_code error;
  EXPECT_EQ(code, fs::exists(ComponentDirectory(), error) ? 0 : -900);
}

TEST(GetComponentMd5, FingerprintsByPathAndByName) {
  ScratchFolder folder("catalogue");
  const std::string library = folder.Add("abc.dylib", "abc");
  EXPECT_EQ(Invoke("{\"pcode\":9,\"name\":\"" + library + "\"}"),
            "{\"ecode\":0,\"md5\":\"900150983cd24fb0d6963f7d28e17f72\",\"message\":\"成功\"}\n");
  // A path without the suffix gets it appended.
  EXPECT_EQ(Parse(Invoke("{\"pcode\":9,\"name\":\"" + folder.path() + "/abc\"}"))["md5"].asString(),
            "900150983cd24fb0d6963f7d28e17f72");

  // A bare name lives in the component directory.
  fs::create_directories(ComponentDirectory());
  const std::string name = "catalogue-test-" + std::to_string(getpid());
  std::ofstream(ComponentDirectory() + name + ".dylib") << "";
  EXPECT_EQ(Parse(Invoke("{\"pcode\":9,\"name\":\"" + name + "\"}"))["md5"].asString(), kEmptyMd5);
  fs::remove(ComponentDirectory() + name + ".dylib");
}

TEST(GetComponentMd5, ParameterAndExistenceFailures) {
  ScratchFolder folder("catalogue");
  const struct {
    std::string command, reply;
  } cases[] = {
      {"{\"pcode\":9}", "{\"ecode\":-905,\"md5\":\"\",\"message\":\"传入组件库验证参数错误（为空或者长度不对）\"}\n"},
      {"{\"pcode\":9,\"name\":\"\"}", "{\"ecode\":-905,\"md5\":\"\",\"message\":\"传入组件库验证参数错误（为空或者长度不对）\"}\n"},
      {"{\"pcode\":9,\"name\":5}", "{\"ecode\":-905,\"md5\":\"\",\"message\":\"传入组件库验证参数错误（为空或者长度不对）\"}\n"},
      {"{\"pcode\":9,\"name\":\"" + folder.path() + "/none.dylib\"}",
       "{\"ecode\":-901,\"md5\":\"\",\"message\":\"组件库不存在\"}\n"},
  };
  for (const auto& test : cases) EXPECT_EQ(Invoke(test.command), test.reply) << test.command;
}

TEST(GetComponentMd5, DirectoryGivesTheDigestOfEmptyInput) {
  ScratchFolder folder("catalogue");
  const std::string directory = folder.path() + "/folder.dylib";
  fs::create_directories(directory);
  EXPECT_EQ(Parse(Invoke("{\"pcode\":9,\"name\":\"" + directory + "\"}"))["md5"].asString(), kEmptyMd5);
}

// Root reads any file, so there the request runs in a child process that has
// given root up for the "nobody" user.
TEST(GetComponentMd5, FileWithoutReadPermission) {
  ScratchFolder folder("catalogue");
  const std::string locked = folder.Add("locked.dylib", "secret");
  chmod(locked.c_str(), 0);
  chmod(folder.path().c_str(), 0755);
  const std::string command = "{\"pcode\":9,\"name\":\"" + locked + "\"}";
  if (geteuid() != 0) {
    ASSERT_NE(access(locked.c_str(), R_OK), 0);
    Json::Value reply = Parse(Invoke(command));
    EXPECT_EQ(reply["ecode"].asInt(), 0);
    EXPECT_EQ(reply["md5"].asString(), kEmptyMd5);
    return;
  }
  int channel[2];
  ASSERT_EQ(pipe(channel), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(channel[0]);
    constexpr uid_t kNobody = 65534;
    if (setgid(kNobody) != 0 || setuid(kNobody) != 0 || access(locked.c_str(), R_OK) == 0) _exit(2);
    const std::string reply = Invoke(command);
    const bool written = write(channel[1], reply.data(), reply.size()) == static_cast<ssize_t>(reply.size());
    _exit(written ? 0 : 3);
  }
  close(channel[1]);
  std::string reply;
  char piece[512];
  for (ssize_t count; (count = read(channel[0], piece, sizeof piece)) > 0;) reply.append(piece, static_cast<size_t>(count));
  close(channel[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  Json::Value parsed = Parse(reply);
  EXPECT_EQ(parsed["ecode"].asInt(), 0);
  EXPECT_EQ(parsed["md5"].asString(), kEmptyMd5);
}

}  // namespace
