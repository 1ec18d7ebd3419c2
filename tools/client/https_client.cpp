#include "tools/client/https_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ctime>

#include "service/tls_material.h"
#include "tools/client/envelope.h"

namespace vasquill_client {
namespace {

constexpr char kSuccessHeader[] =
    "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nAccess-Control-Allow-Origin: *\r\n\r\n";

std::string OpenSslError() {
  unsigned long code = ERR_get_error();
  char text[256] = "unknown TLS error";
  if (code != 0) ERR_error_string_n(code, text, sizeof text);
  return text;
}

void SetTimeouts(int fd, std::chrono::milliseconds timeout) {
  timeval limit{};
  limit.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  limit.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

// A write to a connection the service has closed raises SIGPIPE, which
// would end the calling program; while one of these lives, the calling
// thread holds the signal back and a SIGPIPE its writes raise is discarded,
// so that the write only fails.
class SigpipeHeldBack {
 public:
  SigpipeHeldBack() {
    sigset_t pending;
    sigpending(&pending);
    wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &previous_);
  }
  ~SigpipeHeldBack() {
    if (!wasPending_) {
      sigset_t pipe;
      sigemptyset(&pipe);
      sigaddset(&pipe, SIGPIPE);
      const timespec now{};
      while (sigtimedwait(&pipe, nullptr, &now) == SIGPIPE) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  SigpipeHeldBack(const SigpipeHeldBack&) = delete;
  SigpipeHeldBack& operator=(const SigpipeHeldBack&) = delete;

 private:
  sigset_t previous_;
  bool wasPending_;
};

}  // namespace

int ConnectLoopback(int port, std::chrono::milliseconds timeout) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  SetTimeouts(fd, timeout);
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::unique_ptr<TlsConnection> TlsConnection::Open(int port, const ClientOptions& options, std::string* error) {
  auto fail = [error](const std::string& reason) {
    if (error) *error = reason;
    return nullptr;
  };
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (context == nullptr) return fail(OpenSslError());
  if (options.verify) {
    std::string caFile = options.caFile.empty() ? ServerCertificatePath() : options.caFile;
    if (SSL_CTX_load_verify_locations(context, caFile.c_str(), nullptr) != 1) {
      SSL_CTX_free(context);
      return fail("cannot read the service certificate " + caFile);
    }
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
  }
  int fd = ConnectLoopback(port, options.timeout);
  if (fd < 0) {
    SSL_CTX_free(context);
    return fail("cannot connect to 127.0.0.1:" + std::to_string(port));
  }
  SSL* ssl = SSL_new(context);
  SigpipeHeldBack heldBack;
  if (ssl == nullptr || SSL_set_fd(ssl, fd) != 1 ||
      (options.verify && X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), "127.0.0.1") != 1) ||
      SSL_connect(ssl) != 1) {
    std::string reason = "TLS handshake failed: " + OpenSslError();
    SSL_free(ssl);
    close(fd);
    SSL_CTX_free(context);
    return fail(reason);
  }
  return std::unique_ptr<TlsConnection>(new TlsConnection(context, ssl, fd));
}

TlsConnection::~TlsConnection() {
  SSL_free(ssl_);
  close(fd_);
  SSL_CTX_free(context_);
}

bool TlsConnection::Send(const std::string& bytes) {
  SigpipeHeldBack heldBack;
  size_t offset = 0;
  while (offset < bytes.size()) {
    int written = SSL_write(ssl_, bytes.data() + offset, static_cast<int>(bytes.size() - offset));
    if (written <= 0) return false;
    offset += static_cast<size_t>(written);
  }
  return true;
}

std::string TlsConnection::ReadToEnd() {
  std::string received;
  char piece[16384];
  for (;;) {
    int count = SSL_read(ssl_, piece, sizeof piece);
    if (count <= 0) break;
    received.append(piece, static_cast<size_t>(count));
  }
  return received;
}

bool Exchange(int port, const std::string& request, std::string& response, const ClientOptions& options) {
  response.clear();
  std::unique_ptr<TlsConnection> connection = TlsConnection::Open(port, options);
  if (!connection) return false;
  connection->Send(request);
  response = connection->ReadToEnd();
  return true;
}

std::string GetRequest(const std::string& callback, const std::string& envelope) {
  return "GET /?jsoncallback=" + EncodeQueryValue(callback) + "&str=" + EncodeQueryValue(envelope) +
         " HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\n\r\n";
}

std::string PostRequest(const std::string& callback, const std::string& envelope, const std::string& com) {
  const std::string boundary = "----VasquillFormBoundary7MA4YWxkTrZu0gW";
  std::string body;
  auto field = [&](const std::string& name, const std::string& value) {
    body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
  };
  field("jsoncallback", callback);
  field("str", EncodeQueryValue(envelope));
  field("com", com);
  field("client", "vasquill-client");
  field("time", std::to_string(time(nullptr)));
  body += "--" + boundary + "--\r\n";
  return "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: multipart/form-data; boundary=" + boundary +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

bool ParseJsonp(const std::string& response, const std::string& callback, std::string& reply) {
  const std::string prefix = kSuccessHeader + callback + "(";
  if (response.size() < prefix.size() + 1 || response.compare(0, prefix.size(), prefix) != 0 ||
      response.back() != ')') {
    return false;
  }
  reply = response.substr(prefix.size(), response.size() - prefix.size() - 1);
  return true;
}

int FindServicePort(const ClientOptions& options) {
  for (int port = 5110; port <= 5114; ++port) {
    std::string response;
    if (Exchange(port, "OPTIONS / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", response, options) &&
        response.rfind("HTTP/1.1 200 OK", 0) == 0) {
      return port;
    }
  }
  return 0;
}

}  // namespace vasquill_client
