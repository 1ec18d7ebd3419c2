#pragma once

#include <openssl/ssl.h>

#include <chrono>

// TLS on a non-blocking socket with time limits, so that a peer that stalls
// holds up nothing but its own connection.

using TlsTimeLimit = std::chrono::milliseconds;

// Puts the socket in non-blocking mode; false when that fails.
bool MakeNonBlocking(int fd);

// Runs the server handshake; false when it failed or took longer than the limit.
bool TlsAccept(SSL* ssl, int fd, TlsTimeLimit limit);

// Reads at most `size` bytes; the count read, or 0 when the peer closed, the
// read failed or nothing came within the limit.
int TlsRead(SSL* ssl, int fd, char* buffer, int size, TlsTimeLimit limit);

// Writes all `size` bytes; false when the write failed or did not finish
// within the limit.
bool TlsWrite(SSL* ssl, int fd, const char* data, int size, TlsTimeLimit limit);

// Sends the close notification without waiting for the peer's.
void TlsCloseNotify(SSL* ssl);
