#pragma once

// Helpers of the signature-file tests: a private folder with a copy of a
// real shared library, and running programs (the signing tool, OpenSSL's
// command line) without a shell.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace smtest {

inline std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void Spit(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Runs the program with the arguments; standard output goes to outPath when
// given.  Returns the exit status, or -1 when it did not exit normally.
inline int RunProgram(const std::vector<std::string>& argv, const std::string& outPath = "") {
  const pid_t pid = fork();
  if (pid == 0) {
    if (!outPath.empty()) {
      const int fd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd >= 0) dup2(fd, STDOUT_FILENO);
    }
    const int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) dup2(devnull, STDERR_FILENO);
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// A private folder per test holding a copy of the test library.
class LibraryFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& c : name) {
      if (c == '/') c = '_';  // parameterised tests are named "Test/param"
    }
    dir_ = std::filesystem::temp_directory_path() /
           ("sm_sigfile." + std::to_string(getpid()) + "." + name);
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    library_ = (dir_ / "libtiny.so").string();
    std::filesystem::copy_file(SM_TINY_LIBRARY, library_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Key(const std::string& name) const { return std::string(SM_KEYS_DIR) + "/" + name; }

  // vasquill-sign sign --type TYPE --key KEY [extra...] LIBRARY
  int ToolSign(int type, const std::string& key, const std::string& library,
               std::vector<std::string> extra = {}) {
    std::vector<std::string> argv{SM_SIGN_TOOL, "sign", "--type", std::to_string(type), "--key",
                                  Key(key)};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back(library);
    return RunProgram(argv);
  }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  std::filesystem::path dir_;
  std::string library_;
};

}  // namespace smtest
