// One LDAP v2 connection to a replica, plain or TLS (with a client
// certificate, the primary's server key, when one is given). Adds are sent
// one at a time and answered before the next.
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>

namespace kryrepl {

struct TLSFiles {
  std::string certFile, keyFile;  // PEM; empty: no client certificate
};

class LdapClient {
 public:
  LdapClient() = default;
  ~LdapClient();
  LdapClient(const LdapClient&) = delete;
  LdapClient& operator=(const LdapClient&) = delete;

  // Connects (from the local address `source` unless empty), runs the TLS
  // handshake when `tls`, and binds anonymously with version 2. False with
  // error() set.
  bool Open(const std::string& host, int port, bool tls, const TLSFiles& files, int timeoutMs,
            const std::string& source = std::string());
  bool connected() const { return fd_ >= 0; }
  // Sends an add of `dn` with one attribute value; the result code, or -1
  // with error() set and the connection closed when it failed.
  int Add(const std::string& dn, const std::string& type, const std::string& value);
  void Close();
  const std::string& error() const { return error_; }

 private:
  bool Fail(const std::string& why);
  bool SendAll(const std::string& bytes);
  bool ReadExact(void* data, size_t n);
  // One response: its result code, or -1.
  int ReadResult();

  struct CtxFree {
    void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
  };
  struct SslFree {
    void operator()(SSL* s) const { SSL_free(s); }
  };
  int fd_ = -1;
  int msgid_ = 0;
  std::unique_ptr<SSL_CTX, CtxFree> ctx_;
  std::unique_ptr<SSL, SslFree> ssl_;
  std::string error_;
};

}  // namespace kryrepl
