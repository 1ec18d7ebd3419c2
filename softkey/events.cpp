#include "softkey/events.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <set>
#include <vector>

#include "softkey/errors.h"
#include "softkey/store.h"

namespace softkey {
namespace {

// What the waits have reported: the keys present as far as the pages know.
std::mutex g_mutex;
bool g_known = false;
std::set<std::string> g_present;
// Wake-up descriptors of the pending waits, each with its stop flag.
struct Waiter {
  int wake = -1;
  bool stopped = false;
};
std::vector<Waiter*> g_waiters;

// Compares the folder with what was reported; reports one change.  Holds
// g_mutex.  A folder that cannot be read shows no change (its keys are not
// gone for that).
bool TakeChange(int32_t* event, std::string* serial) {
  std::vector<std::string> now;
  if (ListSerials(&now) != kOk) return false;
  for (const std::string& name : now) {
    if (g_present.count(name) == 0) {
      g_present.insert(name);
      *event = kEventInserted;
      *serial = name;
      return true;
    }
  }
  for (auto it = g_present.begin(); it != g_present.end(); ++it) {
    if (!std::binary_search(now.begin(), now.end(), *it)) {
      *serial = *it;
      *event = kEventRemoved;
      g_present.erase(it);
      return true;
    }
  }
  return false;
}

// The inotify descriptor watching the store folder, or -1.
class FolderWatch {
 public:
  FolderWatch() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
  ~FolderWatch() {
    if (fd_ >= 0) close(fd_);
  }
  int fd() const { return fd_; }
  // (Re)adds the watch when the folder has been (re)created.
  void Refresh() {
    if (fd_ < 0 || watching_) return;
    std::string folder = StoreFolder();
    if (folder.empty()) return;
    watching_ = inotify_add_watch(fd_, folder.c_str(),
                                  IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE_SELF |
                                      IN_MOVE_SELF | IN_ONLYDIR) >= 0;
  }
  void Drain() {
    alignas(inotify_event) char buffer[4096];
    while (true) {
      ssize_t got = read(fd_, buffer, sizeof buffer);
      if (got <= 0) break;
      for (char* p = buffer; p < buffer + got;) {
        auto* event = reinterpret_cast<inotify_event*>(p);
        if (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) watching_ = false;
        p += sizeof(inotify_event) + event->len;
      }
    }
  }

 private:
  int fd_ = -1;
  bool watching_ = false;
};

}  // namespace

int32_t WaitForEvent(int32_t* event, std::string* serial) {
  if (StoreFolder().empty()) return kStoreIo;
  EnsureStoreFolder();
  FolderWatch watch;
  watch.Refresh();
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_known) {
      std::vector<std::string> now;
      if (ListSerials(&now) != kOk) return kStoreIo;
      g_present = std::set<std::string>(now.begin(), now.end());
      g_known = true;
    }
  }
  Waiter self;
  self.wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (self.wake < 0) return kInternal;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_waiters.push_back(&self);
  }
  int32_t code = kOk;
  while (true) {
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      if (self.stopped) {
        code = kDetectionStopped;
        break;
      }
      if (TakeChange(event, serial)) break;
    }
    // Changes wake us through inotify; a slow poll covers a folder that
    // does not exist yet or a watch that failed.
    pollfd fds[2] = {{self.wake, POLLIN, 0}, {watch.fd(), POLLIN, 0}};
    int ready = poll(fds, watch.fd() >= 0 ? 2 : 1, 500);
    if (ready > 0 && (fds[1].revents & POLLIN)) watch.Drain();
    watch.Refresh();
  }
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_waiters.erase(std::find(g_waiters.begin(), g_waiters.end(), &self));
  }
  close(self.wake);
  return code;
}

void StopWaits() {
  std::lock_guard<std::mutex> lock(g_mutex);
  for (Waiter* waiter : g_waiters) {
    waiter->stopped = true;
    uint64_t one = 1;
    ssize_t written = write(waiter->wake, &one, sizeof one);
    (void)written;
  }
}

}  // namespace softkey
