// Internal to config/: the file loop and the keyword handlers that the three
// readers share.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace kry {

struct Backend;
struct Globals;

// One tokenized line: tokens[0] is the keyword.
struct ConfigLine {
  const char* path = "";
  int lineNumber = 0;
  std::vector<std::string> tokens;

  int argc() const { return static_cast<int>(tokens.size()); }
  const char* arg(int i) const { return tokens[static_cast<size_t>(i)].c_str(); }
  bool Is(const char* keyword) const;  // keyword matched ignoring case
};

// Records "<path>(<line>): " + the formatted text with the given kind.
void LineMessage(int kind, const ConfigLine& line, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

// Handler result: kNotMine when the keyword is not the handler's.
constexpr int kNotMine = -1;

// Opens `path` (or uses openFile), and hands each non-empty, non-comment
// line with at least one token to `handler`, stopping at the first non-zero
// result, which it returns. Returns 1 when the file cannot be opened. An
// exhausted allocation records "Out of memory" and returns 2. *lastLine gets
// the number of the last line read.
int ForEachConfigLine(const char* path, std::FILE* openFile, const std::function<int(const ConfigLine&)>& handler,
                      int* lastLine);

// Settings of a main-pass reading. In check mode `g` is a scratch record,
// the event log and the backend's replica and read-only settings are left
// alone, and ip/host rules are only checked, not built.
struct MainPass {
  Globals* g = nullptr;
  Backend* be = nullptr;
  bool check = false;
  bool portOverridden = false;  // a Port line then leaves the log category alone
  bool sawDirectory = false;
};

// The keywords of the main pass up to (not including) the backend hand-off.
// Returns kNotMine for a keyword it does not know, else 0, 1 or 2.
int HandleMainKeyword(const ConfigLine& line, MainPass* pass);

// The keywords of the command pass, storing into `g`. "Allow" lines are
// taken only for keyid/command. Returns kNotMine, 0, 1 or 2.
int HandleCommandKeyword(const ConfigLine& line, Globals* g);

// Checks shared by the handlers.
bool ParseCycleTime(const std::string& text, int* minutes);
int ParseCycleDay(const std::string& text);  // 0..8, -1 when unknown
// Digits only and 1..65534.
bool ParsePortNumber(const std::string& text, int* port);
// Digits only; *value saturates at INT32_MAX.
bool ParseDigits(const std::string& text, long* value);
// strtol(text, 0, 0) style: blanks, sign, decimal, 0-octal or 0x-hex.
// Returns false when no digits were read.
bool ParseIntegerAuto(const std::string& text, long* value);

}  // namespace kry
