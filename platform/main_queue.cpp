#include "platform/main_queue.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>

namespace platform {
namespace {

class MainQueue {
 public:
  void Push(std::function<void()> work) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      pending_.push_back(std::move(work));
    }
    ready_.notify_one();
  }

  std::function<void()> Pop() {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait(lock, [this] { return !pending_.empty(); });
    std::function<void()> work = std::move(pending_.front());
    pending_.pop_front();
    return work;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> pending_;
};

MainQueue& TheMainQueue() {
  static MainQueue queue;
  return queue;
}

}  // namespace

bool IsMainThread() { return syscall(SYS_gettid) == getpid(); }

void DispatchAsyncMain(std::function<void()> work) { TheMainQueue().Push(std::move(work)); }

void DispatchSyncMain(const std::function<void()>& work) {
  if (IsMainThread()) {
    work();
    return;
  }
  std::mutex mutex;
  std::condition_variable doneSignal;
  bool done = false;
  std::exception_ptr failure;
  TheMainQueue().Push([&] {
    try {
      work();
    } catch (...) {
      failure = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
    doneSignal.notify_one();
  });
  std::unique_lock<std::mutex> lock(mutex);
  doneSignal.wait(lock, [&] { return done; });
  if (failure) std::rethrow_exception(failure);
}

void RunMainQueue() {
  for (;;) {
    std::function<void()> work = TheMainQueue().Pop();
    try {
      work();
    } catch (...) {
      // A closure queued without a waiter has nobody to report to; the queue
      // itself must keep running.
    }
  }
}

}  // namespace platform

extern "C" __attribute__((visibility("default"))) int vasquill_main_queue_sync(void (*work)(void*),
                                                                                void* context) {
  if (work == nullptr) return -1;
  try {
    platform::DispatchSyncMain([work, context] { work(context); });
  } catch (...) {
    return -1;
  }
  return 0;
}
