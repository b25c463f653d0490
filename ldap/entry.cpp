#include "ldap/entry.h"

#include <cstdlib>

#include "ldap/ldif.h"
#include "ldap/syntax.h"
#include "log/trace.h"
#include "util/strutil.h"

namespace kry {

void entry_release(Entry* e) { delete e; }

Attribute* attr_lookup(Entry* e, std::string_view type) {
  if (!e) return nullptr;
  for (auto& a : e->attrs)
    if (StrIEquals(a.type, type)) return &a;
  return nullptr;
}

const Attribute* attr_lookup(const Entry* e, std::string_view type) {
  return attr_lookup(const_cast<Entry*>(e), type);
}

int attr_remove(Entry* e, std::string_view type) {
  if (!e) return 1;
  for (auto it = e->attrs.begin(); it != e->attrs.end(); ++it) {
    if (StrIEquals(it->type, type)) {
      e->attrs.erase(it);
      return 0;
    }
  }
  return 1;
}

std::string& type_lowercase(std::string& type) {
  for (char& c : type)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return type;
}

char* type_lowercase(char* type) {
  if (!type) return type;
  for (char* p = type; *p; ++p)
    if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p - 'A' + 'a');
  return type;
}

namespace {

Attribute* FindOrAppend(Entry* e, std::string_view type) {
  if (Attribute* a = attr_lookup(e, type)) return a;
  Attribute a;
  a.type.assign(type);
  type_lowercase(a.type);
  a.syntax = attr_syntax_of(a.type);
  e->attrs.push_back(std::move(a));
  return &e->attrs.back();
}

}  // namespace

int attr_merge(Entry* e, std::string_view type, const std::vector<std::string>& values) {
  Attribute* a = FindOrAppend(e, type);
  for (const auto& v : values)
    if (!v.empty()) a->values.push_back(v);
  return 0;
}

int attr_merge(Entry* e, std::string_view type, std::string_view value) {
  Attribute* a = FindOrAppend(e, type);
  if (!value.empty()) a->values.emplace_back(value);
  return 0;
}

bool is_key_block_type(std::string_view type) { return StrIEquals(type, "krykey") || StrIEquals(type, "krykeyv2"); }

EntryPtr str2entry(std::string_view text) {
  Debug(LDAP_DEBUG_TRACE, "=> str2entry\n");
  auto e = std::make_unique<Entry>();
  size_t cursor = 0;
  if (!text.empty() && text[0] >= '0' && text[0] <= '9') {
    unsigned long long id = 0;
    size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
      id = id * 10 + static_cast<unsigned>(text[i] - '0');
      if (id > NOID) id = NOID;
    }
    e->id = static_cast<EntryID>(id);
    size_t nl = text.find('\n');
    cursor = nl == std::string_view::npos ? text.size() : nl + 1;
  }

  std::string line, type, value, prevType;
  bool haveDn = false;
  size_t current = static_cast<size_t>(-1);  // index of the attribute of the current run
  while (ldif_read_line(text, &cursor, &line)) {
    if (!parse_line(line, &type, &value)) {
      Debug(LDAP_DEBUG_TRACE, "<= str2entry NULL (parse_line)\n");
      continue;
    }
    if (!StrIEquals(type, prevType)) {
      prevType = type;
      current = static_cast<size_t>(-1);
    }
    if (StrIEquals(type, "dn")) {
      if (haveDn) {
        Debug(LDAP_DEBUG_TRACE, "str2entry: entry %d has multiple dns \"%s\" and \"%s\" (second ignored)\n",
              static_cast<int>(e->id), e->dn.c_str(), value.c_str());
        continue;
      }
      e->dn = value;
      haveDn = true;
      continue;
    }
    if (is_key_block_type(type)) {
      for (char& c : value) {
        if (c == '!')
          c = '\n';
        else if (c == '@')
          c = '\r';
      }
    }
    // A run of lines of one type appends to the attribute found for its
    // first line without searching again.
    if (current == static_cast<size_t>(-1)) {
      const Attribute* found = attr_lookup(e.get(), type);
      if (!found) {
        attr_merge(e.get(), type, std::vector<std::string>{});
        found = &e->attrs.back();
      }
      current = static_cast<size_t>(found - e->attrs.data());
    }
    if (!value.empty()) e->attrs[current].values.push_back(std::move(value));
    value = std::string();
  }
  if (!haveDn) {
    Debug(LDAP_DEBUG_TRACE, "str2entry: entry %d has no dn\n", static_cast<int>(e->id));
    return nullptr;
  }
  // An attribute can only be empty here when all its values were empty.
  for (auto it = e->attrs.begin(); it != e->attrs.end();)
    it = it->values.empty() ? e->attrs.erase(it) : it + 1;
  Debug(LDAP_DEBUG_TRACE, "<= str2entry 0x%lx\n", reinterpret_cast<unsigned long>(e.get()));
  return e;
}

void entry_to_text(const Entry& e, bool withID, std::string* out) {
  out->clear();
  size_t bound = 32 + ldif_line_size_bound(2, e.dn.size());
  for (const auto& a : e.attrs)
    for (const auto& v : a.values) bound += ldif_line_size_bound(a.type.size(), v.size());
  out->reserve(bound);
  if (withID) {
    out->append(std::to_string(static_cast<unsigned long>(e.id)));
    out->push_back('\n');
  }
  ldif_put_value(out, "dn", e.dn);
  std::string keyValue;
  for (const auto& a : e.attrs) {
    const bool keyBlock = is_key_block_type(a.type);
    for (const auto& v : a.values) {
      if (keyBlock) {
        keyValue = v;
        for (char& c : keyValue) {
          if (c == '\n')
            c = '!';
          else if (c == '\r')
            c = '@';
        }
        ldif_put_value(out, a.type, keyValue);
      } else {
        ldif_put_value(out, a.type, v);
      }
    }
  }
}

std::string entry_to_text(const Entry& e, bool withID) {
  std::string s;
  entry_to_text(e, withID, &s);
  return s;
}

namespace {
std::string* g_entryText = nullptr;  // guarded by the caller's entry-text lock
}

const char* entry2str(const Entry* e, int* length, int withID) {
  if (!e) return nullptr;
  if (!g_entryText) g_entryText = new std::string;
  entry_to_text(*e, withID != 0, g_entryText);
  if (length) *length = static_cast<int>(g_entryText->size());
  return g_entryText->c_str();
}

void entry_text_release() {
  delete g_entryText;
  g_entryText = nullptr;
}

}  // namespace kry
