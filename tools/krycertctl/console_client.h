// The console end of the command-port protocol: connect, LOGON, and one
// framed message at a time with a time limit.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/console_proto.h"

namespace krycertctl {

class ConsoleClient {
 public:
  ConsoleClient() = default;
  ~ConsoleClient();
  ConsoleClient(const ConsoleClient&) = delete;
  ConsoleClient& operator=(const ConsoleClient&) = delete;

  // Connects to host:port (IPv4 text or a name). False with error() set.
  bool Connect(const std::string& host, int port, int timeoutMs);
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
  int fd_ = -1;
  int timeoutMs_ = 15000;
  std::string pending_;
  std::string error_;
  bool refused_ = false;
};

}  // namespace krycertctl
