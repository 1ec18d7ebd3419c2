#pragma once

// Connections and request bodies for the tests that talk to the staged
// service.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tools/client/https_client.h"

namespace testing_support {

// A TLS connection to the service; a failure to connect fails the test.
inline std::unique_ptr<vasquill_client::TlsConnection> Connect(
    int port, std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
  vasquill_client::ClientOptions options;
  options.timeout = timeout;
  std::string error;
  auto connection = vasquill_client::TlsConnection::Open(port, options, &error);
  EXPECT_NE(connection, nullptr) << error;
  return connection;
}

// A multipart form body of the given fields, in their order.
inline std::string Form(const std::string& boundary,
                        const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string body;
  for (const auto& [name, value] : fields) {
    body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
  }
  return body + "--" + boundary + "--\r\n";
}

}  // namespace testing_support
