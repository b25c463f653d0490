// How the HKP load client reads an answer's head decides whether it waits
// for a length, reads to the end, or reuses the connection; keyservers
// differ in all three.
#include <gtest/gtest.h>

#include "bench/hkpload/http_client.h"

namespace krybench {
namespace {

TEST(HttpHead, LengthAndKeepAliveFollowTheVersionAndHeaders) {
  HttpHead h;
  ASSERT_TRUE(ParseHttpHead("HTTP/1.1 200 OK\r\nContent-Length: 12\r\nContent-Type: text/plain", &h));
  EXPECT_EQ(h.status, 200);
  EXPECT_EQ(h.contentLength, 12);
  EXPECT_FALSE(h.close);
  // An HTTP/1.0 answer closes unless it says otherwise; names ignore case.
  ASSERT_TRUE(ParseHttpHead("HTTP/1.0 200 OK\r\nServer: x\r\nContent-length: 135", &h));
  EXPECT_EQ(h.contentLength, 135);
  EXPECT_TRUE(h.close);
  ASSERT_TRUE(ParseHttpHead("HTTP/1.0 404 Not found\r\ncontent-length: 0\r\nConnection: Keep-Alive", &h));
  EXPECT_EQ(h.status, 404);
  EXPECT_FALSE(h.close);
  ASSERT_TRUE(ParseHttpHead("HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 1", &h));
  EXPECT_TRUE(h.close);
  // Without a length the body runs to the end of the connection.
  ASSERT_TRUE(ParseHttpHead("HTTP/1.1 200 OK\r\nContent-Type: text/plain", &h));
  EXPECT_EQ(h.contentLength, -1);
  EXPECT_TRUE(h.close);
  EXPECT_FALSE(ParseHttpHead("SSH-2.0-OpenSSH", &h));
  EXPECT_FALSE(ParseHttpHead("HTTP/1.1 abc", &h));
}

TEST(HttpHead, FormEncodingKeepsArmourIntact) {
  EXPECT_EQ(FormEncode("a+b/c=d\n-_.*x y"), "a%2Bb%2Fc%3Dd%0A-_.*x+y");
}

}  // namespace
}  // namespace krybench
