#pragma once

#include <openssl/ssl.h>

#include <chrono>
#include <memory>
#include <string>

namespace vasquill_client {

struct ClientOptions {
  // Certificate the service must present; empty: the installed one.
  std::string caFile;
  // Check the service's certificate (for 127.0.0.1).
  bool verify = true;
  // Limit for connecting and for each read and write.
  std::chrono::milliseconds timeout{15000};
};

// One TLS connection to the service on 127.0.0.1.
class TlsConnection {
 public:
  // Connects and runs the handshake; null (with a reason) when either fails.
  static std::unique_ptr<TlsConnection> Open(int port, const ClientOptions& options, std::string* error = nullptr);
  ~TlsConnection();
  TlsConnection(const TlsConnection&) = delete;
  TlsConnection& operator=(const TlsConnection&) = delete;

  bool Send(const std::string& bytes);
  // Everything the service sends until it closes the connection.
  std::string ReadToEnd();
  int Socket() const { return fd_; }
  SSL* Session() const { return ssl_; }

 private:
  TlsConnection(SSL_CTX* context, SSL* ssl, int fd) : context_(context), ssl_(ssl), fd_(fd) {}
  SSL_CTX* context_;
  SSL* ssl_;
  int fd_;
};

// A TCP connection to 127.0.0.1:port with the options' time limits, or -1.
int ConnectLoopback(int port, std::chrono::milliseconds timeout);

// Sends one request on a fresh connection and collects the whole response.
// False when no TLS connection could be made.
bool Exchange(int port, const std::string& request, std::string& response, const ClientOptions& options = {});

// A JSONP GET carrying the envelope in "str".
std::string GetRequest(const std::string& callback, const std::string& envelope);

// A multipart POST of five fields: jsoncallback, str (the envelope,
// percent-encoded), com and two fields the service ignores.
std::string PostRequest(const std::string& callback, const std::string& envelope, const std::string& com = "1");

// The reply inside "<callback>(" ... ")" after the success header; false when
// the response is not such a JSONP response.
bool ParseJsonp(const std::string& response, const std::string& callback, std::string& reply);

// The first port of 5110 to 5114 that answers a preflight, or 0.
int FindServicePort(const ClientOptions& options = {});

}  // namespace vasquill_client
