#include "service/https_server.h"

#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ts.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "logfile/logfile.h"
#include "service/http_request.h"
#include "service/httpurl.h"
#include "service/openssl_multithread.h"
#include "service/scheduling.h"
#include "service/tls_io.h"
#include "service/tls_material.h"

const std::string kSuccessHeader =
    "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nAccess-Control-Allow-Origin: *\r\n\r\n";
const std::string kPreflightReply =
    "HTTP/1.1 200 OK \r\n"
    "Access-Control-Allow-Private-Network: true \r\n"
    "Access-Control-Allow-Origin: * \r\n"
    "Access-Control-Allow-Methods: GET, POST, PUT \r\n"
    "Access-Control-Allow-Headers: X-Custom-Header \r\n"
    "Content-Type: text/html; charset=utf-8 \r\n"
    "Content-Encoding: gzip \r\n"
    "Content-Length: 0 \r\n"
    "Keep-Alive: timeout=2, max=100 \r\n"
    "Connection: Keep-Alive \r\n"
    "Content-Type: text/plain \r\n"
    "\r\n";
const std::string kBadRequest = "HTTP/1.1 400 Bad Request\r\n\r\n";
const std::string kBadRequestBody = "HTTP/1.1 400 Bad Request\r\n\r\nError";

const char kCipherList[] =
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-SHA384:ECDHE-ECDSA-AES256-SHA384:"
    "ECDHE-RSA-AES256-SHA:ECDHE-ECDSA-AES256-SHA:SRP-DSS-AES-256-CBC-SHA:SRP-RSA-AES-256-CBC-SHA:"
    "DHE-DSS-AES256-GCM-SHA384:DHE-RSA-AES256-GCM-SHA384:DHE-RSA-AES256-SHA256:DHE-DSS-AES256-SHA256:"
    "DHE-RSA-AES256-SHA:DHE-DSS-AES256-SHA:DHE-RSA-CAMELLIA256-SHA:DHE-DSS-CAMELLIA256-SHA:"
    "ECDH-RSA-AES256-GCM-SHA384:ECDH-ECDSA-AES256-GCM-SHA384:ECDH-RSA-AES256-SHA384:ECDH-ECDSA-AES256-SHA384:"
    "ECDH-RSA-AES256-SHA:ECDH-ECDSA-AES256-SHA:AES256-GCM-SHA384:AES256-SHA256:AES256-SHA:CAMELLIA256-SHA:"
    "PSK-AES256-CBC-SHA:ECDHE-RSA-DES-CBC3-SHA:ECDHE-ECDSA-DES-CBC3-SHA:SRP-DSS-3DES-EDE-CBC-SHA:"
    "SRP-RSA-3DES-EDE-CBC-SHA:EDH-RSA-DES-CBC3-SHA:EDH-DSS-DES-CBC3-SHA:ECDH-RSA-DES-CBC3-SHA:"
    "ECDH-ECDSA-DES-CBC3-SHA:DES-CBC3-SHA:PSK-3DES-EDE-CBC-SHA:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-SHA256:ECDHE-ECDSA-AES128-SHA256:ECDHE-RSA-AES128-SHA:"
    "ECDHE-ECDSA-AES128-SHA:SRP-DSS-AES-128-CBC-SHA:SRP-RSA-AES-128-CBC-SHA:DHE-DSS-AES128-GCM-SHA256:"
    "DHE-RSA-AES128-GCM-SHA256:DHE-RSA-AES128-SHA256:DHE-DSS-AES128-SHA256:DHE-RSA-AES128-SHA:"
    "DHE-DSS-AES128-SHA:DHE-RSA-SEED-SHA:DHE-DSS-SEED-SHA:DHE-RSA-CAMELLIA128-SHA:DHE-DSS-CAMELLIA128-SHA:"
    "ECDH-RSA-AES128-GCM-SHA256:ECDH-ECDSA-AES128-GCM-SHA256:ECDH-RSA-AES128-SHA256:ECDH-ECDSA-AES128-SHA256:"
    "ECDH-RSA-AES128-SHA:ECDH-ECDSA-AES128-SHA:AES128-GCM-SHA256:AES128-SHA256:AES128-SHA:SEED-SHA:"
    "CAMELLIA128-SHA:PSK-AES128-CBC-SHA:ECDHE-RSA-RC4-SHA:ECDHE-ECDSA-RC4-SHA:ECDH-RSA-RC4-SHA:"
    "ECDH-ECDSA-RC4-SHA:RC4-SHA:RC4-MD5:PSK-RC4-SHA:EDH-RSA-DES-CBC-SHA:EDH-DSS-DES-CBC-SHA:DES-CBC-SHA:"
    "EXP-EDH-RSA-DES-CBC-SHA:EXP-EDH-DSS-DES-CBC-SHA:EXP-DES-CBC-SHA:EXP-RC2-CBC-MD5:EXP-RC4-MD5";

