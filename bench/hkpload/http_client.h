// A minimal HTTP/1.1 client for load generation: one request at a time on a
// connection that is kept open while the server allows it and opened again
// when the server closes it, so one client measures servers that keep
// connections alive and servers that do not.
#pragma once

#include <string>

namespace krybench {

// What the head of an HTTP answer says about reading the rest of it.
struct HttpHead {
  int status = 0;
  long contentLength = -1;  // -1: none given, the body runs to the end of the connection
  bool close = false;       // the server will close the connection after this answer
};

// Parses an answer's head (status line and header lines, without the blank
// line). Header names are compared ignoring case; an HTTP/1.0 answer closes
// unless it says "Connection: keep-alive". False when the status line is bad.
bool ParseHttpHead(const std::string& head, HttpHead* out);

// The application/x-www-form-urlencoded form of text.
std::string FormEncode(const std::string& text);

class HttpConnection {
 public:
  // keepAlive false asks the server to close after every answer.
  HttpConnection(std::string host, int port, bool keepAlive);
  ~HttpConnection();
  HttpConnection(const HttpConnection&) = delete;
  HttpConnection& operator=(const HttpConnection&) = delete;

  // Sends one request (body empty: GET, otherwise a form POST) and reads the
  // whole answer into *body. The status, or 0 when no answer was read.
  int Exchange(const std::string& path, const std::string& form, std::string* body);
  // TCP connections opened so far.
  long connects() const { return connects_; }

 private:
  bool Open();
  void Close();
  bool SendAll(const std::string& data);
  // Reads into buffer_ until it holds `need` bytes; false at EOF or error.
  bool ReadMore();

  std::string host_;
  int port_;
  bool keepAlive_;
  int fd_ = -1;
  long connects_ = 0;
  std::string buffer_;
};

}  // namespace krybench
