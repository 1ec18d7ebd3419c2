#include <csignal>
#include <cstdio>

#include "logfile/logfile.h"
#include "platform/application.h"
#include "platform/bundle.h"
#include "platform/login_items.h"
#include "service/app_delegate.h"

int main() {
  // Console lines are read line by line by whoever watches the service.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  CreateFile("开始，日志版本v1.0.1.0\n");
  std::signal(SIGPIPE, SIG_IGN);
  platform::InsertLoginItem(platform::MainBundlePath());
  AppDelegate delegate;
  platform::RunApplication(delegate);
}
