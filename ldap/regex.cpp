#include "ldap/regex.h"

#include <bitset>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/globals.h"

namespace kry {

namespace {

enum Op : uint8_t { CHR, ANY, CCL, BOL, EOL, BOG, EOG, BOW, EOW, REF };
enum Closure : uint8_t { ONE, STAR, PLUS };

struct Node {
  explicit Node(Op o) : op(o) {}
  Op op;
  Closure closure = ONE;
  unsigned char c = 0;       // CHR
  int group = 0;             // BOG, EOG, REF
  std::bitset<128> set;      // CCL, negation already applied over 7 bits
  bool matchHigh = false;    // CCL: whether bytes >= 128 match (negated sets)
};

constexpr int kMaxGroups = 9;
// Failure memo is used only while nodes * positions stays below this.
constexpr size_t kMemoLimit = size_t{1} << 22;

// One match in progress: the program and the text's state.
struct Engine {
  const std::vector<Node>* prog = nullptr;
  bool hasRef = false;
  const unsigned char* text = nullptr;
  size_t len = 0;
  size_t groupStart[kMaxGroups + 1] = {};
  size_t groupEnd[kMaxGroups + 1] = {};
  std::vector<bool> failed;  // (node, position) pairs known not to match
  size_t stride = 0;
};

// The pattern re_comp compiled: guarded by RegexLock().
struct Compiled {
  bool compiled = false;
  std::vector<Node> prog;
  bool hasRef = false;
};

Compiled& State() {
  static Compiled compiled;
  return compiled;
}

bool IsWordChar(unsigned char c) { return c == '_' || (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z'); }

bool MatchOne(const Node& n, unsigned char c) {
  switch (n.op) {
    case CHR:
      return c == n.c;
    case ANY:
      return true;
    case CCL:
      return c < 128 ? n.set.test(c) : n.matchHigh;
    default:
      return false;
  }
}

// Matches prog[pc..] at pos; returns true on a whole match.
bool MatchFrom(Engine& e, size_t pc, size_t pos) {
  const size_t start = pc, startPos = pos;
  bool useMemo = !e.failed.empty();
  if (useMemo && e.failed[start * e.stride + startPos]) return false;
  bool ok = [&]() {
    for (; pc < e.prog->size(); ++pc) {
      const Node& n = (*e.prog)[pc];
      if (n.closure != ONE) {
        size_t count = 0;
        while (pos + count < e.len && MatchOne(n, e.text[pos + count])) ++count;
        size_t least = n.closure == PLUS ? 1 : 0;
        if (count < least) return false;
        for (size_t k = count + 1; k-- > least;)
          if (MatchFrom(e, pc + 1, pos + k)) return true;
        return false;
      }
      switch (n.op) {
        case CHR:
        case ANY:
        case CCL:
          if (pos >= e.len || !MatchOne(n, e.text[pos])) return false;
          ++pos;
          break;
        case BOL:
          if (pos != 0) return false;
          break;
        case EOL:
          if (pos != e.len) return false;
          break;
        case BOG:
          e.groupStart[n.group] = pos;
          break;
        case EOG:
          e.groupEnd[n.group] = pos;
          break;
        case BOW:
          if ((pos > 0 && IsWordChar(e.text[pos - 1])) || pos >= e.len || !IsWordChar(e.text[pos])) return false;
          break;
        case EOW:
          if (pos == 0 || !IsWordChar(e.text[pos - 1]) || (pos < e.len && IsWordChar(e.text[pos]))) return false;
          break;
        case REF: {
          size_t b = e.groupStart[n.group], l = e.groupEnd[n.group] - b;
          if (e.len - pos < l || std::memcmp(e.text + b, e.text + pos, l) != 0) return false;
          pos += l;
          break;
        }
      }
    }
    return true;
  }();
  if (!ok && useMemo) e.failed[start * e.stride + startPos] = true;
  return ok;
}

const char* Compile(const char* p, std::vector<Node>* prog, bool* hasRef) {
  enum Prev { START, SIMPLE, CLOSED, FIXED };  // what a closure would apply to
  Prev prev = START;
  std::vector<int> open;
  int groups = 0;
  size_t n = std::strlen(p);
  size_t i = 0;
  if (p[0] == '^') {
    prog->push_back(Node(BOL));
    prev = FIXED;
    i = 1;
  }
  for (; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(p[i]);
    Node node(CHR);
    switch (c) {
      case '*':
      case '+':
        if (prev == START) return "Empty closure";
        if (prev == FIXED) return "Illegal closure";
        if (prev == SIMPLE) prog->back().closure = c == '*' ? STAR : PLUS;
        prev = CLOSED;  // a closure on a closure is taken once
        continue;
      case '.':
        node.op = ANY;
        break;
      case '[': {
        node.op = CCL;
        size_t j = i + 1;
        bool negate = false;
        if (j < n && p[j] == '^') {
          negate = true;
          ++j;
        }
        bool first = true;
        for (;; first = false) {
          if (j >= n) return "Missing ]";
          unsigned char a = static_cast<unsigned char>(p[j]);
          if (a == ']' && !first) break;
          if (j + 2 < n && p[j + 1] == '-' && p[j + 2] != ']') {
            unsigned char b = static_cast<unsigned char>(p[j + 2]);
            for (unsigned v = a; v <= b && v < 128; ++v) node.set.set(v);
            if (a > b && a < 128) node.set.set(a);
            j += 3;
          } else {
            if (a < 128) node.set.set(a);
            ++j;
          }
        }
        i = j;
        if (negate) {
          node.set.flip();
          node.matchHigh = true;
        }
        break;
      }
      case '$':
        if (i == n - 1) {
          prog->push_back(Node(EOL));
          prev = FIXED;
          continue;
        }
        node.c = c;
        break;
      case '\\': {
        if (i + 1 >= n) {  // a trailing backslash stands for itself
          node.c = c;
          break;
        }
        unsigned char d = static_cast<unsigned char>(p[++i]);
        if (d == '(') {
          if (groups == kMaxGroups) return "Too many \\(\\) pairs";
          node.op = BOG;
          node.group = ++groups;
          open.push_back(groups);
          prog->push_back(node);
          prev = FIXED;
          continue;
        }
        if (d == ')') {
          if (open.empty()) return "Unmatched \\)";
          if (!prog->empty() && prog->back().op == BOG && prog->back().group == open.back())
            return "Null pattern inside \\(\\)";
          node.op = EOG;
          node.group = open.back();
          open.pop_back();
          prog->push_back(node);
          prev = FIXED;
          continue;
        }
        if (d == '<') {
          prog->push_back(Node(BOW));
          prev = FIXED;
          continue;
        }
        if (d == '>') {
          if (!prog->empty() && prog->back().op == BOW) return "Null pattern inside \\<\\>";
          prog->push_back(Node(EOW));
          prev = FIXED;
          continue;
        }
        if (d >= '1' && d <= '9') {
          int g = d - '0';
          if (g > groups) return "Undetermined reference";
          for (int o : open)
            if (o == g) return "Cyclical reference";
          node.op = REF;
          node.group = g;
          prog->push_back(node);
          *hasRef = true;
          prev = FIXED;
          continue;
        }
        node.c = d;
        break;
      }
      default:
        node.c = c;
        break;
    }
    prog->push_back(node);
    prev = SIMPLE;
  }
  if (!open.empty()) return "Unmatched \\(";
  return nullptr;
}

// 1 when `prog` matches somewhere in the text.
int Run(const std::vector<Node>& prog, bool hasRef, const char* text, size_t length) {
  Engine e;
  e.prog = &prog;
  e.hasRef = hasRef;
  e.text = reinterpret_cast<const unsigned char*>(text);
  e.len = length;
  // Without back references a (node, position) pair that failed once fails
  // again, so remembering it keeps nested closures from going exponential.
  e.stride = length + 1;
  size_t cells = (prog.size() + 1) * e.stride;
  if (!hasRef && cells / e.stride == prog.size() + 1 && cells <= kMemoLimit) e.failed.assign(cells, false);
  bool anchored = !prog.empty() && prog[0].op == BOL;
  size_t last = (anchored || length == 0) ? 0 : length - 1;
  for (size_t pos = 0; pos <= last; ++pos)
    if (MatchFrom(e, 0, pos)) return 1;
  return 0;
}

}  // namespace

const char* re_comp(const char* pattern) {
  Compiled& c = State();
  if (pattern == nullptr || *pattern == '\0') return c.compiled ? nullptr : "No previous regular expression";
  std::vector<Node> prog;
  bool hasRef = false;
  const char* err = Compile(pattern, &prog, &hasRef);
  if (err != nullptr) {
    c.compiled = false;
    c.prog.clear();
    return err;
  }
  c.prog = std::move(prog);
  c.hasRef = hasRef;
  c.compiled = true;
  return nullptr;
}

int re_match(const char* text) { return text ? re_match(text, std::strlen(text)) : 0; }

int re_match(const char* text, size_t length) {
  const Compiled& c = State();
  if (!c.compiled || text == nullptr) return 0;
  return Run(c.prog, c.hasRef, text, length);
}

struct Regex::Program {
  std::vector<Node> prog;
  bool hasRef = false;
};

const char* Regex::Compile(const char* pattern) {
  program_.reset();
  if (pattern == nullptr || *pattern == '\0') return "No previous regular expression";
  auto made = std::make_shared<Program>();
  const char* err = kry::Compile(pattern, &made->prog, &made->hasRef);
  if (err == nullptr) program_ = std::move(made);
  return err;
}

bool Regex::Matches(const char* text) const {
  return program_ && text && Run(program_->prog, program_->hasRef, text, std::strlen(text)) == 1;
}

Mutex& RegexLock() {
  static Mutex fallback;
  return g_globals != nullptr ? g_globals->regexLock : fallback;
}

}  // namespace kry
