// Access control by client address: access levels, the ordered list of
// ip/host rules from "Allow" lines, and the access decision. Rules are
// read-only once the configuration is loaded.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ldap/regex.h"

namespace kry {

struct Backend;

// Access levels; a level asked for is granted when it is numerically at most
// the level granted. "self" in front of a name adds ACL_SELF.
enum AccessLevel : int {
  ACL_NONE = 1,
  ACL_COMPARE = 2,
  ACL_SEARCH = 4,
  ACL_READ = 8,
  ACL_ADD = 16,
  ACL_DELETE = 32,
  ACL_ALL = 64,
  ACL_SELF = 128,
};

// LDAP result code of a refused modification.
constexpr int kLdapInsufficientAccess = 50;

// Parses a level name, ignoring case, with an optional "self" prefix.
// Returns the level or -1 for an unknown name.
int ParseAccessLevel(const std::string& name);
// "self" in front when ACL_SELF is set, then the name of the level, or
// "unknown" when no known bit is set.
std::string AccessLevelName(int level);

enum AccessRuleType : int { ACCESS_IP = 0, ACCESS_HOST = 1 };

// One "Allow ip|host pattern level" rule.
struct AccessRule {
  int type = ACCESS_IP;
  std::string pattern;  // as written
  std::string regex;    // compiled form: unanchored, letters upper-cased
  int level = ACL_NONE;
  Regex matcher;        // regex, compiled when the rule is made
};
using AccessList = std::vector<std::shared_ptr<AccessRule>>;

// Whether any rule matches on host names (so that a client's name matters).
bool AccessRulesNameHosts(const AccessList& rules);

// Turns a written pattern into the expression the rule matches with:
// '*' -> ".*", '?' -> ".", ".\[]+^$" escaped, ASCII letters upper-cased.
std::string CompileAccessPattern(const std::string& pattern);

// Appends the rule of an "Allow" line (argv[0] is "Allow"). Returns 0, or 1
// after recording the line's error message.
int AddAccessAllow(AccessList* list, const char* path, int lineNumber, int argc, const char* const* argv);
void FreeAccessCtrlList(AccessList* list);

// The decision. peerAddress is the dotted IP address, peerHost the host name
// or null/empty when unknown. The first matching rule decides; with no
// match, or no rules, the level must be at most defaultAccess. A refusal
// records an "Access denied." warning. Rules made by AddAccessAllow match
// without the regular-expression lock; others take it.
bool AccessAllowed(const char* peerAddress, const char* peerHost, const AccessList& rules, int level,
                   int defaultAccess);
// The level of the first rule that matches the client, 0 when none does
// (DefaultAccess is not consulted). Quiet: records nothing. Locks as
// AccessAllowed; may throw std::bad_alloc.
int MatchingRuleLevel(const char* peerAddress, const char* peerHost, const AccessList& rules);
// Same, with the DefaultAccess of g_globals ("add" before the globals exist).
bool AccessAllowed(const char* peerAddress, const char* peerHost, const AccessList& rules, int level);
// Same, with the rules and DefaultAccess of g_globals.
bool AccessAllowed(const char* peerAddress, const char* peerHost, int level);

// The hook used by the backend and front end: refuses without a backend,
// otherwise asks AccessAllowed with the configured rules.
bool access_allowed(const Backend* be, const char* peerAddress, const char* peerHost, int level);

// The modification check: level "add" for a key add, "all" otherwise, asked
// once per modified attribute except modifiersname and modifytimestamp.
// Returns 0 or kLdapInsufficientAccess.
int acl_check_mods(const Backend* be, const char* peerAddress, const char* peerHost,
                   const std::vector<std::string>& modifiedTypes, bool keyAdd);

}  // namespace kry
