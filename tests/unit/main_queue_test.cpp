// The process's main queue.  RunMainQueue never returns, so this program has
// its own main(): the tests run on a second thread while the main thread runs
// the queue, and the process ends with the tests' result.

#include "platform/main_queue.h"

#include <dlfcn.h>
#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using platform::DispatchAsyncMain;
using platform::DispatchSyncMain;
using platform::IsMainThread;

void Drain() { DispatchSyncMain([] {}); }

TEST(MainQueue, TestsRunOffTheMainThread) {
  EXPECT_FALSE(IsMainThread());
  bool onMain = false;
  DispatchSyncMain([&] { onMain = IsMainThread(); });
  EXPECT_TRUE(onMain);
}

TEST(MainQueue, ClosuresRunInOrderOnTheMainThread) {
  std::vector<int> order;
  int offMain = 0;
  for (int i = 0; i < 200; ++i) {
    DispatchAsyncMain([&order, &offMain, i] {
      if (!IsMainThread()) ++offMain;
      order.push_back(i);
    });
  }
  Drain();
  ASSERT_EQ(order.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(order[static_cast<size_t>(i)], i);
  EXPECT_EQ(offMain, 0);
}

TEST(MainQueue, SyncSubmissionWaitsForTheClosure) {
  bool done = false;
  DispatchSyncMain([&] {
    // Long enough that a caller that did not wait would see done == false.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    done = true;
  });
  EXPECT_TRUE(done);
}

TEST(MainQueue, SyncSubmissionsFromManyThreadsAllRunOnTheMainThread) {
  int count = 0;  // touched on the main thread only
  int offMain = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 100; ++i) {
        DispatchSyncMain([&] {
          if (!IsMainThread()) ++offMain;
          ++count;
        });
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  Drain();
  EXPECT_EQ(count, 800);
  EXPECT_EQ(offMain, 0);
}

TEST(MainQueue, SyncSubmissionOnTheMainThreadRunsAtOnce) {
  std::vector<int> order;
  DispatchSyncMain([&] {
    order.push_back(1);
    DispatchSyncMain([&] { order.push_back(2); });
    order.push_back(3);
    DispatchAsyncMain([&] { order.push_back(5); });
    order.push_back(4);
  });
  Drain();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, 5}));
}

TEST(MainQueue, ExceptionReachesTheCallerAndTheQueueGoesOn) {
  try {
    DispatchSyncMain([] { throw std::runtime_error("driver failed"); });
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "driver failed");
  }
  // A closure without a waiter that throws does not stop the queue either.
  DispatchAsyncMain([] { throw 42; });
  bool ran = false;
  DispatchSyncMain([&] { ran = true; });
  EXPECT_TRUE(ran);
}

void Increment(void* context) { ++*static_cast<int*>(context); }
void Throw(void*) { throw std::logic_error("thrown through the C entry"); }

TEST(MainQueue, CEntryRunsTheWorkAndReportsFailure) {
  int count = 0;
  EXPECT_EQ(vasquill_main_queue_sync(&Increment, &count), 0);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(vasquill_main_queue_sync(nullptr, &count), -1);
  EXPECT_EQ(vasquill_main_queue_sync(&Throw, nullptr), -1);
  EXPECT_EQ(vasquill_main_queue_sync(&Increment, &count), 0);
  EXPECT_EQ(count, 2);
}

// --- Code loaded at run time ------------------------------------------------

using Probe = int (*)(void (*)(void*), void*);

struct ProbeRecord {
  std::atomic<int> runs{0};
  std::atomic<int> offMain{0};
};

void Record(void* context) {
  auto* record = static_cast<ProbeRecord*>(context);
  if (!IsMainThread()) ++record->offMain;
  ++record->runs;
}

class LoadedLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    library_ = dlopen(MAIN_QUEUE_PROBE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library_, nullptr) << dlerror();
    probe_ = reinterpret_cast<Probe>(dlsym(library_, "probe_dispatch"));
    ASSERT_NE(probe_, nullptr);
  }
  void TearDown() override {
    if (library_) dlclose(library_);
  }

  void* library_ = nullptr;
  Probe probe_ = nullptr;
};

TEST_F(LoadedLibrary, HostExportsItsQueueAndTheLibraryHasNoneOfItsOwn) {
  EXPECT_NE(dlsym(RTLD_DEFAULT, "vasquill_main_queue_sync"), nullptr);
  EXPECT_EQ(dlsym(library_, "vasquill_main_queue_sync"), nullptr);
}

TEST_F(LoadedLibrary, ReachesTheHostMainQueue) {
  ProbeRecord record;
  EXPECT_EQ(probe_(&Record, &record), 1);
  EXPECT_EQ(record.runs, 1);
  EXPECT_EQ(record.offMain, 0);
}

TEST_F(LoadedLibrary, ReachesTheHostMainQueueFromManyThreads) {
  ProbeRecord record;
  std::atomic<int> answers{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) answers += probe_(&Record, &record);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(answers, 300);
  EXPECT_EQ(record.runs, 300);
  EXPECT_EQ(record.offMain, 0);
}

TEST_F(LoadedLibrary, CalledOnTheMainThreadRunsAtOnce) {
  ProbeRecord record;
  int answer = -1;
  DispatchSyncMain([&] { answer = probe_(&Record, &record); });
  EXPECT_EQ(answer, 1);
  EXPECT_EQ(record.runs, 1);
  EXPECT_EQ(record.offMain, 0);
}

TEST(HostWithoutQueue, LoadedLibraryReportsFalseAndRunsNothing) {
  const char* argv[] = {MAIN_QUEUE_BARE_HOST, MAIN_QUEUE_PROBE, nullptr};
  pid_t child = 0;
  ASSERT_EQ(posix_spawn(&child, MAIN_QUEUE_BARE_HOST, nullptr, nullptr, const_cast<char**>(argv), environ), 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  // 0: refused without running the closure (see main_queue_bare_host.cpp).
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

std::thread testThread;

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  testThread = std::thread([] {
    const int result = RUN_ALL_TESTS();
    std::fflush(stdout);
    // End on the main thread, once this thread is done.
    DispatchAsyncMain([result] {
      testThread.join();
      std::exit(result);
    });
  });
  platform::RunMainQueue();
}
