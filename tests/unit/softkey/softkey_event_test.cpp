// Key events: a store appearing is an insertion, one disappearing a removal;
// StopDetectUKey ends a pending wait from another thread.

#include <chrono>
#include <future>
#include <set>
#include <thread>

#include "tests/unit/softkey/softkey_support.h"

namespace softkey_test {
namespace {

using namespace std::chrono_literals;

struct Event {
  int32_t code = -1;
  int32_t event = -900;
  std::string text;
};

class EventTest : public SoftkeyTest {
 protected:
  // Starts WaitForKeyEvent on a thread of its own.
  std::future<Event> StartWait() {
    return std::async(std::launch::async, [this] {
      Event result;
      std::vector<char> out(ukey_driver::kTextBufferSize, '\0');
      int32_t len = ukey_driver::kTextBufferSize;
      result.code = d.WaitForKeyEvent(&result.event, out.data(), &len);
      result.text = out.data();
      return result;
    });
  }

  // Ends the wait if it is still pending (so that a failed test does not
  // hang) and returns what it gave.
  Event Finish(std::future<Event>& wait) {
    while (wait.wait_for(50ms) != std::future_status::ready) d.StopDetectUKey();
    return wait.get();
  }

  // Whether the wait has returned within the time.
  static bool ReturnsWithin(std::future<Event>& wait, std::chrono::milliseconds time) {
    return wait.wait_for(time) == std::future_status::ready;
  }
};

TEST_F(EventTest, InsertingAKeyEndsTheWaitWithEventOneAndItsSerial) {
  NewKey("SK-OLD");
  std::future<Event> wait = StartWait();
  EXPECT_FALSE(ReturnsWithin(wait, 300ms));  // keys present before are no event
  ASSERT_EQ(d.InitUKey("SK-NEW"), kOk);
  ASSERT_TRUE(ReturnsWithin(wait, 10s));
  Event event = Finish(wait);
  EXPECT_EQ(event.code, kOk);
  EXPECT_EQ(event.event, 1);
  EXPECT_EQ(event.text, "SK-NEW");
}

TEST_F(EventTest, RemovingAStoreEndsTheWaitWithEventTwo) {
  NewKey("SK0001");
  NewKey("SK0002");
  std::future<Event> wait = StartWait();
  EXPECT_FALSE(ReturnsWithin(wait, 300ms));
  fs::remove(StoreFile("SK0002"));
  ASSERT_TRUE(ReturnsWithin(wait, 10s));
  Event event = Finish(wait);
  EXPECT_EQ(event.code, kOk);
  EXPECT_EQ(event.event, 2);
  EXPECT_EQ(event.text, "SK0002");
}

TEST_F(EventTest, ResettingAKeyAndOtherWritesAreNoEvent) {
  NewKey("SK0001");
  std::future<Event> wait = StartWait();
  EXPECT_FALSE(ReturnsWithin(wait, 200ms));
  ASSERT_EQ(d.InitUKey("SK0001"), kOk);
  ASSERT_EQ(d.SetLabel("SK0001", "renamed"), kOk);
  WriteFile(store_ / "readme.txt", "not a key");
  EXPECT_FALSE(ReturnsWithin(wait, 1500ms));
  Event event = Finish(wait);
  EXPECT_EQ(event.code, kDetectionStopped);
}

TEST_F(EventTest, ChangesBetweenWaitsAreReportedOneAtATimeAndNoneIsLost) {
  NewKey("SK-A");
  // The first wait fixes what is present; later changes queue up.
  std::future<Event> first = StartWait();
  EXPECT_FALSE(ReturnsWithin(first, 200ms));
  NewKey("SK-B");
  ASSERT_TRUE(ReturnsWithin(first, 10s));
  EXPECT_EQ(Finish(first).text, "SK-B");
  // Nobody waits while these happen.
  NewKey("SK-C");
  fs::remove(StoreFile("SK-A"));
  std::vector<std::pair<int32_t, std::string>> seen;
  for (int i = 0; i < 2; ++i) {
    std::future<Event> next = StartWait();
    ASSERT_TRUE(ReturnsWithin(next, 10s));
    Event event = Finish(next);
    ASSERT_EQ(event.code, kOk);
    seen.emplace_back(event.event, event.text);
  }
  EXPECT_EQ(seen, (std::vector<std::pair<int32_t, std::string>>{{1, "SK-C"}, {2, "SK-A"}}));
  std::future<Event> quiet = StartWait();
  EXPECT_FALSE(ReturnsWithin(quiet, 300ms));
  EXPECT_EQ(Finish(quiet).code, kDetectionStopped);
}

TEST_F(EventTest, TwoWaitsShareTheEventsEachGettingItsOwn) {
  std::future<Event> one = StartWait();
  std::future<Event> two = StartWait();
  EXPECT_FALSE(ReturnsWithin(one, 300ms));
  NewKey("SK-1");
  NewKey("SK-2");
  ASSERT_TRUE(ReturnsWithin(one, 10s));
  ASSERT_TRUE(ReturnsWithin(two, 10s));
  Event a = Finish(one);
  Event b = Finish(two);
  EXPECT_EQ(a.code, kOk);
  EXPECT_EQ(b.code, kOk);
  EXPECT_NE(a.text, b.text);
  EXPECT_EQ(std::set<std::string>({a.text, b.text}), (std::set<std::string>{"SK-1", "SK-2"}));
}

TEST_F(EventTest, StopDetectUKeyFromAnotherThreadEndsEveryPendingWait) {
  std::future<Event> one = StartWait();
  std::future<Event> two = StartWait();
  EXPECT_FALSE(ReturnsWithin(one, 300ms));
  EXPECT_FALSE(ReturnsWithin(two, 10ms));
  auto start = std::chrono::steady_clock::now();
  std::thread stopper([this] { EXPECT_EQ(d.StopDetectUKey(), kOk); });
  stopper.join();
  ASSERT_TRUE(ReturnsWithin(one, 5s));
  ASSERT_TRUE(ReturnsWithin(two, 5s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  for (auto* wait : {&one, &two}) {
    Event event = wait->get();
    EXPECT_EQ(event.code, kDetectionStopped);
    EXPECT_EQ(event.event, -900);  // untouched
    EXPECT_EQ(event.text, "");
  }
  int32_t last = 0;
  ASSERT_EQ(d.GetLastErrCode(&last), kOk);
  EXPECT_EQ(last, kDetectionStopped);
}

TEST_F(EventTest, AStopWithNoWaitPendingDoesNotEndTheNextWait) {
  ASSERT_EQ(d.StopDetectUKey(), kOk);
  std::future<Event> wait = StartWait();
  EXPECT_FALSE(ReturnsWithin(wait, 300ms));
  NewKey("SK0001");
  ASSERT_TRUE(ReturnsWithin(wait, 10s));
  Event event = Finish(wait);
  EXPECT_EQ(event.code, kOk);
  EXPECT_EQ(event.text, "SK0001");
}

TEST_F(EventTest, TheStoreFolderItselfMayComeAndGo) {
  NewKey("SK0001");
  std::future<Event> wait = StartWait();
  EXPECT_FALSE(ReturnsWithin(wait, 200ms));
  fs::remove_all(store_);
  ASSERT_TRUE(ReturnsWithin(wait, 10s));
  Event removed = Finish(wait);
  EXPECT_EQ(removed.event, 2);
  EXPECT_EQ(removed.text, "SK0001");
  // The folder is made again by the next key; the next wait sees it.
  std::future<Event> next = StartWait();
  EXPECT_FALSE(ReturnsWithin(next, 200ms));
  NewKey("SK0002");
  ASSERT_TRUE(ReturnsWithin(next, 10s));
  Event inserted = Finish(next);
  EXPECT_EQ(inserted.event, 1);
  EXPECT_EQ(inserted.text, "SK0002");
}

TEST_F(EventTest, ABufferTooSmallForASerialIsRefusedBeforeWaiting) {
  NewKey("SK0001");
  std::vector<char> out(64, '\x7F');
  int32_t len = 64;
  int32_t event = -900;
  EXPECT_EQ(d.WaitForKeyEvent(&event, out.data(), &len), kBufferTooSmall);
  EXPECT_EQ(len, 65);
  EXPECT_EQ(event, -900);
  EXPECT_EQ(out[0], '\x7F');
  // No event was taken by the refused call.
  std::future<Event> wait = StartWait();
  EXPECT_FALSE(ReturnsWithin(wait, 200ms));
  NewKey("SK0002");
  ASSERT_TRUE(ReturnsWithin(wait, 10s));
  EXPECT_EQ(Finish(wait).text, "SK0002");
}

}  // namespace
}  // namespace softkey_test
