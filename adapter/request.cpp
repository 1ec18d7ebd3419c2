#include "adapter/request.h"

#include <dlfcn.h>

#include <atomic>
#include <filesystem>
#include <limits>
#include <string_view>
#include <system_error>

#include "json/json_text.h"
#include "platform/install_root.h"
#include "sm/verify_file.h"

namespace ukey {
namespace {

struct VendorRow {
  std::string_view key;
  std::string_view path;
};

constexpr VendorRow kVendorTable[] = {
    {"wq", "/usr/local/ZELK/ZELKUSBKEY2/libtarven_wdusbkey.dylib"},
    {"tdr", "/Library/Application Support/Quenmark/TARVEN_UKey_Quenmark/tarven_unified_tdrukey.dylib"},
    {"ft2G", "/usr/local/lib/tarven_unified_ftukey.dylib"},
    {"test", "/Users/halvorn/Documents/testlib/Build/Products/Debug/libtestlib.dylib"},
};

// Each call keeps the handle it loaded; this only records the latest.
std::atomic<void*> m_hDL{nullptr};

constexpr std::size_t kSmallestSigningBuffer = 1048576;

}  // namespace

bool MergeParameters(const Json::Value& parameters, Json::Value& merged) {
  std::string accumulator;
  for (const Json::Value& element : parameters) {
    std::string text = WriteCompactJson(element);
    const std::size_t open = text.find('{');
    if (open != std::string::npos) text.erase(0, open + 1);
    const std::size_t close = text.rfind('}');
    if (close != std::string::npos) text.erase(close);
    accumulator += text;
    accumulator += ',';
  }
  const std::size_t comma = accumulator.rfind(',');
  if (comma != std::string::npos) accumulator.erase(comma);
  return ParseStrictJson("{" + accumulator + "}", merged) && merged.isObject();
}

std::string VendorDriverPath(const std::string& vendor) {
  for (const VendorRow& row : kVendorTable) {
    if (row.key == vendor) return platform::RootedPath(row.path);
  }
  return std::string();
}

int32_t AdmitDriver(const std::string& path, void*& handle) {
  handle = nullptr;
  std::error_code error;
  if (!std::filesystem::exists(path, error)) return -924;
  if (!std::filesystem::exists(path + ".sig", error)) return -904;
  if (!VerifyFileBySigFile(path, 1)) return -904;
  handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
  if (handle == nullptr) return -924;
  m_hDL.store(handle);
  return 0;
}

void* LastLoadedDriver() { return m_hDL.load(); }

bool SigningBufferSize(std::size_t n, int32_t& outLen) {
  constexpr std::size_t kLargest = static_cast<std::size_t>(std::numeric_limits<int32_t>::max());
  if (n > kLargest / 4 - 4096) return false;
  std::size_t size = (n + 4096) * 4;
  if (size < kSmallestSigningBuffer) size = kSmallestSigningBuffer;
  outLen = static_cast<int32_t>(size);
  return true;
}

}  // namespace ukey
