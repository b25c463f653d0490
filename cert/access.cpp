#include "cert/access.h"

#include <new>

#include "ldap/regex.h"
#include "log/eventlog.h"
#include "log/trace.h"
#include "runtime/globals.h"
#include "util/strutil.h"

namespace kry {

namespace {

const struct {
  const char* name;
  int level;
} kLevels[] = {{"none", ACL_NONE}, {"compare", ACL_COMPARE}, {"search", ACL_SEARCH}, {"read", ACL_READ},
               {"add", ACL_ADD},   {"delete", ACL_DELETE},   {"all", ACL_ALL}};

}  // namespace

int ParseAccessLevel(const std::string& name) {
  std::string rest = name;
  int self = 0;
  if (rest.size() >= 4 && StrIEquals(rest.substr(0, 4), "self")) {
    self = ACL_SELF;
    rest.erase(0, 4);
  }
  for (const auto& l : kLevels)
    if (StrIEquals(rest, l.name)) return l.level | self;
  return -1;
}

std::string AccessLevelName(int level) {
  std::string out = (level & ACL_SELF) ? "self" : "";
  for (const auto& l : kLevels)
    if (level & l.level) return out + l.name;
  return out + "unknown";
}

std::string CompileAccessPattern(const std::string& pattern) {
  std::string out;
  for (char c : pattern) {
    if (c == '*') {
      out += ".*";
    } else if (c == '?') {
      out += '.';
    } else if (std::string_view(".\\[]+^$").find(c) != std::string_view::npos) {
      out += '\\';
      out += c;
    } else if (c >= 'a' && c <= 'z') {
      out += static_cast<char>(c - 'a' + 'A');
    } else {
      out += c;
    }
  }
  return out;
}

int AddAccessAllow(AccessList* list, const char* path, int lineNumber, int argc, const char* const* argv) {
  // An empty pattern would compile to nothing and make the engine reuse
  // whatever pattern it held last, so it is refused like a missing one.
  if (argc != 4 || argv[2][0] == '\0') {
    LogError(EVENTLOG_ERROR, "%s(%d): Missing arguments in \"Allow <Type> <Pattern> <Level>\" line.\n", path,
             lineNumber);
    return 1;
  }
  int type;
  if (StrIEquals(argv[1], "ip")) {
    type = ACCESS_IP;
  } else if (StrIEquals(argv[1], "host")) {
    type = ACCESS_HOST;
  } else if (StrIEquals(argv[1], "keyid")) {
    return 0;  // key-ID rules are the configuration reader's
  } else {
    LogError(EVENTLOG_ERROR, "%s(%d): Allow Type of '%s' is invalid.\n  Valid Types: 'ip', 'host', 'keyid'.\n", path,
             lineNumber, argv[1]);
    return 1;
  }
  int level = ParseAccessLevel(argv[3]);
  if (level < 0) {
    LogError(EVENTLOG_ERROR,
             "%s(%d): Allow Access Level of '%s' is invalid.\n  Valid Levels: 'none', 'compare', 'search', 'read', "
             "'add', 'delete', 'all'.\n",
             path, lineNumber, argv[3]);
    return 1;
  }
  try {
    auto rule = std::make_shared<AccessRule>();
    rule->pattern = argv[2];
    // "*" matches every client, and every client has an address.
    rule->type = rule->pattern == "*" ? ACCESS_IP : type;
    rule->regex = CompileAccessPattern(rule->pattern);
    // Compiled once here: every request checks the rules, and matching a
    // kept program needs neither a compile nor the process-wide lock.
    rule->matcher.Compile(rule->regex.c_str());
    rule->level = level;
    list->push_back(std::move(rule));
  } catch (const std::bad_alloc&) {
    LogError(EVENTLOG_ERROR, "%s(%d): Out of memory\n", path, lineNumber);
    return 1;
  }
  return 0;
}

void FreeAccessCtrlList(AccessList* list) {
  list->clear();
  list->shrink_to_fit();
}

int MatchingRuleLevel(const char* peerAddress, const char* peerHost, const AccessList& rules) {
  std::string host;
  if (peerHost != nullptr) host = ToUpper(peerHost);
  for (const auto& rule : rules) {
    const char* subject = rule->type == ACCESS_IP ? peerAddress : (host.empty() ? nullptr : host.c_str());
    if (subject == nullptr || *subject == '\0') continue;
    bool matched;
    if (rule->matcher.Compiled()) {
      matched = rule->matcher.Matches(subject);
    } else {
      MutexGuard guard(RegexLock());
      const char* err = re_comp(rule->regex.c_str());
      if (err != nullptr) {
        Debug(LDAP_DEBUG_ACL, "re_comp( \"%s\", \"%s\") failed because (%s)\n", rule->regex.c_str(), subject, err);
        matched = false;
      } else {
        matched = re_match(subject) == 1;
      }
    }
    if (matched) return rule->level;
  }
  return 0;
}

bool AccessAllowed(const char* peerAddress, const char* peerHost, const AccessList& rules, int level,
                   int defaultAccess) {
  if (rules.empty()) {
    if (level <= defaultAccess) return true;
    LogError(EVENTLOG_WARNING, "Access denied. '%s' exceeds default access.", AccessLevelName(level).c_str());
    return false;
  }
  bool granted;
  try {
    const int ruleLevel = MatchingRuleLevel(peerAddress, peerHost, rules);
    granted = level <= (ruleLevel ? ruleLevel : defaultAccess);
  } catch (const std::bad_alloc&) {
    granted = false;
  }
  if (!granted) LogError(EVENTLOG_WARNING, "Access denied. '%s' requested.", AccessLevelName(level).c_str());
  return granted;
}

bool AccessAllowed(const char* peerAddress, const char* peerHost, const AccessList& rules, int level) {
  return AccessAllowed(peerAddress, peerHost, rules, level, g_globals ? g_globals->DefaultAccess : ACL_ADD);
}

bool AccessRulesNameHosts(const AccessList& rules) {
  for (const auto& r : rules)
    if (r && r->type == ACCESS_HOST) return true;
  return false;
}

bool AccessAllowed(const char* peerAddress, const char* peerHost, int level) {
  static const AccessList kNoRules;
  const Globals* g = g_globals;
  return AccessAllowed(peerAddress, peerHost, g ? g->accessList : kNoRules, level, g ? g->DefaultAccess : ACL_ADD);
}

bool access_allowed(const Backend* be, const char* peerAddress, const char* peerHost, int level) {
  if (be == nullptr) return false;
  return AccessAllowed(peerAddress, peerHost, level);
}

int acl_check_mods(const Backend* be, const char* peerAddress, const char* peerHost,
                   const std::vector<std::string>& modifiedTypes, bool keyAdd) {
  int level = keyAdd ? ACL_ADD : ACL_ALL;
  for (const std::string& type : modifiedTypes) {
    if (StrIEquals(type, "modifiersname") || StrIEquals(type, "modifytimestamp")) continue;
    if (!access_allowed(be, peerAddress, peerHost, level)) return kLdapInsufficientAccess;
  }
  return 0;
}

}  // namespace kry
