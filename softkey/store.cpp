#include "softkey/store.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <map>

#include "platform/install_root.h"
#include "platform/user.h"
#include "softkey/errors.h"
#include "softkey/text.h"

namespace softkey {
namespace {

constexpr std::string_view kHeader = "vasquill-softkey-store 1";
constexpr std::string_view kSuffix = ".key";
constexpr std::string_view kTemporaryMark = ".key.tmp-";

std::string Sha256Hex(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1) return {};
  return HexEncode(std::string_view(reinterpret_cast<char*>(digest), length));
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

void SyncFolder(const std::string& path) {
  int fd = open(path.empty() ? "/" : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// mkdir -p with mode 0700 for what it creates; a folder made here reaches
// the disk with its parent's entry.
bool MakeFolders(const std::string& path) {
  for (size_t slash = path.find('/', 1); ; slash = path.find('/', slash + 1)) {
    std::string part = path.substr(0, slash);
    if (!part.empty()) {
      if (mkdir(part.c_str(), 0700) == 0) {
        SyncFolder(part.substr(0, part.rfind('/')));
      } else if (errno != EEXIST) {
        return false;
      }
    }
    if (slash == std::string::npos) break;
  }
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool ParseInteger(std::string_view text, int64_t min, int64_t max, int64_t* value) {
  int64_t parsed = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return false;
  if (parsed < min || parsed > max) return false;
  *value = parsed;
  return true;
}

bool IsToken(std::string_view text) {
  if (text.empty() || text.size() > 32) return false;
  return std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
  });
}

}  // namespace

bool IsValidSerial(std::string_view serial) {
  if (serial.empty() || serial.size() > kSerialMaxBytes || serial[0] == '.') return false;
  return std::all_of(serial.begin(), serial.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.';
  });
}

std::string StoreFolder() {
  std::string home = platform::HomeDirectory();
  if (home.empty() || home[0] != '/') return {};
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  if (home == "/") home.clear();
  return platform::RootedPath(home + "/.local/share/vasquill-softkey/");
}

int32_t ListSerials(std::vector<std::string>* found) {
  std::vector<std::string> serials;
  std::string folder = StoreFolder();
  if (folder.empty()) return kStoreIo;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) {
    if (errno != ENOENT) return kStoreIo;
    found->clear();
    return kOk;
  }
  while (dirent* entry = readdir(dir)) {
    std::string_view name = entry->d_name;
    if (name.size() <= kSuffix.size() || name.substr(name.size() - kSuffix.size()) != kSuffix) continue;
    std::string_view serial = name.substr(0, name.size() - kSuffix.size());
    if (!IsValidSerial(serial)) continue;
    if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) continue;
    serials.emplace_back(serial);
  }
  closedir(dir);
  std::sort(serials.begin(), serials.end());
  *found = std::move(serials);
  return kOk;
}

std::string SerializeRecord(const KeyRecord& record) {
  std::string text(kHeader);
  text += '\n';
  auto line = [&text](std::string_view name, std::string_view value) {
    text += name;
    text += '=';
    text += value;
    text += '\n';
  };
  line("serial", record.serial);
  line("created", std::to_string(record.created));
  line("label", Base64Encode(record.label));
  line("charset", record.charset);
  line("language", record.language);
  line("pin.iterations", std::to_string(record.pin.iterations));
  line("pin.salt", HexEncode(record.pin.salt));
  line("pin.verifier", HexEncode(record.pin.verifier));
  line("pin.tries", std::to_string(record.pin.triesLeft));
  line("pin.default", record.pin.isDefault ? "1" : "0");
  auto pair = [&line](std::string_view prefix, const KeyPair& keys, bool withCertificate) {
    if (!keys.Present()) return;
    std::string name(prefix);
    line(name + ".public", Base64Encode(keys.publicKey));
    line(name + ".private", Base64Encode(keys.sealedPrivateKey));
    if (withCertificate && !keys.certificate.empty()) {
      line(name + ".certificate", Base64Encode(keys.certificate));
      line(name + ".registered", keys.registered ? "1" : "0");
    }
  };
  pair("sign", record.sign, true);
  pair("pending", record.pending, false);
  pair("encryption", record.encryption, true);
  for (size_t slot = 0; slot < kDataSlots; ++slot) {
    if (!record.data[slot].empty()) line("data." + std::to_string(slot), Base64Encode(record.data[slot]));
  }
  std::string check = Sha256Hex(text);
  line("sha256", check);
  return text;
}

