// A crash inside a vendor driver's call ends the service, by design: the
// adapter does not isolate drivers.  The watchdog VasquillService, as staged
// in this build's install root, opens the service again at its next check,
// and the next request is answered.  It starts processes named Vasquill that
// take ports 5110-5114, so it runs alone.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "json/json_text.h"
#include "platform/install_root.h"
#include "tests/integration/process_tools.h"
#include "tests/support/ukey_support.h"
#include "tools/client/envelope.h"
#include "tools/client/https_client.h"

namespace {

using namespace std::chrono_literals;
using namespace process_tools;

const std::string kVersionReply = "{\"ecode\":0,\"message\":\"成功\",\"version\":\"1.0.0.0\"}\n";

std::string Executable(const std::string& name) {
  return platform::RootedPath("/Applications/" + name + ".app/Contents/MacOS/" + name);
}

// The reply inside the JSONP answer to a command, or what went wrong.
std::string Send(int port, const std::string& command) {
  std::string response, reply;
  if (!vasquill_client::Exchange(port, vasquill_client::GetRequest("cb", vasquill_client::BuildEnvelope(command)),
                                 response)) {
    return "<no connection>";
  }
  if (!vasquill_client::ParseJsonp(response, "cb", reply)) return "<no answer: " + response + ">";
  return reply;
}

// The service the watchdog opened, once it listens: its process and port,
// or {0, 0} when none did within the limit.
std::pair<pid_t, int> AwaitService(std::chrono::milliseconds limit) {
  std::pair<pid_t, int> found{0, 0};
  WaitUntil(
      [&] {
        for (pid_t pid : ChildrenRunning(Executable("Vasquill"))) {
          if (int port = ListeningPort(pid, 5110, 5114)) {
            found = {pid, port};
            return true;
          }
        }
        return false;
      },
      limit);
  return found;
}

TEST(CrashInADriver, TheWatchdogOpensTheServiceAgainAndTheNextRequestIsAnswered) {
  BecomeSubreaper();
  ASSERT_TRUE(WaitUntil([] { return ProcessesNamed("Vasquill").empty(); }, 60s))
      << "a process named Vasquill that this test did not start keeps running";
  ukey_testing::InstalledDriver driver("ft2G", CRASHING_DRIVER);

  Child watchdog({Executable("VasquillService")}, Child::Options{});
  ASSERT_TRUE(watchdog.Started());
  // The watchdog looks 3 s after its start, and opens the service.
  auto [service, port] = AwaitService(10s);
  ASSERT_NE(service, 0) << "the watchdog did not open the service";
  EXPECT_EQ(Send(port, "{\"pcode\":4}"), kVersionReply);
  ASSERT_EQ(Send(port, "{\"name\":\"tarven_ukey\",\"pcode\":0}"), "{\"ecode\":0,\"message\":\"成功\"}\n");

  // GetLabel runs on the connection's thread and crashes there: no answer,
  // and the process is gone.
  const auto crashed = Clock::now();
  Json::Value label(Json::objectValue);
  label["szSN"] = "A";
  Json::Value call(Json::objectValue);
  call["pcode"] = 1;
  call["params"] = ukey_testing::Call("GetLabel", "ft2G", label);
  EXPECT_EQ(Send(port, WriteCompactJson(call)).substr(0, 11), "<no answer:");
  EXPECT_TRUE(WaitUntil(
      [pid = service] {
        const std::vector<pid_t> running = ChildrenRunning(Executable("Vasquill"));
        return std::find(running.begin(), running.end(), pid) == running.end();
      },
      5s))
      << "the service survived the crash";
  ReapEnded();

  // After opening the service the watchdog pauses 20 s, then checks every
  // 10 s: the service is back within 33 s of its first opening and its
  // start, and answers.
  auto [again, portAgain] = AwaitService(40s);
  ASSERT_NE(again, 0) << "the watchdog did not open the service again";
  EXPECT_NE(again, service);
  const double back = SecondsSince(crashed);
  EXPECT_EQ(Send(portAgain, "{\"pcode\":4}"), kVersionReply);
  std::printf("crash in a driver call: the service was back %.1f s after the crash\n", back);
  EXPECT_TRUE(watchdog.Running());

  watchdog.Kill();
  KillChildrenRunning({Executable("Vasquill")});
  ReapEnded();
}

}  // namespace
