// Building search requests and filters with the server's own encoder, and
// taking a stream of search responses apart.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "ldap/ber.h"

namespace kry {
namespace test {

// A filter writer: appends one encoded filter to a buffer being built.
using F = std::function<void(BerBuffer*)>;

inline F Present(const std::string& type) {
  return [=](BerBuffer* b) { ber_printf(b, "ts", 0x87, type.c_str()); };
}
inline F Ava(unsigned tag, const std::string& type, const std::string& value) {
  return [=](BerBuffer* b) { ber_printf(b, "t{ss}", static_cast<int>(tag), type.c_str(), value.c_str()); };
}
inline F Eq(const std::string& t, const std::string& v) { return Ava(0xA3, t, v); }
inline F Ge(const std::string& t, const std::string& v) { return Ava(0xA5, t, v); }
inline F Le(const std::string& t, const std::string& v) { return Ava(0xA6, t, v); }
inline F Approx(const std::string& t, const std::string& v) { return Ava(0xA8, t, v); }
// Components as (tag, text): 0x80 initial, 0x81 any, 0x82 final.
inline F Sub(const std::string& type, std::vector<std::pair<int, std::string>> parts) {
  return [=](BerBuffer* b) {
    ber_printf(b, "t{s{", 0xA4, type.c_str());
    for (const auto& p : parts) ber_printf(b, "to", p.first, p.second.data(), static_cast<int>(p.second.size()));
    ber_printf(b, "}}");
  };
}
inline F List(unsigned tag, std::vector<F> children) {
  return [=](BerBuffer* b) {
    ber_printf(b, "t{", static_cast<int>(tag));
    for (const auto& c : children) c(b);
    ber_printf(b, "}");
  };
}
inline F And(std::vector<F> c) { return List(0xA0, std::move(c)); }
inline F Or(std::vector<F> c) { return List(0xA1, std::move(c)); }
inline F Not(F c) { return List(0xA2, {std::move(c)}); }

inline std::string Bytes(BerBuffer* ber) {
  return std::string(reinterpret_cast<const char*>(ber->buffer()), ber->current);
}

inline std::string EncodeFilter(const F& f) {
  BerBufferPtr b = ber_alloc_ptr(BER_OPTION_DER);
  f(b.get());
  return Bytes(b.get());
}

// The protocol operation of a search request (what do_search decodes).
inline std::string SearchOp(const std::string& base, int scope, const F& filter,
                            const std::vector<std::string>& attrs = {}, int sizelimit = 0, int timelimit = 0) {
  BerBufferPtr b = ber_alloc_ptr(BER_OPTION_DER);
  ber_printf(b.get(), "t{seeiib", 0x63, base.c_str(), scope, 0, sizelimit, timelimit, 0);
  filter(b.get());
  ber_printf(b.get(), "{v}}", &attrs);
  return Bytes(b.get());
}

struct SearchResponses {
  std::vector<std::string> dns;  // entries in the order received
  std::vector<std::vector<std::pair<std::string, std::vector<std::string>>>> attrs;
  bool done = false;
  int code = -1;
  std::string text;
};

// Parses every message of `stream`.
inline SearchResponses ParseResponses(const std::string& stream) {
  SearchResponses r;
  size_t pos = 0;
  while (pos < stream.size()) {
    BerBufferPtr h = ber_init(stream.data() + pos, stream.size() - pos);
    ber_len_t len = 0;
    if (ber_read_header(h.get(), &len) == LBER_DEFAULT) break;
    size_t total = h->current + len;
    if (pos + total > stream.size()) break;
    BerBufferPtr m = ber_init(stream.data() + pos, total);
    pos += total;
    int msgid = 0;
    ber_tag_t tag = 0;
    if (ber_scanf(m.get(), "{it", &msgid, &tag) == -1) break;
    if (tag == 0x64) {
      std::string dn;
      ber_scanf(m.get(), "{a{", &dn);
      r.dns.push_back(dn);
      std::vector<std::pair<std::string, std::vector<std::string>>> attrs;
      std::string type;
      std::vector<std::string> values;
      while (m->remaining() > 0 && ber_scanf(m.get(), "{a[v]}", &type, &values) != -1)
        attrs.emplace_back(type, values);
      r.attrs.push_back(attrs);
    } else if (tag == 0x65) {
      std::string matched;
      ber_scanf(m.get(), "{eaa}", &r.code, &matched, &r.text);
      r.done = true;
    }
  }
  return r;
}

}  // namespace test
}  // namespace kry
