#pragma once

#include <gtest/gtest.h>

#include "tests/support/service_process.h"

namespace testing_support {

// A test suite whose cases share one staged service, started before the first
// case and ended after the last.  (ctest runs each case in a process of its
// own, so each case then meets a fresh service.)
class StagedServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    service_ = new ServiceProcess();
    port_ = service_->WaitForPort();
  }
  static void TearDownTestSuite() {
    delete service_;
    service_ = nullptr;
  }
  void SetUp() override { ASSERT_NE(port_, 0) << "the service did not listen:\n" << service_->Output(); }

  inline static ServiceProcess* service_ = nullptr;
  inline static int port_ = 0;
};

}  // namespace testing_support
