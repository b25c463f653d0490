#include "bench/hkpload/http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <sstream>
#include <utility>

namespace krybench {

namespace {

constexpr int kReadTimeoutMs = 30000;

std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Trim(const std::string& s) {
  const size_t a = s.find_first_not_of(" \t\r");
  if (a == std::string::npos) return std::string();
  return s.substr(a, s.find_last_not_of(" \t\r") + 1 - a);
}

}  // namespace

bool ParseHttpHead(const std::string& head, HttpHead* out) {
  std::stringstream ss(head);
  std::string line;
  if (!std::getline(ss, line) || line.compare(0, 7, "HTTP/1.") != 0 || line.size() < 12) return false;
  const bool http10 = line[7] == '0';
  out->status = std::atoi(line.c_str() + 9);
  if (out->status < 100 || out->status > 999) return false;
  out->contentLength = -1;
  bool keepAlive = false, close = false;
  while (std::getline(ss, line)) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::string name = Lower(Trim(line.substr(0, colon))), value = Lower(Trim(line.substr(colon + 1)));
    if (name == "content-length") out->contentLength = std::strtol(value.c_str(), nullptr, 10);
    else if (name == "connection" && value == "close") close = true;
    else if (name == "connection" && value == "keep-alive") keepAlive = true;
  }
  out->close = close || (http10 && !keepAlive) || out->contentLength < 0;
  return true;
}

std::string FormEncode(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '*') {
      out += char(c);
    } else if (c == ' ') {
      out += '+';
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

HttpConnection::HttpConnection(std::string host, int port, bool keepAlive)
    : host_(std::move(host)), port_(port), keepAlive_(keepAlive) {}

HttpConnection::~HttpConnection() { Close(); }

void HttpConnection::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  buffer_.clear();
}

bool HttpConnection::Open() {
  Close();
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port_));
  if (inet_pton(AF_INET, host_.c_str(), &addr.sin_addr) != 1) return false;
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  const int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  ++connects_;
  if (::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    Close();
    return false;
  }
  return true;
}

bool HttpConnection::SendAll(const std::string& data) {
  for (size_t done = 0; done < data.size();) {
    const ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

bool HttpConnection::ReadMore() {
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, kReadTimeoutMs) != 1) return false;
  char chunk[16384];
  const ssize_t n = ::read(fd_, chunk, sizeof chunk);
  if (n <= 0) return false;
  buffer_.append(chunk, size_t(n));
  return true;
}

int HttpConnection::Exchange(const std::string& path, const std::string& form, std::string* body) {
  std::string request = (form.empty() ? "GET " : "POST ") + path + " HTTP/1.1\r\nHost: " + host_ + ":" +
                        std::to_string(port_) + "\r\n";
  if (!keepAlive_) request += "Connection: close\r\n";
  if (!form.empty())
    request += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " + std::to_string(form.size()) +
               "\r\n";
  request += "\r\n" + form;
  // A kept connection the server has closed meanwhile fails on first use:
  // one retry on a new connection.
  const bool reused = fd_ >= 0;
  if ((fd_ < 0 && !Open()) || !SendAll(request)) {
    if (!reused || !Open() || !SendAll(request)) return 0;
  }
  size_t headEnd;
  while ((headEnd = buffer_.find("\r\n\r\n")) == std::string::npos) {
    if (!ReadMore()) {
      const bool retry = reused && buffer_.empty();
      Close();
      return retry ? Exchange(path, form, body) : 0;
    }
  }
  HttpHead head;
  if (!ParseHttpHead(buffer_.substr(0, headEnd), &head)) {
    Close();
    return 0;
  }
  const size_t start = headEnd + 4;
  if (head.contentLength >= 0) {
    while (buffer_.size() < start + size_t(head.contentLength))
      if (!ReadMore()) {
        Close();
        return 0;
      }
  } else {
    while (ReadMore()) {
    }
  }
  const size_t length = head.contentLength >= 0 ? size_t(head.contentLength) : buffer_.size() - start;
  body->assign(buffer_, start, length);
  buffer_.erase(0, start + length);
  if (head.close || !keepAlive_) Close();
  return head.status;
}

}  // namespace krybench
