// The UKey adapter in a host without a main queue: the driver calls that
// need the main thread run on the calling thread instead of failing.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "platform/install_root.h"
#include "tests/support/ukey_support.h"

namespace {

using InvokeEntry = int (*)(std::string request, std::string& reply);

TEST(UKeyAdapterWithoutMainQueue, MainThreadCallsRunOnTheCallingThread) {
  if (platform::InstallRoot().empty()) GTEST_SKIP() << "needs a build with VASQUILL_ROOT";
  ASSERT_EQ(dlsym(RTLD_DEFAULT, "vasquill_main_queue_sync"), nullptr);
  void* adapter = dlopen(UKEY_ADAPTER, RTLD_LAZY | RTLD_LOCAL);
  ASSERT_NE(adapter, nullptr) << dlerror();
  auto invoke = reinterpret_cast<InvokeEntry>(dlsym(adapter, "Invoke"));
  ASSERT_NE(invoke, nullptr);

  ukey_testing::InstalledDriver driver("wq", ukey_testing::TestDriver("echo"));
  for (const char* function : {"Sign", "VerifyPIN", "GenerateCertRequest"}) {
    const ukey_testing::CatalogueCall& call = ukey_testing::CatalogueEntry(function);
    driver.ClearCalls();
    int code = -1;
    std::string reply;
    long caller = 0;
    std::thread([&] {
      caller = syscall(SYS_gettid);
      code = invoke(ukey_testing::Call(function, "wq", call.params), reply);
    }).join();
    EXPECT_EQ(code, 0) << function;
    EXPECT_EQ(ukey_testing::ReadReply(reply).Items(),
              "[{\"ret\":0},{\"errormessage\":\"成功\"}," + call.echoItems.substr(1))
        << function;
    const auto calls = driver.Calls();
    ASSERT_EQ(calls.size(), 1u) << function;
    EXPECT_EQ(calls[0].tid, caller) << function;
  }
}

}  // namespace
