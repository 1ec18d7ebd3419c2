#include "platform/login_items.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "platform/bundle.h"
#include "platform/install_root.h"
#include "platform/user.h"

namespace platform {
namespace {

// The escapes of a string value in a desktop entry, applied when it is read
// before anything else.
std::string EscapeStringValue(const std::string& value) {
  std::string escaped;
  for (char c : value) {
    switch (c) {
      case '\\': escaped += "\\\\"; break;
      case '\n': escaped += "\\n"; break;
      case '\t': escaped += "\\t"; break;
      case '\r': escaped += "\\r"; break;
      default: escaped += c;
    }
  }
  return escaped;
}

// Quotes a path for the Exec key of a desktop entry: inside the quotes a
// backslash goes before the double quote, the backtick, the dollar sign and
// the backslash, and "%" is doubled; the string escapes then double every
// backslash.
std::string QuoteExecArgument(const std::string& argument) {
  std::string quoted = "\"";
  for (char c : argument) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    if (c == '%') quoted += '%';
    quoted += c;
  }
  quoted += '"';
  return EscapeStringValue(quoted);
}

std::string DesktopEntry(const std::string& bundlePath) {
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=" + EscapeStringValue(BundleName(bundlePath)) + "\n"
         "Exec=" + QuoteExecArgument(BundleExecutablePath(bundlePath)) + "\n"
         "Terminal=false\n"
         "NoDisplay=true\n"
         "X-GNOME-Autostart-enabled=true\n";
}

bool FileHolds(const std::filesystem::path& path, const std::string& contents) {
  // Only a regular file can hold the entry; reading a folder would throw.
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string present((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return present == contents;
}

}  // namespace

std::string AutostartDirectory() {
  std::string home = HomeDirectory();
  if (home.empty()) return std::string();
  return RootedPath(home + "/.config/autostart");
}

bool InsertLoginItem(const std::string& bundlePath) {
  std::string directory = AutostartDirectory();
  if (directory.empty() || bundlePath.empty()) return false;
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  if (error) return false;

  std::filesystem::path entryPath = std::filesystem::path(directory) / (BundleName(bundlePath) + ".desktop");
  std::string entry = DesktopEntry(bundlePath);
  if (FileHolds(entryPath, entry)) return true;

  // Write beside it and rename, so the session never sees half an entry.
  std::filesystem::path temporary = entryPath;
  temporary += ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << entry;
    if (!out.flush()) {
      std::filesystem::remove(temporary, error);
      return false;
    }
  }
  std::filesystem::rename(temporary, entryPath, error);
  if (error) {
    std::filesystem::remove(temporary, error);
    return false;
  }
  return true;
}

}  // namespace platform
