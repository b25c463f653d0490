// Decodes arbitrary bytes as a search request's protocol operation the way
// the search handler does (the first byte picks the framing and the
// substring mode), prints the filter, and tests it against a sample entry.
// The printed form of the decoded tree must equal the string built while
// decoding; a mismatch aborts.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "back-ldbm/index.h"
#include "ldap/ber.h"
#include "ldap/entry.h"
#include "ldap/filter.h"
#include "ldap/filterentry.h"
#include "log/eventlog.h"
#include "runtime/connection.h"

using namespace kry;

namespace {

const Entry& Sample() {
  static Entry* e = [] {
    auto* s = new Entry;
    s->dn = "kryUserID=John Smith <js@example.com>,OU=ACTIVE,O=KRY KEYSPACE,C=US";
    attr_merge(s, "objectclass", "kryUserID");
    attr_merge(s, "kryUserID", "John Smith <js@example.com>");
    attr_merge(s, "cn", std::vector<std::string>{"John Smith", "'J. S.'", "A.B*C[d]^$\\"});
    attr_merge(s, "sn", std::vector<std::string>{"B", "C"});
    return s;
  }();
  return *e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  static Connection* conn = new Connection;
  conn->c_version = (mode & 1) ? 30 : 0;
  index_set_word_mode((mode & 2) != 0);

  BerBufferPtr ber = ber_init(data + 1, size - 1);
  if (!ber) return 0;
  std::string base;
  int scope = 0, deref = 0, sizelimit = 0, timelimit = 0, attrsonly = 0;
  if (ber_scanf(ber.get(), "{aiiiib", &base, &scope, &deref, &sizelimit, &timelimit, &attrsonly) == -1) return 0;
  FilterPtr filter;
  std::string text;
  int rc = get_filter(conn, ber.get(), &filter, &text);
  if (rc != 0) {
    if (rc != 2 && rc != LDAP_INAPPROPRIATE_MATCHING) abort();
    return 0;
  }
  if (!filter || filter_to_string(*filter) != text) abort();
  std::vector<std::string> attrs;
  ber_scanf(ber.get(), "{v}}", &attrs);
  int r = test_filter(nullptr, nullptr, nullptr, &Sample(), filter.get());
  if (r < -1 || r > 1) abort();
  return 0;
}
