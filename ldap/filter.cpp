#include "ldap/filter.h"

#include "ldap/ber.h"
#include "ldap/entry.h"
#include "ldap/syntax.h"
#include "log/trace.h"
#include "runtime/connection.h"

namespace kry {

namespace {

constexpr int kDecodingError = 2;

bool V30(const Connection* conn) { return conn && conn->c_version.load() == 30; }

// Skips one element header (the extra wrapping of the version-3.0 framing).
bool SkipHeader(BerBuffer* ber) {
  ber_len_t len = 0;
  return ber_read_header(ber, &len) != LBER_DEFAULT;
}

int GetFilter(Connection* conn, BerBuffer* ber, FilterPtr* filter, std::string* fstr, int depth);
void AppendString(const Filter& f, std::string* out);

// A SET or SEQUENCE must lie inside the message, and its elements must end
// exactly where it ends; otherwise a cut-short request would decode as a
// shorter list.
bool ContainerFits(const BerBuffer* ber, size_t last) { return last <= ber->end; }
bool ContainerDone(const BerBuffer* ber, size_t last) { return ber->current == last; }

int GetAva(BerBuffer* ber, Filter* f) {
  BerValue value;
  if (ber_scanf(ber, "{ao}", &f->type, &value) == -1) {
    Debug(LDAP_DEBUG_ANY, "  get_ava ber_scanf\n");
    return kDecodingError;
  }
  type_lowercase(f->type);
  f->value = std::move(value.bv_val);
  value_canonicalize(f->value, attr_syntax_of(f->type));
  return 0;
}

int GetFilterList(Connection* conn, BerBuffer* ber, Filter* f, std::string* fstr, int depth) {
  Debug(LDAP_DEBUG_FILTER, "begin get_filter_list\n");
  if (V30(conn) && !SkipHeader(ber)) return kDecodingError;
  ber_len_t len = 0;
  size_t last = 0;
  int err = 0;
  size_t start = ber->current;
  ber_tag_t tag = ber_first_item(ber, &len, &last);
  if (ber->current == start || !ContainerFits(ber, last)) return kDecodingError;
  for (; tag != LBER_DEFAULT; tag = ber_next_item(ber, &len, last)) {
    FilterPtr child;
    std::string childString;
    if ((err = GetFilter(conn, ber, &child, &childString, depth + 1)) != 0) break;
    f->children.push_back(std::move(child));
    fstr->append(childString);
  }
  if (err == 0 && !ContainerDone(ber, last)) err = kDecodingError;
  Debug(LDAP_DEBUG_FILTER, "end get_filter_list\n");
  return err;
}

int GetSubstringFilter(Connection* conn, BerBuffer* ber, Filter* f, std::string* fstr) {
  Debug(LDAP_DEBUG_FILTER, "begin get_substring_filter\n");
  const bool v30 = V30(conn);
  if (v30 && !SkipHeader(ber)) return kDecodingError;
  if (ber_scanf(ber, "{a", &f->type) == -1) return kDecodingError;
  type_lowercase(f->type);
  const int syntax = attr_syntax_of(f->type);

  ber_len_t len = 0;
  size_t last = 0;
  size_t start = ber->current;
  ber_tag_t tag = ber_first_item(ber, &len, &last);
  if (ber->current == start || !ContainerFits(ber, last)) return kDecodingError;
  for (; tag != LBER_DEFAULT; tag = ber_next_item(ber, &len, last)) {
    std::string part;
    if (ber_scanf(ber, v30 ? "{a}" : "a", &part) == -1) return kDecodingError;
    if (part.empty()) return LDAP_INAPPROPRIATE_MATCHING;
    value_canonicalize(part, syntax);
    switch (tag) {
      case 0x80:
      case 0xA0:
        Debug(LDAP_DEBUG_FILTER, "  INITIAL\n");
        if (f->hasInitial) return kDecodingError;
        f->hasInitial = true;
        f->initial = std::move(part);
        break;
      case 0x81:
      case 0xA1:
        Debug(LDAP_DEBUG_FILTER, "  ANY\n");
        f->any.push_back(std::move(part));
        break;
      case 0x82:
      case 0xA2:
        Debug(LDAP_DEBUG_FILTER, "  FINAL\n");
        if (f->hasFinal) return kDecodingError;
        f->hasFinal = true;
        f->final = std::move(part);
        break;
      default:
        Debug(LDAP_DEBUG_FILTER, "  unknown type\n");
        return kDecodingError;
    }
  }
  if (!ContainerDone(ber, last)) return kDecodingError;
  // No component at all: an empty initial string matches every value.
  if (!f->hasInitial && !f->hasFinal && f->any.empty()) f->hasInitial = true;
  // Components may arrive in any order (an initial after an any); the
  // string shows them in the order they are matched.
  fstr->clear();
  AppendString(*f, fstr);
  Debug(LDAP_DEBUG_FILTER, "end get_substring_filter\n");
  return 0;
}

int GetFilter(Connection* conn, BerBuffer* ber, FilterPtr* filter, std::string* fstr, int depth) {
  Debug(LDAP_DEBUG_FILTER, "begin get_filter\n");
  int err = 0;
  auto f = std::make_unique<Filter>();
  ber_len_t len = 0;
  ber_tag_t tag = ber_peek_header(ber, &len);
  if (depth > kMaxFilterDepth) tag = LBER_DEFAULT;
  if (V30(conn)) {
    switch (tag) {
      case 0x87:
      case 0xA3:
      case 0xA5:
      case 0xA6:
      case 0xA7:
      case 0xA8:
        if (!SkipHeader(ber)) tag = LBER_DEFAULT;
        if (tag == 0xA7) tag = LDAP_FILTER_PRESENT;
        break;
      default:
        break;
    }
  }
  f->choice = tag;
  switch (tag) {
    case LDAP_FILTER_PRESENT:
      Debug(LDAP_DEBUG_FILTER, "PRESENT\n");
      if (ber_scanf(ber, "a", &f->type) == -1) {
        err = kDecodingError;
        break;
      }
      type_lowercase(f->type);
      *fstr = "(" + f->type + "=*)";
      break;
    case LDAP_FILTER_AND:
    case LDAP_FILTER_OR: {
      Debug(LDAP_DEBUG_FILTER, tag == LDAP_FILTER_AND ? "AND\n" : "OR\n");
      std::string inner;
      err = GetFilterList(conn, ber, f.get(), &inner, depth);
      *fstr = std::string(tag == LDAP_FILTER_AND ? "(&" : "(|") + inner + ")";
      break;
    }
    case LDAP_FILTER_NOT: {
      Debug(LDAP_DEBUG_FILTER, "NOT\n");
      if (!SkipHeader(ber)) {
        err = kDecodingError;
        break;
      }
      FilterPtr child;
      std::string inner;
      err = GetFilter(conn, ber, &child, &inner, depth + 1);
      if (err == 0) f->children.push_back(std::move(child));
      *fstr = "(!" + inner + ")";
      break;
    }
    case LDAP_FILTER_EQUALITY:
    case LDAP_FILTER_GE:
    case LDAP_FILTER_LE:
    case LDAP_FILTER_APPROX: {
      const char* op = tag == LDAP_FILTER_EQUALITY ? "=" : tag == LDAP_FILTER_GE ? ">=" : tag == LDAP_FILTER_LE ? "<=" : "~=";
      Debug(LDAP_DEBUG_FILTER, tag == LDAP_FILTER_EQUALITY ? "EQUALITY\n"
                               : tag == LDAP_FILTER_GE     ? "GE\n"
                               : tag == LDAP_FILTER_LE     ? "LE\n"
                                                           : "APPROX\n");
      err = GetAva(ber, f.get());
      if (err == 0) *fstr = "(" + f->type + op + f->value + ")";
      break;
    }
    case LDAP_FILTER_SUBSTRINGS:
      Debug(LDAP_DEBUG_FILTER, "SUBSTRINGS\n");
      err = GetSubstringFilter(conn, ber, f.get(), fstr);
      break;
    default:
      Debug(LDAP_DEBUG_ANY, "unknown filter type %d\n", static_cast<int>(tag));
      err = kDecodingError;
      break;
  }
  Debug(LDAP_DEBUG_FILTER, "end get_filter %d\n", err);
  if (err == 0) *filter = std::move(f);
  return err;
}

void AppendString(const Filter& f, std::string* out) {
  switch (f.choice) {
    case LDAP_FILTER_AND:
    case LDAP_FILTER_OR:
    case LDAP_FILTER_NOT:
      out->append(f.choice == LDAP_FILTER_AND ? "(&" : f.choice == LDAP_FILTER_OR ? "(|" : "(!");
      for (const auto& c : f.children) AppendString(*c, out);
      out->append(")");
      break;
    case LDAP_FILTER_EQUALITY:
      out->append("(" + f.type + "=" + f.value + ")");
      break;
    case LDAP_FILTER_GE:
      out->append("(" + f.type + ">=" + f.value + ")");
      break;
    case LDAP_FILTER_LE:
      out->append("(" + f.type + "<=" + f.value + ")");
      break;
    case LDAP_FILTER_APPROX:
      out->append("(" + f.type + "~=" + f.value + ")");
      break;
    case LDAP_FILTER_PRESENT:
      out->append("(" + f.type + "=*)");
      break;
    case LDAP_FILTER_SUBSTRINGS:
      out->append("(" + f.type + "=");
      if (f.hasInitial) out->append(f.initial);
      for (const auto& a : f.any) out->append("*").append(a);
      out->append("*");
      if (f.hasFinal) out->append(f.final);
      out->append(")");
      break;
    default:
      break;
  }
}

}  // namespace

int get_filter(Connection* conn, BerBuffer* ber, FilterPtr* filter, std::string* filterString) {
  filterString->clear();
  return GetFilter(conn, ber, filter, filterString, 0);
}

void filter_release(FilterPtr filter) { filter.reset(); }

std::string filter_to_string(const Filter& f) {
  std::string s;
  AppendString(f, &s);
  return s;
}

}  // namespace kry