namespace {

using namespace std::chrono_literals;

// A stalled peer holds only its own connection, and only this long.
constexpr TlsTimeLimit kHandshakeLimit = 10s;
constexpr TlsTimeLimit kReadLimit = 30s;
constexpr TlsTimeLimit kWriteLimit = 30s;

struct SslCtxFree {
  void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
// The 2 MiB buffers are mapped on their own, outside the allocator's arenas:
// an arena would keep a freed buffer for reuse (and raise its thresholds for
// keeping free memory to the buffer's size), so that after a burst of
// connections the service would stay megabytes above its idle size.
struct BufferFree {
  size_t size = 0;
  void operator()(char* buffer) const { munmap(buffer, size); }
};
using Buffer = std::unique_ptr<char, BufferFree>;

// A zero-filled buffer whose pages stay untouched until data arrives, with
// room for a terminating zero after its size.
Buffer AllocateBuffer(size_t size) {
  void* memory = mmap(nullptr, size + 1, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return Buffer();
  return Buffer(static_cast<char*>(memory), BufferFree{size + 1});
}

// The TLS context as the listener sets it up; null when the library cannot
// make one.  A missing or unreadable certificate or key is not detected here:
// handshakes then fail and each connection closes without a reply.
SSL_CTX* CreateServerContext() {
  SSL_CTX* context = SSL_CTX_new(SSLv23_server_method());
  if (context == nullptr) return nullptr;
  SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
  SSL_CTX_set_default_passwd_cb_userdata(context, const_cast<char*>(kDefaultPasswordCallbackData));
  // Idle connections keep no TLS buffers.
  SSL_CTX_set_mode(context, SSL_MODE_RELEASE_BUFFERS);
  // A peer that ends its side of the connection without a close notification
  // still gets its answer (the refusal of a body cut short).
  SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);

  SSL_CTX_use_certificate_file(context, ServerCertificatePath().c_str(), SSL_FILETYPE_PEM);
  std::string passphrase = ServerKeyPassphrase();
  std::unique_ptr<EVP_PKEY, PkeyFree> key(TS_CONF_load_key(ServerKeyPath().c_str(), passphrase.c_str()));
  OPENSSL_cleanse(passphrase.data(), passphrase.size());
  SSL_CTX_use_PrivateKey(context, key.get());
  SSL_CTX_check_private_key(context);
  ERR_clear_error();

  std::srand(static_cast<unsigned>(std::time(nullptr)));
  int seed[100];
  for (int& value : seed) value = std::rand();
  RAND_seed(seed, sizeof seed);

  SSL_CTX_set_cipher_list(context, kCipherList);
  return context;
}

// Searches the newly read bytes (and the three before them) of the
// zero-terminated request text for the blank line that ends the header block.
class HeaderBlockSearch {
 public:
  bool Complete(const char* buffer, size_t received, size_t count) {
    if (terminated_) return false;
    const size_t start = received - count;
    const void* zero = std::memchr(buffer + start, 0, count);
    const size_t textEnd = zero ? static_cast<size_t>(static_cast<const char*>(zero) - buffer) : received;
    terminated_ = zero != nullptr;
    const size_t from = start >= 3 ? start - 3 : 0;
    return textEnd >= from + 4 && memmem(buffer + from, textEnd - from, "\r\n\r\n", 4) != nullptr;
  }

