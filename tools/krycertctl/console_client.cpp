#include "tools/krycertctl/console_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace krycertctl {

ConsoleClient::~ConsoleClient() {
  if (fd_ >= 0) close(fd_);
}

bool ConsoleClient::Fail(const std::string& why) {
  error_ = why;
  return false;
}

bool ConsoleClient::Connect(const std::string& host, int port, int timeoutMs) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) return Fail("unknown host " + host);
  sockaddr_in a = *reinterpret_cast<sockaddr_in*>(res->ai_addr);
  freeaddrinfo(res);
  a.sin_port = htons(static_cast<uint16_t>(port));
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0) return Fail(std::string("socket: ") + strerror(errno));
  std::string where = host + ":" + std::to_string(port);
  if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    refused_ = errno == ECONNREFUSED;
    if (errno != EINPROGRESS) return Fail("cannot connect to " + where + ": " + strerror(errno));
    pollfd p{fd_, POLLOUT, 0};
    if (poll(&p, 1, timeoutMs) != 1) return Fail("cannot connect to " + where + ": timed out");
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
    refused_ = err == ECONNREFUSED;
    if (err != 0) return Fail("cannot connect to " + where + ": " + strerror(err));
  }
  return true;
}

bool ConsoleClient::Send(uint8_t type, const std::string& payload) {
  std::string msg = kry::BuildConsoleMessage(type, payload);
  size_t off = 0;
  while (off < msg.size()) {
    pollfd p{fd_, POLLOUT, 0};
    if (poll(&p, 1, timeoutMs_) != 1) return Fail("sending to the server timed out");
    ssize_t n = send(fd_, msg.data() + off, msg.size() - off, MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) return Fail(std::string("sending to the server failed: ") + strerror(errno));
    off += static_cast<size_t>(n);
  }
  return true;
}

bool ConsoleClient::Receive(kry::ConsoleMessage* msg) {
  for (;;) {
    size_t used = 0;
    kry::FrameResult fr = kry::ParseConsoleFrame(reinterpret_cast<const uint8_t*>(pending_.data()), pending_.size(),
                                                 msg, &used);
    if (!pending_.empty() && fr == kry::FrameResult::kOk) {
      pending_.erase(0, used);
      return true;
    }
    if (!pending_.empty() && fr == kry::FrameResult::kBad) return Fail("the server sent a malformed message");
    pollfd p{fd_, POLLIN, 0};
    int rc = poll(&p, 1, timeoutMs_);
    if (rc == 0) return Fail("no answer from the server within " + std::to_string(timeoutMs_ / 1000) + " s");
    if (rc < 0 && errno == EINTR) continue;
    char buf[kry::kConsoleMaxMessage];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) return Fail("the server closed the connection");
    pending_.append(buf, static_cast<size_t>(n));
  }
}

bool ConsoleClient::Logon(const std::string& user, kry::LogonReply* reply) {
  kry::LogonRequest req;
  req.user = user;
  if (!Send(kry::kMsgLogon, kry::EncodeLogon(req))) return false;
  kry::ConsoleMessage msg;
  if (!Receive(&msg)) {
    refused_ = error_ == "the server closed the connection";
    return Fail(error_ + " (session refused: another console may be connected, or this user may not use the "
                         "console)");
  }
  if (msg.type != kry::kReplyLogon || !kry::DecodeLogonReply(msg.payload, reply))
    return Fail("the server answered the LOGON with message type " + std::to_string(msg.type));
  if (reply->tooOld) return Fail("the server refused this console's version");
  return true;
}

}  // namespace krycertctl
