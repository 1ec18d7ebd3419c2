#include "service/tls_io.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <poll.h>

#include <cerrno>

namespace {

using Clock = std::chrono::steady_clock;

// Waits until the socket is ready for what the last TLS call asked for.
// False when the call failed for good or the deadline passed.
bool WaitForRetry(SSL* ssl, int fd, int result, Clock::time_point deadline) {
  short events;
  switch (SSL_get_error(ssl, result)) {
    case SSL_ERROR_WANT_READ: events = POLLIN; break;
    case SSL_ERROR_WANT_WRITE: events = POLLOUT; break;
    default: return false;
  }
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd entry{fd, events, 0};
    int ready = poll(&entry, 1, static_cast<int>(left));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

}  // namespace

bool MakeNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool TlsAccept(SSL* ssl, int fd, TlsTimeLimit limit) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    ERR_clear_error();
    int result = SSL_accept(ssl);
    if (result == 1) return true;
    if (!WaitForRetry(ssl, fd, result, deadline)) return false;
  }
}

int TlsRead(SSL* ssl, int fd, char* buffer, int size, TlsTimeLimit limit) {
  if (size <= 0) return 0;
  const auto deadline = Clock::now() + limit;
  for (;;) {
    ERR_clear_error();
    int result = SSL_read(ssl, buffer, size);
    if (result > 0) return result;
    if (!WaitForRetry(ssl, fd, result, deadline)) return 0;
  }
}

bool TlsWrite(SSL* ssl, int fd, const char* data, int size, TlsTimeLimit limit) {
  if (size <= 0) return true;
  const auto deadline = Clock::now() + limit;
  for (;;) {
    ERR_clear_error();
    int result = SSL_write(ssl, data, size);
    if (result == size) return true;
    if (!WaitForRetry(ssl, fd, result, deadline)) return false;
  }
}

void TlsCloseNotify(SSL* ssl) {
  ERR_clear_error();
  SSL_shutdown(ssl);
}