int32_t ParseRecord(std::string_view text, std::string_view serial, KeyRecord* record) {
  // The last line is the checksum of everything before it.
  if (text.size() < 2 || text.back() != '\n') return kStoreCorrupt;
  size_t lastStart = text.rfind('\n', text.size() - 2);
  if (lastStart == std::string_view::npos) return kStoreCorrupt;
  std::string_view body = text.substr(0, lastStart + 1);
  std::string_view last = text.substr(lastStart + 1, text.size() - lastStart - 2);
  if (last.substr(0, 7) != "sha256=" || last.substr(7) != Sha256Hex(body)) return kStoreCorrupt;
  if (body.substr(0, kHeader.size() + 1) != std::string(kHeader) + "\n") return kStoreCorrupt;
  body.remove_prefix(kHeader.size() + 1);

  std::map<std::string, std::string, std::less<>> fields;
  while (!body.empty()) {
    size_t end = body.find('\n');
    std::string_view row = body.substr(0, end);
    body.remove_prefix(end + 1);
    size_t equals = row.find('=');
    if (equals == std::string_view::npos || equals == 0) return kStoreCorrupt;
    if (!fields.emplace(std::string(row.substr(0, equals)), std::string(row.substr(equals + 1))).second) {
      return kStoreCorrupt;
    }
  }
  auto take = [&fields](std::string_view name, std::string* value) {
    auto it = fields.find(name);
    if (it == fields.end()) return false;
    *value = std::move(it->second);
    fields.erase(it);
    return true;
  };
  auto takeBase64 = [&take](std::string_view name, std::string* value) {
    std::string text;
    if (!take(name, &text)) return false;
    std::optional<std::string> bytes = Base64Decode(text);
    if (!bytes) return false;
    *value = std::move(*bytes);
    return true;
  };
  auto takeHex = [&take](std::string_view name, std::string* value, size_t size) {
    std::string text;
    if (!take(name, &text)) return false;
    std::optional<std::string> bytes = HexDecode(text);
    if (!bytes || bytes->size() != size) return false;
    *value = std::move(*bytes);
    return true;
  };
  auto takeInteger = [&take](std::string_view name, int64_t min, int64_t max, int64_t* value) {
    std::string text;
    return take(name, &text) && ParseInteger(text, min, max, value);
  };

  KeyRecord parsed;
  int64_t number = 0;
  if (!take("serial", &parsed.serial) || parsed.serial != serial) return kStoreCorrupt;
  if (!takeInteger("created", 0, INT64_MAX, &parsed.created)) return kStoreCorrupt;
  if (!takeBase64("label", &parsed.label) || parsed.label.size() > kLabelMaxBytes) return kStoreCorrupt;
  if (!take("charset", &parsed.charset) || !IsToken(parsed.charset)) return kStoreCorrupt;
  if (!take("language", &parsed.language) || !IsToken(parsed.language)) return kStoreCorrupt;
  if (!takeInteger("pin.iterations", 1000, 100000000, &number)) return kStoreCorrupt;
  parsed.pin.iterations = static_cast<uint32_t>(number);
  if (!takeHex("pin.salt", &parsed.pin.salt, 16) || !takeHex("pin.verifier", &parsed.pin.verifier, 32)) {
    return kStoreCorrupt;
  }
  if (!takeInteger("pin.tries", 0, kMaxPinTries, &number)) return kStoreCorrupt;
  parsed.pin.triesLeft = static_cast<int32_t>(number);
  if (!takeInteger("pin.default", 0, 1, &number)) return kStoreCorrupt;
  parsed.pin.isDefault = number == 1;

  auto pair = [&](std::string_view prefix, KeyPair* keys, bool withCertificate) {
    std::string name(prefix);
    bool hasPublic = fields.count(name + ".public") != 0;
    if (!hasPublic) return true;
    if (!takeBase64(name + ".public", &keys->publicKey) || keys->publicKey.empty()) return false;
    if (!takeBase64(name + ".private", &keys->sealedPrivateKey) || keys->sealedPrivateKey.empty()) return false;
    if (withCertificate && fields.count(name + ".certificate") != 0) {
      if (!takeBase64(name + ".certificate", &keys->certificate) || keys->certificate.empty()) return false;
      if (!takeInteger(name + ".registered", 0, 1, &number)) return false;
      keys->registered = number == 1;
    }
    return true;
  };
  if (!pair("sign", &parsed.sign, true) || !pair("pending", &parsed.pending, false) ||
      !pair("encryption", &parsed.encryption, true)) {
    return kStoreCorrupt;
  }
  for (size_t slot = 0; slot < kDataSlots; ++slot) {
    std::string name = "data." + std::to_string(slot);
    if (fields.count(name) != 0 &&
        (!takeBase64(name, &parsed.data[slot]) || parsed.data[slot].size() > kDataSlotSize)) {
      return kStoreCorrupt;
    }
  }
  if (!fields.empty()) return kStoreCorrupt;  // a field this driver does not know
  *record = std::move(parsed);
  return kOk;
}

