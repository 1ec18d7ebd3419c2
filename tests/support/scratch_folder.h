#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace testing_support {

// A fresh folder under the system's temporary folder for one test, removed
// (with whatever rights a test took from it) at its end.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    path_ = mkdtemp(pattern.data());
  }
  ~ScratchFolder() {
    std::error_code error;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, error);
    std::filesystem::remove_all(path_, error);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::string& path() const { return path_; }
  // Writes a file at a path relative to the folder, making its parents.
  std::string Add(const std::string& relative, const std::string& contents = "x") const {
    const std::filesystem::path file = std::filesystem::path(path_) / relative;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << contents;
    return file.string();
  }

 private:
  std::string path_;
};

}  // namespace testing_support
