// Decoded search filters: the Filter tree, its decoding from a search
// request and its printable string. The string shows types in lower case and
// values in canonical form, and is built while decoding.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ldap/regex.h"

namespace kry {

struct Connection;
class BerBuffer;

// BER tags of the filter alternatives (the choice of a Filter).
enum FilterChoice : uint32_t {
  LDAP_FILTER_AND = 0xA0,
  LDAP_FILTER_OR = 0xA1,
  LDAP_FILTER_NOT = 0xA2,
  LDAP_FILTER_EQUALITY = 0xA3,
  LDAP_FILTER_SUBSTRINGS = 0xA4,
  LDAP_FILTER_GE = 0xA5,
  LDAP_FILTER_LE = 0xA6,
  LDAP_FILTER_PRESENT = 0x87,
  LDAP_FILTER_APPROX = 0xA8,
};

// Result code of an empty substring component.
constexpr int LDAP_INAPPROPRIATE_MATCHING = 21;
// Deepest and/or/not nesting accepted; deeper filters are decoding errors.
constexpr int kMaxFilterDepth = 64;

struct Filter;
using FilterPtr = std::unique_ptr<Filter>;

struct Filter {
  uint32_t choice = 0;
  // present, the assertions and substrings: the attribute type (lower case).
  std::string type;
  // equality, ge, le, approx: the assertion value (canonical).
  std::string value;
  // substrings: each part canonical; initial and final may be absent.
  bool hasInitial = false;
  bool hasFinal = false;
  std::string initial;
  std::vector<std::string> any;
  std::string final;
  // and, or: the children in order; not: exactly one child. Children are
  // kept in a vector rather than a sibling chain so that freeing a long
  // list never recurses.
  std::vector<FilterPtr> children;
  // substrings: the expression made from the parts by the first entry
  // tested, kept for the rest of the search (a filter belongs to one search
  // on one thread). State 0: not made yet; 1: `substrings` holds it; 2: it
  // is empty and everything matches; -1: it could not be made.
  mutable int substringsState = 0;
  mutable Regex substrings;
};

// Decodes one filter at the buffer's position. 0, or an LDAP result code: 2
// for a decoding error, an unknown alternative or nesting deeper than
// kMaxFilterDepth, 21 for an empty substring component. On success *filter
// and *filterString are set; on failure their contents are unspecified.
int get_filter(Connection* conn, BerBuffer* ber, FilterPtr* filter, std::string* filterString);

// Frees a filter tree (the FilterPtr does it too; kept for callers that hold
// a raw tree).
void filter_release(FilterPtr filter);

// The filter string of an already decoded tree (same form as get_filter's).
std::string filter_to_string(const Filter& f);

}  // namespace kry
