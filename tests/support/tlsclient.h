// A TLS client for tests and benchmarks (OpenSSL, TLS 1.2 or 1.3), with an
// optional client certificate, reading whole BER messages like Client.
#pragma once

#include <string>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace krytest {

class TLSClient {
 public:
  TLSClient() = default;
  ~TLSClient();
  TLSClient(const TLSClient&) = delete;
  TLSClient& operator=(const TLSClient&) = delete;

  // Client certificate and key (PEM files) to present; empty for none.
  // maxVersion: 0 for the library's best, else 0x0303 (TLS 1.2) or 0x0304.
  void Configure(const std::string& certFile, const std::string& keyFile, int maxVersion = 0);
  // TLS 1.2 suites to offer (OpenSSL cipher-list syntax); empty: the default.
  void SetCipherList(const std::string& list) { ciphers_ = list; }
  // TCP connection to 127.0.0.1:port and the handshake.
  bool Connect(int port, int timeoutMs = 5000);
  // The handshake over an already connected descriptor (taken over).
  bool Handshake(int fd, int timeoutMs = 5000);
  bool Send(const std::string& bytes);
  // One whole BER message within the time-out; false at end, error or time-out.
  bool ReadMessage(std::string* message, int timeoutMs = 5000);
  // Responses up to the final search result: its code, or -1.
  int ReadSearchDone(int* entries, int timeoutMs = 10000);
  // True when the server ended the session (close_notify, end of stream or
  // reset) within the time-out.
  bool WaitClosed(int timeoutMs = 5000);
  void Close();
  // "CN = ..." line of the server certificate's subject; the suite name.
  std::string PeerSubject() const;
  std::string CipherName() const;
  SSL* ssl() const { return ssl_; }

 private:
  bool ReadExact(void* data, size_t n, int timeoutMs);
  std::string cert_, key_;
  int maxVersion_ = 0;
  std::string ciphers_;
  int fd_ = -1;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
};

}  // namespace krytest
