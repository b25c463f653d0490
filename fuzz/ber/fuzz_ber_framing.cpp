// Feeds arbitrary bytes through the socket framing (ber_get_next over a
// socketpair whose writer then closes) and takes every message apart with
// the request formats the handlers use. Decoded search and add requests are
// re-encoded and decoded again; a mismatch aborts.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ldap/ber.h"
#include "ldap/sockbuf.h"
#include "log/eventlog.h"

using namespace kry;

namespace {

BerBufferPtr Copy(const BerBuffer& ber) { return ber_init(ber.buffer() + ber.current, ber.remaining()); }

// A decoder positioned after the message ID, or null.
BerBufferPtr AfterMessageId(const BerBuffer& message) {
  BerBufferPtr ber = Copy(message);
  int msgid = 0;
  if (!ber || ber_scanf(ber.get(), "i", &msgid) == -1) return nullptr;
  return ber;
}

void CheckSearchRoundTrip(const std::string& base, int scope, int deref, int size, int time, int attrsonly,
                          const std::vector<std::string>& attrs) {
  for (int options : {0, BER_OPTION_DER}) {
    BerBuffer out(options);
    if (ber_printf(&out, "{it{seeiibts{v}}}", 1, 0x63, base.c_str(), scope, deref, size, time, attrsonly, 0x87,
                   "objectclass", &attrs) == -1) {
      abort();
    }
    BerBufferPtr in = ber_init(out.buffer(), out.current);
    int msgid, s2, d2, z2, t2, a2;
    std::string b2;
    std::vector<std::string> attrs2;
    if (ber_scanf(in.get(), "{i{aiiiib", &msgid, &b2, &s2, &d2, &z2, &t2, &a2) == -1) abort();
    if (ber_scanf(in.get(), "x") == -1 || ber_scanf(in.get(), "{v}}}", &attrs2) == -1) abort();
    if (base.find('\0') == std::string::npos && b2 != base) abort();
    if (s2 != scope || d2 != deref || z2 != size || t2 != time || (a2 != 0) != (attrsonly != 0)) abort();
    for (const std::string& a : attrs) {
      if (a.find('\0') != std::string::npos) return;  // 'v' writes texts up to their NUL only
    }
    if (attrs2 != attrs) abort();
  }
}

void TryRequestFormats(const BerBuffer& message) {
  std::string a1, a2, a3;
  int i1, i2, i3, i4, i5;
  ber_tag_t t1;
  BerValue v1;
  std::vector<std::string> strings;
  std::vector<BerValue> values;
  ber_len_t len;
  size_t last;

  BerBufferPtr ber = AfterMessageId(message);
  if (!ber) return;
  ber_tag_t op = ber_peek_header(ber.get(), &len);
  (void)op;

  if ((ber = AfterMessageId(message))) ber_scanf(ber.get(), "i", &i1);       // abandon
  if ((ber = AfterMessageId(message))) ber_scanf(ber.get(), "a", &a1);       // delete
  if ((ber = AfterMessageId(message))) ber_scanf(ber.get(), "{iato}", &i1, &a1, &t1, &v1);   // bind
  if ((ber = AfterMessageId(message))) ber_scanf(ber.get(), "{{iato}}", &i1, &a1, &t1, &v1); // bind, 3.0 framing
  if ((ber = AfterMessageId(message))) ber_scanf(ber.get(), "{a{ao}}", &a1, &a2, &v1);       // compare
  if ((ber = AfterMessageId(message))) ber_scanf(ber.get(), "{aab}", &a1, &a2, &i1);         // modify DN
  if ((ber = AfterMessageId(message))) {                                                      // search
    if (ber_scanf(ber.get(), "{aiiiib", &a1, &i1, &i2, &i3, &i4, &i5) != -1 && ber_scanf(ber.get(), "x") != -1 &&
        ber_scanf(ber.get(), "{v}}", &strings) != -1) {
      CheckSearchRoundTrip(a1, i1, i2, i3, i4, i5, strings);
    }
  }
  if ((ber = AfterMessageId(message)) && ber_scanf(ber.get(), "{a", &a1) != -1) {  // modify
    for (ber_tag_t t = ber_first_item(ber.get(), &len, &last); t != LBER_DEFAULT; t = ber_next_item(ber.get(), &len, last)) {
      if (ber_scanf(ber.get(), "{i{a[V]}}", &i1, &a2, &values) == -1) break;
    }
  }
  if ((ber = AfterMessageId(message)) && ber_scanf(ber.get(), "{a", &a1) != -1) {  // add
    for (ber_tag_t t = ber_first_item(ber.get(), &len, &last); t != LBER_DEFAULT; t = ber_next_item(ber.get(), &len, last)) {
      if (ber_scanf(ber.get(), "{a{V}}", &a2, &values) == -1) break;
      BerBuffer out(BER_OPTION_DER);
      if (ber_printf(&out, "{o[V]}", a2.data(), static_cast<int>(a2.size()), &values) == -1) abort();
      BerBufferPtr in = ber_init(out.buffer(), out.current);
      std::vector<BerValue> back;
      if (ber_scanf(in.get(), "{a{V}}", &a3, &back) == -1 || a3 != a2 || back != values) abort();
    }
  }
  // The remaining letters, on whatever follows the message ID.
  if ((ber = AfterMessageId(message))) {
    char small[16];
    int size = sizeof small;
    std::unique_ptr<BerValue> owned;
    ber_scanf(ber.get(), "T", &t1);
    ber_scanf(ber.get(), "s", small, &size);
    ber_scanf(ber.get(), "BlO", &a1, &i1, &len, &owned);
    ber_scanf(ber.get(), "tnxe", &t1, &i1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Drop every event: the refusal warning would otherwise flood the output.
  setenv("KRYCERTD_EVENTLOG", "/dev/null", 1);
  ErrorLogInit("fuzz_ber_framing", 64, 0, 0);
  g_berSocketTimeoutMs = 1000;
  g_berMaxMessageSize = 1u << 20;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
  fcntl(fds[1], F_SETFL, O_NONBLOCK);
  size_t written = 0;
  while (written < size) {
    ssize_t n = write(fds[1], data + written, size - written);
    if (n <= 0) break;  // the socket buffer is full: the rest is cut off
    written += static_cast<size_t>(n);
  }
  close(fds[1]);

  Sockbuf sb;
  sockbuf_reset(&sb, fds[0]);
  // Alternate the two read modes on the first byte.
  sb.options = (size > 0 && (data[0] & 1)) ? SOCKBUF_OPTION_NO_READ_AHEAD : 0;
  for (int i = 0; i < 64; ++i) {
    BerBuffer message(0);
    ber_len_t length = 0;
    ber_tag_t tag = ber_get_next(&sb, &length, &message);
    if (tag == LBER_DEFAULT) break;
    if (length != message.end || length == 0 || length > g_berMaxMessageSize.load()) abort();
    TryRequestFormats(message);
  }
  close(fds[0]);
  return 0;
}
