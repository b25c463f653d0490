// The console end of the command-port protocol: connect, LOGON, and one
// framed message at a time with a time limit.
#pragma once

#include <openssl/ssl.h>

#include <cstdint>
#include <memory>
#include <string>

#include "runtime/console_proto.h"

namespace krycertctl {

// A remote console's TLS: the client certificate and private key (PEM) that
// prove its OpenPGP key to the server, and optionally the server's own
// certificate to pin (empty: the server is not verified).
struct TLSOptions {
  std::string certFile, keyFile, serverCertFile;
};

struct SslCtxFree {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
struct SslFree {
  void operator()(SSL* s) const { SSL_free(s); }
};

class ConsoleClient {
 public:
  ConsoleClient() = default;
  ~ConsoleClient();
  ConsoleClient(const ConsoleClient&) = delete;
  ConsoleClient& operator=(const ConsoleClient&) = delete;

  // Connects to host:port (IPv4 text or a name), from the local address
  // `source` when it is not empty. False with error() set.
  bool Connect(const std::string& host, int port, int timeoutMs, const std::string& source = std::string());
  // Runs the TLS handshake on the connected socket; every later message
  // goes through it. False with error() set.
  bool StartTLS(const TLSOptions& options);
  // Sends LOGON and reads the reply. False with error() set when the server
  // closed the connection, answered something else or refused the version.
  bool Logon(const std::string& user, kry::LogonReply* reply);
  bool Send(uint8_t type, const std::string& payload);
  // Reads the next whole message. False with error() set on time-out, end
  // of stream or bytes that are not a console message.
  bool Receive(kry::ConsoleMessage* msg);
  const std::string& error() const { return error_; }
  // True when the last failure was a refused connection or a session
  // closed before the LOGON reply (worth another try shortly).
  bool refused() const { return refused_; }
  void set_timeout_ms(int ms) { timeoutMs_ = ms; }

 private:
  bool Fail(const std::string& why);
  bool FailTLS(const std::string& what);
  // Waits for the socket as the last TLS call asked (read or write).
  bool WaitTLS(int sslError, const char* what);
  long RawSend(const char* data, size_t size);
  long RawReceive(char* data, size_t size);
  int fd_ = -1;
  std::unique_ptr<SSL_CTX, SslCtxFree> ctx_;
  std::unique_ptr<SSL, SslFree> ssl_;
  int timeoutMs_ = 15000;
  std::string pending_;
  std::string error_;
  bool refused_ = false;
};

}  // namespace krycertctl
