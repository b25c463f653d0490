#include "recon/net/hashquery_client.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "recon/net/socket.h"
#include "util/bigendian.h"
#include "util/strutil.h"

namespace kry {
namespace recon_net {

namespace {

// The value of header `name` (case ignored) in `head`; false when absent.
bool FindHeader(const std::string& head, const char* name, std::string* value) {
  const std::string wanted = ToLower(name);
  size_t at = head.find("\r\n");
  while (at != std::string::npos && at + 2 < head.size()) {
    const size_t start = at + 2;
    const size_t end = head.find("\r\n", start);
    const std::string line = head.substr(start, end == std::string::npos ? std::string::npos : end - start);
    const size_t colon = line.find(':');
    if (colon != std::string::npos && ToLower(line.substr(0, colon)) == wanted) {
      const size_t v = line.find_first_not_of(" \t", colon + 1);
      *value = v == std::string::npos ? std::string() : line.substr(v);
      while (!value->empty() && (value->back() == ' ' || value->back() == '\t')) value->pop_back();
      return true;
    }
    at = end;
  }
  return false;
}

// Reads until the peer closes, at most `cap` bytes.
bool ReadToEnd(int fd, size_t cap, std::string* out, std::string* error) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      const bool late = errno == EAGAIN || errno == EWOULDBLOCK;
      *error = late ? "answer timed out" : std::string("recv: ") + std::strerror(errno);
      return false;
    }
    if (out->size() + static_cast<size_t>(n) > cap) {
      *error = "answer larger than " + std::to_string(cap) + " bytes";
      return false;
    }
    out->append(buffer, static_cast<size_t>(n));
  }
}

}  // namespace

std::string EncodeHashquery(const std::vector<krypgp::SksDigest>& digests) {
  std::string body;
  body.reserve(4 + digests.size() * 20);
  AppendBE32(&body, static_cast<uint32_t>(digests.size()));
  for (const krypgp::SksDigest& d : digests) {
    AppendBE32(&body, static_cast<uint32_t>(d.size()));
    body.append(reinterpret_cast<const char*>(d.data()), d.size());
  }
  return body;
}

bool ParseHashqueryAnswer(const std::string& body, size_t maxKeys, std::vector<std::string>* keys,
                          std::string* error) {
  keys->clear();
  if (body.size() < 4) {
    *error = "answer shorter than its count";
    return false;
  }
  const uint32_t count = LoadBE32(body.data() + 0);
  if (count > maxKeys) {
    *error = "answer holds " + std::to_string(count) + " keys, more than the " + std::to_string(maxKeys) + " asked for";
    return false;
  }
  size_t at = 4;
  for (uint32_t i = 0; i < count; ++i) {
    if (body.size() - at < 4) {
      *error = "answer ends inside a key's length";
      return false;
    }
    const uint32_t length = LoadBE32(body.data() + at);
    at += 4;
    if (length == 0 || body.size() - at < length) {
      *error = "answer ends inside a key";
      return false;
    }
    keys->push_back(body.substr(at, length));
    at += length;
  }
  const std::string rest = body.substr(at);
  if (!rest.empty() && rest != "\r\n") {
    *error = "answer has " + std::to_string(rest.size()) + " bytes after its keys";
    keys->clear();
    return false;
  }
  return true;
}

bool SplitHttpResponse(const std::string& response, int* status, std::string* body, std::string* error) {
  const size_t headEnd = response.find("\r\n\r\n");
  if (headEnd == std::string::npos || response.compare(0, 5, "HTTP/") != 0) {
    *error = "answer is not an HTTP response";
    return false;
  }
  const std::string head = response.substr(0, headEnd + 2);
  const size_t space = head.find(' ');
  if (space == std::string::npos || space + 4 > head.size()) {
    *error = "answer has no status";
    return false;
  }
  const std::string code = head.substr(space + 1, 3);
  if (code.find_first_not_of("0123456789") != std::string::npos) {
    *error = "answer has no status";
    return false;
  }
  *status = std::atoi(code.c_str());
  std::string value;
  if (FindHeader(head, "Transfer-Encoding", &value) && ToLower(value) != "identity") {
    *error = "answer uses transfer encoding " + value;
    return false;
  }
  *body = response.substr(headEnd + 4);
  if (FindHeader(head, "Content-Length", &value)) {
    if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos || value.size() > 18 ||
        std::strtoull(value.c_str(), nullptr, 10) != body->size()) {
      *error = "answer body does not match its Content-Length";
      return false;
    }
  }
  return true;
}

bool FetchByDigests(const std::string& host, int port, const std::vector<krypgp::SksDigest>& digests,
                    const HashqueryLimits& limits, std::vector<std::string>* keys, std::string* error) {
  keys->clear();
  Socket s = ConnectTo(host, port, limits.timeoutMs, error);
  if (!s) return false;
  const std::string body = EncodeHashquery(digests);
  const std::string request = StrFormat(
      "POST /pks/hashquery HTTP/1.0\r\nHost: %s:%d\r\nContent-Type: sks/hashquery\r\nContent-Length: %zu\r\n"
      "Connection: close\r\n\r\n",
      host.c_str(), port, body.size());
  if (!SendAll(s.get(), request.data(), request.size()) || !SendAll(s.get(), body.data(), body.size())) {
    *error = "sending the hash query failed";
    return false;
  }
  std::string response;
  if (!ReadToEnd(s.get(), limits.maxResponseBytes, &response, error)) return false;
  int status = 0;
  std::string answer;
  if (!SplitHttpResponse(response, &status, &answer, error)) return false;
  if (status != 200) {
    *error = "hash query answered with HTTP status " + std::to_string(status);
    return false;
  }
  return ParseHashqueryAnswer(answer, digests.size(), keys, error);
}

}  // namespace recon_net
}  // namespace kry
