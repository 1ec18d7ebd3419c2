#pragma once

#include <openssl/ssl.h>

#include <string>

// The service's HTTPS listener and the exchange every connection runs: one
// request, one response, then the connection is closed.

inline constexpr int kFirstPort = 5110;
inline constexpr int kLastPort = 5114;
inline constexpr int kListenBacklog = 10;
inline constexpr int kRequestBufferSize = 2097152;
inline constexpr int kLargestSingleWrite = 15000;
inline constexpr unsigned kPauseAfterHandOffMicroseconds = 100000;
inline constexpr char kDefaultPasswordCallbackData[] = "582047";

// Reply texts, sent byte for byte.
extern const std::string kSuccessHeader;       // 77 bytes
extern const std::string kPreflightReply;      // 364 bytes
extern const std::string kBadRequest;          // 28 bytes
extern const std::string kBadRequestBody;      // 33 bytes
extern const char kCipherList[];

class CHttpsServer;

// What the listener hands to a connection thread.
struct ThreadPara {
  SSL* ssl;
  int socket;
  CHttpsServer* server;
};

class CHttpServer {
 public:
  virtual ~CHttpServer() = default;
  virtual int InitHttpServer(int backlogHint, int port) = 0;
};

class CHttpsServer : public CHttpServer {
 public:
  // One listening attempt on 127.0.0.1:port.  -2 no socket, -5 socket option
  // refused, -3 bind failed, -4 listen failed; once listening it serves
  // forever and does not return.
  int InitHttpServer(int backlogHint, int port) override;
};

// Connection thread entry: runs the exchange and frees the record.
void* ReadWriteThread0(void* para);

// The connection exchange.
int ReadWriteThread(ThreadPara para);
