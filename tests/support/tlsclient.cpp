#include "support/tlsclient.h"

#include "support/harness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <chrono>

namespace krytest {

namespace {

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Waits for what the last SSL call wanted; false on time-out or failure.
bool WaitSSL(SSL* ssl, int fd, int rc, long long deadline) {
  int e = SSL_get_error(ssl, rc);
  if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) return false;
  long long left = deadline - NowMs();
  if (left <= 0) return false;
  pollfd p{fd, static_cast<short>(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
  return poll(&p, 1, static_cast<int>(left)) == 1;
}

}  // namespace

TLSClient::~TLSClient() { Close(); }

void TLSClient::Configure(const std::string& certFile, const std::string& keyFile, int maxVersion) {
  cert_ = certFile;
  key_ = keyFile;
  maxVersion_ = maxVersion;
}

bool TLSClient::Connect(int port, int timeoutMs) {
  Close();
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return false;
  }
  return Handshake(fd, timeoutMs);
}

bool TLSClient::Handshake(int fd, int timeoutMs) {
  Close();
  fd_ = fd;
  ctx_ = SSL_CTX_new(TLS_client_method());
  if (ctx_ == nullptr) return false;
  SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
  SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
  if (maxVersion_) SSL_CTX_set_max_proto_version(ctx_, maxVersion_);
  // DSA server keys need the TLS 1.2 DSS suites, which the default
  // security level may exclude.
  SSL_CTX_set_security_level(ctx_, 1);
  if (!ciphers_.empty() && SSL_CTX_set_cipher_list(ctx_, ciphers_.c_str()) != 1) return false;
  if (!cert_.empty() && (SSL_CTX_use_certificate_file(ctx_, cert_.c_str(), SSL_FILETYPE_PEM) != 1 ||
                         SSL_CTX_use_PrivateKey_file(ctx_, key_.c_str(), SSL_FILETYPE_PEM) != 1))
    return false;
  ssl_ = SSL_new(ctx_);
  if (ssl_ == nullptr || SSL_set_fd(ssl_, fd_) != 1) return false;
  SSL_set_mode(ssl_, SSL_MODE_AUTO_RETRY);
  long long deadline = NowMs() + timeoutMs;
  // Non-blocking only for the time-outs: the descriptor stays blocking and
  // every call is preceded by a wait.
  for (;;) {
    ERR_clear_error();
    int rc = SSL_connect(ssl_);
    if (rc == 1) break;
    if (!WaitSSL(ssl_, fd_, rc, deadline)) return false;
  }
  // A TLS 1.3 server may refuse the client's certificate only after the
  // client's Finished: one round trip shows it (a failure ends the session).
  return true;
}

bool TLSClient::Send(const std::string& bytes) {
  if (ssl_ == nullptr) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    int n = SSL_write(ssl_, bytes.data() + done, static_cast<int>(bytes.size() - done));
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool TLSClient::ReadExact(void* data, size_t n, int timeoutMs) {
  auto* out = static_cast<char*>(data);
  long long deadline = NowMs() + timeoutMs;
  while (n > 0) {
    if (SSL_pending(ssl_) == 0) {
      long long left = deadline - NowMs();
      pollfd p{fd_, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) != 1) return false;
    }
    int r = SSL_read(ssl_, out, static_cast<int>(n));
    if (r <= 0) {
      int e = SSL_get_error(ssl_, r);
      if (e == SSL_ERROR_WANT_READ) continue;
      return false;
    }
    out += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

bool TLSClient::ReadMessage(std::string* message, int timeoutMs) {
  message->clear();
  if (ssl_ == nullptr) return false;
  return ReadBerMessage([&](void* p, size_t n) { return ReadExact(p, n, timeoutMs); }, message);
}

int TLSClient::ReadSearchDone(int* entries, int timeoutMs) {
  *entries = 0;
  std::string m;
  while (ReadMessage(&m, timeoutMs)) {
    // The protocol op's tag follows the message ID: 0x64 entry, 0x65 done.
    size_t at = 1 + ((static_cast<unsigned char>(m[1]) & 0x80) ? 1 + (m[1] & 0x7F) : 1);
    if (at + 2 >= m.size()) return -1;
    at += 2 + static_cast<unsigned char>(m[at + 1]);  // skip the message ID
    if (at >= m.size()) return -1;
    unsigned char tag = static_cast<unsigned char>(m[at]);
    if (tag == 0x64) {
      ++*entries;
      continue;
    }
    if (tag != 0x65) return -1;
    // resultCode: ENUMERATED after the op's tag and length.
    size_t p = at + 1;
    p += (static_cast<unsigned char>(m[p]) & 0x80) ? 1 + (m[p] & 0x7F) : 1;
    if (p + 2 >= m.size()) return -1;
    return static_cast<unsigned char>(m[p + 2]);
  }
  return -1;
}

bool TLSClient::WaitClosed(int timeoutMs) {
  if (ssl_ == nullptr) return true;
  char buf[256];
  long long deadline = NowMs() + timeoutMs;
  for (;;) {
    long long left = deadline - NowMs();
    pollfd p{fd_, POLLIN, 0};
    if (SSL_pending(ssl_) == 0 && (left <= 0 || poll(&p, 1, static_cast<int>(left)) != 1)) return false;
    int r = SSL_read(ssl_, buf, sizeof buf);
    if (r > 0) return false;
    if (SSL_get_error(ssl_, r) != SSL_ERROR_WANT_READ) return true;
  }
}

void TLSClient::Close() {
  if (ssl_) SSL_free(ssl_);
  if (ctx_) SSL_CTX_free(ctx_);
  if (fd_ >= 0) close(fd_);
  ssl_ = nullptr;
  ctx_ = nullptr;
  fd_ = -1;
}

std::string TLSClient::PeerSubject() const {
  if (ssl_ == nullptr) return "";
  X509* cert = SSL_get1_peer_certificate(ssl_);
  if (cert == nullptr) return "";
  char buf[256];
  X509_NAME_oneline(X509_get_subject_name(cert), buf, sizeof buf);
  X509_free(cert);
  return buf;
}

std::string TLSClient::CipherName() const { return ssl_ ? SSL_get_cipher_name(ssl_) : ""; }

}  // namespace krytest