 private:
  bool terminated_ = false;  // a zero byte ended the text: no blank line can follow
};

// Reads until the header block is complete; false when the peer closed, a
// read failed or the buffer filled without a blank line.
bool ReadHeaderBlock(SSL* ssl, int fd, char* buffer, int& received) {
  HeaderBlockSearch search;
  while (received < kRequestBufferSize) {
    int count = TlsRead(ssl, fd, buffer + received, kRequestBufferSize - received, kReadLimit);
    if (count <= 0) return false;
    received += count;
    if (search.Complete(buffer, static_cast<size_t>(received), static_cast<size_t>(count))) return true;
  }
  return false;
}

// Collects the rest of a POST body; false when the body is cut short, a read
// fails or more bytes come than announced.
bool CompletePostBody(SSL* ssl, int fd, CHttpRequest& request, std::string& body) {
  body = request.GetPostContent();
  if (request.GetPostStatus()) return true;
  int remaining = request.GetPostLeftLength();
  if (remaining <= 0) return false;
  Buffer piece = AllocateBuffer(kRequestBufferSize);
  if (!piece) return false;
  for (;;) {
    int count = TlsRead(ssl, fd, piece.get(), kRequestBufferSize, kReadLimit);
    if (count <= 0) return false;
    body.append(piece.get(), static_cast<size_t>(count));
    remaining -= count;
    if (remaining == 0) return true;
    if (remaining < 0) return false;
  }
}

// The answer to a POST whose body is complete and not empty.
std::string AnswerForm(CHttpRequest& request, const std::string& body) {
  request.ParseRequestPost(body);
  std::string callback = request.QueryRequestPara("jsoncallback");
  std::string str = request.QueryRequestPara("str");
  std::string com = request.QueryRequestPara("com");
  if (com.empty()) return kSuccessHeader + callback + "()";
  std::string reply;
  if (!str.empty()) {
    std::string envelope = CHttpUrl().DecodeUrl(str);
    std::string command = request.DecryptStr(envelope);
    QuorvelEntry(command, reply, &request);
  }
  return kSuccessHeader + callback + "(" + reply + ")";
}

// A JSONP response goes out in pieces of at most 15,000 bytes.
void WriteResponse(SSL* ssl, int fd, const std::string& response) {
  for (size_t offset = 0; offset < response.size(); offset += kLargestSingleWrite) {
    size_t size = std::min(response.size() - offset, static_cast<size_t>(kLargestSingleWrite));
    if (!TlsWrite(ssl, fd, response.data() + offset, static_cast<int>(size), kWriteLimit)) return;
  }
}

}  // namespace

int CHttpsServer::InitHttpServer(int, int port) {
  InitOpensslMultiThread();
  SSL_library_init();
  OPENSSL_add_all_algorithms_noconf();
  SSL_load_error_strings();

  std::unique_ptr<SSL_CTX, SslCtxFree> context(CreateServerContext());
  if (!context) return -2;

  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) return -2;
  int on = 1;
  // SO_REUSEADDR as well, so that connections the service closed (TIME_WAIT)
  // never keep another program from the port once the service is gone.
  if (setsockopt(listener, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0 ||
      setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    close(listener);
    return -5;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  // Loopback only: the service signs with the user's key and must not be
  // reachable from the network.
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(listener);
    return -3;
  }
  std::printf("建立端口成功:%d\n", port);
  if (listen(listener, kListenBacklog) != 0) {
    close(listener);
    return -4;
  }

  for (;;) {
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      SSL* ssl = SSL_new(context.get());
      auto* para = ssl ? new ThreadPara{ssl, fd, this} : nullptr;
      pthread_attr_t attributes;
      pthread_attr_init(&attributes);
      pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
      pthread_t thread;
      if (para == nullptr || SSL_set_fd(ssl, fd) != 1 ||
          pthread_create(&thread, &attributes, ReadWriteThread0, para) != 0) {
        delete para;
        SSL_free(ssl);
        close(fd);
      }
      pthread_attr_destroy(&attributes);
    }
    // A failed accept is retried after the same pause.
    usleep(kPauseAfterHandOffMicroseconds);
  }
}

void* ReadWriteThread0(void* para) {
  // Connections open at this moment.  When the last one ends, the memory
  // the allocator keeps free in its arenas (one per thread it has seen
  // running at once, each left fragmented by a burst of connections) goes
  // back to the system, so that the service returns to its idle size.
  static std::atomic<int> open{0};
  ++open;
  auto* record = static_cast<ThreadPara*>(para);
  ReadWriteThread(*record);
  delete record;
  if (--open == 0) malloc_trim(0);
  return nullptr;
}

int ReadWriteThread(ThreadPara para) {
  SSL* ssl = para.ssl;
  const int fd = para.socket;
  Buffer buffer;
  int received = 0;
  CHttpRequest request;

  if (MakeNonBlocking(fd) && TlsAccept(ssl, fd, kHandshakeLimit) &&
      (buffer = AllocateBuffer(kRequestBufferSize)) && ReadHeaderBlock(ssl, fd, buffer.get(), received)) {
    request.Attach(buffer.get(), received);
    std::string callback = request.QueryRequestPara("jsoncallback");
    std::string str = request.QueryRequestPara("str");
    std::string method = request.GetRequestMethod();

    std::string response;
    if (method == "OPTIONS") {
      TlsWrite(ssl, fd, kPreflightReply.data(), static_cast<int>(kPreflightReply.size()), kWriteLimit);
    } else if (method == "GET") {
      if (callback.empty()) {
        response = kBadRequest;
      } else {
        std::string reply;
        QuorvelEntry(str, reply, &request);
        response = kSuccessHeader + callback + "(" + reply + ")";
      }
    } else if (method == "POST") {
      std::string body;
      const bool complete = request.HasValidContentLength() && CompletePostBody(ssl, fd, request, body);
      logFile("strPostData：" + std::string(body.c_str()));
      response = complete && !body.empty() ? AnswerForm(request, body) : kBadRequestBody;
    } else {
      OPENSSL_cleanse(buffer.get(), static_cast<size_t>(received));
      TlsWrite(ssl, fd, kBadRequest.data(), static_cast<int>(kBadRequest.size()), kWriteLimit);
    }
    WriteResponse(ssl, fd, response);
    TlsCloseNotify(ssl);
  }

  request.Deattach();
  if (buffer) OPENSSL_cleanse(buffer.get(), static_cast<size_t>(received));
  SSL_free(ssl);
  close(fd);
  return 0;
}