int32_t LoadRecord(const std::string& serial, KeyRecord* record) {
  if (!IsValidSerial(serial)) return kInvalidSerial;
  std::string folder = StoreFolder();
  if (folder.empty()) return kStoreIo;
  std::string path = folder + serial + std::string(kSuffix);
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return errno == ENOENT ? kKeyNotFound : kStoreIo;
  std::string text;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > (1 << 20)) {
    close(fd);
    return S_ISREG(info.st_mode) ? kStoreCorrupt : kStoreIo;
  }
  char buffer[16384];
  while (true) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      close(fd);
      return kStoreIo;
    }
    if (got == 0) break;
    text.append(buffer, static_cast<size_t>(got));
    if (text.size() > (1 << 20)) break;
  }
  close(fd);
  int32_t code = ParseRecord(text, serial, record);
  Wipe(text);
  return code;
}

int32_t EnsureStoreFolder() {
  std::string folder = StoreFolder();
  if (folder.empty()) return kStoreIo;
  folder.pop_back();
  return MakeFolders(folder) ? kOk : kStoreIo;
}

int32_t SaveRecord(const KeyRecord& record) {
  if (!IsValidSerial(record.serial)) return kInvalidSerial;
  if (EnsureStoreFolder() != kOk) return kStoreIo;
  std::string folder = StoreFolder();
  std::string target = folder + record.serial + std::string(kSuffix);
  std::string temporary = folder + "." + record.serial + std::string(kTemporaryMark) + "XXXXXX";
  int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return kStoreIo;
  std::string text = SerializeRecord(record);
  bool ok = fchmod(fd, 0600) == 0 && WriteAll(fd, text) && fsync(fd) == 0;
  Wipe(text);
  ok = (close(fd) == 0) && ok;
  if (!ok || rename(temporary.c_str(), target.c_str()) != 0) {
    unlink(temporary.c_str());
    return kStoreIo;
  }
  // The rename reaches the disk with the folder.
  int dirFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) return kStoreIo;
  ok = fsync(dirFd) == 0;
  close(dirFd);
  return ok ? kOk : kStoreIo;
}

WriteLock::~WriteLock() {
  if (fd_ >= 0) close(fd_);  // closing releases the flock
}

int32_t WriteLock::Acquire() {
  if (fd_ >= 0) return kOk;
  if (EnsureStoreFolder() != kOk) return kStoreIo;
  std::string folder = StoreFolder();
  std::string path = folder + ".lock";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return kStoreIo;
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      close(fd);
      return kStoreIo;
    }
  }
  fd_ = fd;
  // No write is in flight while the lock is held: a temporary file now is
  // what an interrupted write left behind.
  if (DIR* dir = opendir(folder.c_str())) {
    std::vector<std::string> stale;
    while (dirent* entry = readdir(dir)) {
      std::string_view name = entry->d_name;
      if (name.size() > 1 && name[0] == '.' && name.find(kTemporaryMark) != std::string_view::npos) {
        stale.emplace_back(name);
      }
    }
    closedir(dir);
    for (const std::string& name : stale) unlink((folder + name).c_str());
  }
  return kOk;
}

}  // namespace softkey
