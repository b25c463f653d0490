#include "tools/krycertctl/console_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/x509_vfy.h>

#include <cerrno>
#include <cstring>

namespace krycertctl {

ConsoleClient::~ConsoleClient() {
  if (ssl_) SSL_shutdown(ssl_.get());  // best effort: the socket does not wait
  if (fd_ >= 0) close(fd_);
}

bool ConsoleClient::Fail(const std::string& why) {
  error_ = why;
  return false;
}

bool ConsoleClient::FailTLS(const std::string& what) {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  char text[256] = "the server closed the connection";
  if (code != 0) ERR_error_string_n(code, text, sizeof text);
  return Fail(what + ": " + text);
}

bool ConsoleClient::Connect(const std::string& host, int port, int timeoutMs, const std::string& source) {
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
  if (!source.empty()) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (inet_pton(AF_INET, source.c_str(), &local.sin_addr) != 1) return Fail("bad source address " + source);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
      return Fail("cannot use source address " + source + ": " + strerror(errno));
  }
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

bool ConsoleClient::WaitTLS(int sslError, const char* what) {
  short events = sslError == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN;
  pollfd p{fd_, events, 0};
  int rc = poll(&p, 1, timeoutMs_);
  if (rc == 0) return Fail(std::string(what) + " timed out");
  if (rc < 0 && errno != EINTR) return Fail(std::string(what) + " failed: " + strerror(errno));
  return true;
}

bool ConsoleClient::StartTLS(const TLSOptions& o) {
  ctx_.reset(SSL_CTX_new(TLS_client_method()));
  if (!ctx_) return FailTLS("TLS set-up");
  SSL_CTX_set_min_proto_version(ctx_.get(), TLS1_2_VERSION);
  if (SSL_CTX_use_certificate_chain_file(ctx_.get(), o.certFile.c_str()) != 1)
    return FailTLS("reading the certificate " + o.certFile);
  if (SSL_CTX_use_PrivateKey_file(ctx_.get(), o.keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
    return FailTLS("reading the private key " + o.keyFile);
  if (SSL_CTX_check_private_key(ctx_.get()) != 1) return FailTLS("the certificate and the private key do not match");
  if (!o.serverCertFile.empty()) {
    // The pinned certificate is self-signed: it is its own trust anchor.
    if (SSL_CTX_load_verify_locations(ctx_.get(), o.serverCertFile.c_str(), nullptr) != 1)
      return FailTLS("reading the server certificate " + o.serverCertFile);
    X509_STORE_set_flags(SSL_CTX_get_cert_store(ctx_.get()), X509_V_FLAG_PARTIAL_CHAIN);
    SSL_CTX_set_verify(ctx_.get(), SSL_VERIFY_PEER, nullptr);
  } else {
    SSL_CTX_set_verify(ctx_.get(), SSL_VERIFY_NONE, nullptr);
  }
  ssl_.reset(SSL_new(ctx_.get()));
  if (!ssl_ || SSL_set_fd(ssl_.get(), fd_) != 1) return FailTLS("TLS set-up");
  for (;;) {
    int rc = SSL_connect(ssl_.get());
    if (rc == 1) return true;
    int err = SSL_get_error(ssl_.get(), rc);
    if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) {
      refused_ = true;  // the server drops consoles it does not accept
      return FailTLS("TLS handshake");
    }
    if (!WaitTLS(err, "TLS handshake")) return false;
  }
}

// Bytes written (> 0), 0 when the caller should wait for the socket, or -1.
long ConsoleClient::RawSend(const char* data, size_t size) {
  if (!ssl_) {
    ssize_t n = send(fd_, data, size, MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    return n > 0 ? n : -1;
  }
  int n = SSL_write(ssl_.get(), data, static_cast<int>(size));
  if (n > 0) return n;
  int err = SSL_get_error(ssl_.get(), n);
  if (err == SSL_ERROR_WANT_WRITE || err == SSL_ERROR_WANT_READ) return 0;
  errno = EPIPE;
  return -1;
}

// Bytes read (> 0), 0 when the caller should wait, or -1 at the end of the
// stream or on an error.
long ConsoleClient::RawReceive(char* data, size_t size) {
  if (!ssl_) {
    ssize_t n = recv(fd_, data, size, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    return n > 0 ? n : -1;
  }
  int n = SSL_read(ssl_.get(), data, static_cast<int>(size));
  if (n > 0) return n;
  int err = SSL_get_error(ssl_.get(), n);
  if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) return 0;
  ERR_clear_error();
  return -1;
}

bool ConsoleClient::Send(uint8_t type, const std::string& payload) {
  std::string msg = kry::BuildConsoleMessage(type, payload);
  size_t off = 0;
  while (off < msg.size()) {
    pollfd p{fd_, POLLOUT, 0};
    if (poll(&p, 1, timeoutMs_) != 1) return Fail("sending to the server timed out");
    long n = RawSend(msg.data() + off, msg.size() - off);
    if (n == 0) continue;
    if (n < 0) return Fail(std::string("sending to the server failed: ") + strerror(errno));
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
    // Bytes TLS already decrypted do not show on the socket.
    if (!ssl_ || SSL_pending(ssl_.get()) == 0) {
      pollfd p{fd_, POLLIN, 0};
      int rc = poll(&p, 1, timeoutMs_);
      if (rc == 0) return Fail("no answer from the server within " + std::to_string(timeoutMs_ / 1000) + " s");
      if (rc < 0 && errno == EINTR) continue;
    }
    char buf[kry::kConsoleMaxMessage];
    long n = RawReceive(buf, sizeof buf);
    if (n == 0) continue;
    if (n < 0) return Fail("the server closed the connection");
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
