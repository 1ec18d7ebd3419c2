#include "dispatch/component_catalogue.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <system_error>

#include "dispatch/reply.h"
#include "platform/install_root.h"

namespace {

constexpr char kSuffix[] = ".dylib";
constexpr size_t kSuffixLength = sizeof kSuffix - 1;

bool HasSuffix(const std::string& name) {
  return name.size() >= kSuffixLength && name.compare(name.size() - kSuffixLength, kSuffixLength, kSuffix) == 0;
}

bool HasPath(const std::string& name) { return name.find_first_of("/\\") != std::string::npos; }

// The name under which a library found at `relative` (below the directory
// walked) is listed.
std::string ListedName(const std::string& relative) {
  if (!HasPath(relative)) return relative;
  size_t separator = relative.rfind('\\');
  if (separator == std::string::npos) separator = relative.rfind('/');
  std::string name = relative.substr(separator + 1);
  if (HasSuffix(name)) name.resize(name.size() - kSuffixLength);
  return name;
}

// MD5 of the file's bytes as lower-case hexadecimal text; the digest of empty
// input when the file cannot be read.
std::string FileMd5(const std::string& path) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1) return std::string();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[1 << 16]);
    ssize_t count;
    while ((count = read(fd, buffer.get(), 1 << 16)) > 0) EVP_DigestUpdate(context.get(), buffer.get(), count);
    close(fd);
    // A directory, or a read error part-way: what could be read is not the
    // file, so the answer is the digest of empty input.
    if (count < 0) EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr);
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) return std::string();
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 15];
  }
  return text;
}

}  // namespace

std::string ComponentDirectory() {
  return platform::RootedPath("/Library/Application Support/Vasquill/component/");
}

std::string getdllpath(std::string name) {
  const bool path = HasPath(name);
  const bool suffix = HasSuffix(name);
  if (path && suffix) return name;
  if (suffix) return ComponentDirectory() + name;
  if (path) return name + kSuffix;
  return ComponentDirectory() + name + kSuffix;
}

int getComponentList(Json::Value request, std::string& reply) {
  const Json::Value& componentPath = request["componentpath"];
  const std::string directory = componentPath.isString() ? componentPath.asString() : ComponentDirectory();

  int code = -900;
  std::string list;
  int count = 0;
  std::error_code error;
  if (std::filesystem::exists(directory, error)) {
    code = 0;
    const std::string prefix = (std::filesystem::path(directory) / "").string();
    std::filesystem::recursive_directory_iterator entries(
        directory, std::filesystem::directory_options::skip_permission_denied, error);
    for (const std::filesystem::recursive_directory_iterator end; !error && entries != end;
         entries.increment(error)) {
      const std::string relative = entries->path().string().substr(prefix.size());
      if (relative.size() <= kSuffixLength || !HasSuffix(relative)) continue;
      list += ListedName(relative) + ",";
      ++count;
    }
    if (!list.empty()) list.pop_back();
  }

  Json::Value answer = ReplyObject(code);
  answer["list"] = list;
  answer["listsize"] = count;
  reply = ReplyText(answer);
  return code;
}

int getComponentMd5(Json::Value request, std::string& reply) {
  const Json::Value& name = request["name"];
  int code = -905;
  std::string md5;
  if (name.isString() && !name.asString().empty()) {
    const std::string path = getdllpath(name.asString());
    std::error_code error;
    // A zero byte ends the path the system sees, before the ".dylib" that was
    // appended: such a name names no component.
    if (path.find('\0') == std::string::npos && std::filesystem::exists(path, error)) {
      code = 0;
      md5 = FileMd5(path);
    } else {
      code = -901;
    }
  }
  Json::Value answer = ReplyObject(code);
  answer["md5"] = md5;
  reply = ReplyText(answer);
  return code;
}
