#pragma once

#include "platform/application.h"

class AppDelegate : public platform::ApplicationDelegate {
 public:
  // Starts the worker thread that serves HTTPS.
  void ApplicationDidFinishLaunching() override;

  // Tries ports 5110 to 5114 in turn; the first that listens is served for
  // the life of the process.  When none can be used the thread ends.
  void OCServiceWorkerThread();
};
