#include "service/app_delegate.h"

#include "service/https_server.h"

void AppDelegate::ApplicationDidFinishLaunching() {
  platform::DetachNewThread([this] { OCServiceWorkerThread(); });
}

void AppDelegate::OCServiceWorkerThread() {
  CHttpsServer server;
  for (int port = kFirstPort; port <= kLastPort; ++port) {
    if (server.InitHttpServer(3, port) == 0) break;
  }
}
