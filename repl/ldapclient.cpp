#include "repl/ldapclient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netdb.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "ldap/ber.h"

namespace kryrepl {

namespace {

constexpr unsigned kBindRequest = 0x60;
constexpr unsigned kAddRequest = 0x68;
constexpr size_t kMaxResponse = 1 << 20;

std::string Encoded(kry::BerBuffer* ber) {
  return std::string(reinterpret_cast<const char*>(ber->buffer()), ber->current);
}

// Binds `fd` to the local address `source` (none when empty), so that a
// replica that lists this server sees the address it knows.
bool BindSource(int fd, int family, const std::string& source) {
  if (source.empty()) return true;
  sockaddr_storage local{};
  socklen_t len = 0;
  if (family == AF_INET) {
    auto* in = reinterpret_cast<sockaddr_in*>(&local);
    in->sin_family = AF_INET;
    if (inet_pton(AF_INET, source.c_str(), &in->sin_addr) != 1) return false;
    len = sizeof *in;
  } else {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&local);
    in6->sin6_family = AF_INET6;
    if (inet_pton(AF_INET6, source.c_str(), &in6->sin6_addr) != 1) return false;
    len = sizeof *in6;
  }
  return bind(fd, reinterpret_cast<sockaddr*>(&local), len) == 0;
}

// A TCP connection within the time limit; -1 with *error set.
int ConnectTcp(const std::string& host, int port, int timeoutMs, const std::string& source, std::string* error) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list)) {
    *error = std::string("cannot resolve host: ") + gai_strerror(rc);
    return -1;
  }
  int fd = -1;
  *error = "cannot connect";
  for (addrinfo* a = list; a && fd < 0; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) continue;
    int rc = BindSource(fd, a->ai_family, source) ? connect(fd, a->ai_addr, a->ai_addrlen) : -1;
    if (rc != 0 && errno == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      int soerr = ETIMEDOUT;
      socklen_t len = sizeof soerr;
      if (poll(&p, 1, timeoutMs) == 1) getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &len);
      rc = soerr == 0 ? 0 : -1;
      errno = soerr;
    }
    if (rc != 0) {
      *error = std::string("cannot connect: ") + std::strerror(errno);
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(list);
  if (fd >= 0) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  }
  return fd;
}

}  // namespace

LdapClient::~LdapClient() { Close(); }

void LdapClient::Close() {
  ssl_.reset();
  ctx_.reset();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool LdapClient::Fail(const std::string& why) {
  error_ = why;
  Close();
  return false;
}

bool LdapClient::Open(const std::string& host, int port, bool tls, const TLSFiles& files, int timeoutMs,
                      const std::string& source) {
  Close();
  fd_ = ConnectTcp(host, port, timeoutMs, source, &error_);
  if (fd_ < 0) return false;
  if (tls) {
    ctx_.reset(SSL_CTX_new(TLS_client_method()));
    if (!ctx_) return Fail("cannot create a TLS context");
    SSL_CTX_set_min_proto_version(ctx_.get(), TLS1_2_VERSION);
    if (!files.certFile.empty() &&
        (SSL_CTX_use_certificate_chain_file(ctx_.get(), files.certFile.c_str()) != 1 ||
         SSL_CTX_use_PrivateKey_file(ctx_.get(), files.keyFile.c_str(), SSL_FILETYPE_PEM) != 1))
      return Fail("cannot load the client certificate " + files.certFile);
    ssl_.reset(SSL_new(ctx_.get()));
    if (!ssl_ || SSL_set_fd(ssl_.get(), fd_) != 1 || SSL_connect(ssl_.get()) != 1) {
      ERR_clear_error();
      return Fail("TLS handshake failed");
    }
  }
  kry::BerBufferPtr ber = kry::ber_alloc_ptr(kry::BER_OPTION_DER);
  kry::ber_printf(ber.get(), "{it{isto}}", ++msgid_, kBindRequest, 2, "", 0x80, "", 0);
  if (!SendAll(Encoded(ber.get()))) return false;
  const int rc = ReadResult();
  if (rc < 0) return false;
  if (rc != 0) return Fail("bind refused with result " + std::to_string(rc));
  return true;
}

int LdapClient::Add(const std::string& dn, const std::string& type, const std::string& value) {
  if (fd_ < 0) {
    error_ = "not connected";
    return -1;
  }
  const std::vector<std::string> values{value};
  kry::BerBufferPtr ber = kry::ber_alloc_ptr(kry::BER_OPTION_DER);
  kry::ber_printf(ber.get(), "{it{s{{s[v]}}}}", ++msgid_, kAddRequest, dn.c_str(), type.c_str(), &values);
  if (!SendAll(Encoded(ber.get()))) return -1;
  return ReadResult();
}

bool LdapClient::SendAll(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    long n = ssl_ ? SSL_write(ssl_.get(), bytes.data() + done, static_cast<int>(bytes.size() - done))
                  : ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) {
      if (!ssl_ && n < 0 && errno == EINTR) continue;
      ERR_clear_error();
      return Fail(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? "time-out sending" : "connection lost");
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool LdapClient::ReadExact(void* data, size_t n) {
  char* p = static_cast<char*>(data);
  while (n > 0) {
    long got = ssl_ ? SSL_read(ssl_.get(), p, static_cast<int>(n)) : ::recv(fd_, p, n, 0);
    if (got <= 0) {
      if (!ssl_ && got < 0 && errno == EINTR) continue;
      ERR_clear_error();
      return Fail(got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? "time-out waiting for the answer"
                                                                          : "connection closed by the replica");
    }
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

int LdapClient::ReadResult() {
  unsigned char head[2];
  if (!ReadExact(head, 2)) return -1;
  std::string message(reinterpret_cast<char*>(head), 2);
  size_t length = head[1];
  if (head[1] & 0x80) {
    const size_t octets = head[1] & 0x7F;
    unsigned char more[4];
    if (octets == 0 || octets > 4 || !ReadExact(more, octets)) return Fail("bad answer from the replica"), -1;
    length = 0;
    for (size_t i = 0; i < octets; ++i) length = (length << 8) | more[i];
    message.append(reinterpret_cast<char*>(more), octets);
  }
  if (length > kMaxResponse) return Fail("answer too long"), -1;
  std::string body(length, '\0');
  if (!ReadExact(body.data(), length)) return -1;
  message += body;
  kry::BerBufferPtr ber = kry::ber_init(message.data(), message.size());
  int id = 0, code = -1;
  kry::ber_tag_t tag = 0;
  std::string matched, text;
  if (!ber || kry::ber_scanf(ber.get(), "{it{eaa}}", &id, &tag, &code, &matched, &text) == -1)
    return Fail("undecodable answer from the replica"), -1;
  error_ = text;
  return code;
}

}  // namespace kryrepl
