#include "config/lines.h"

#include <cstring>

#include "log/eventlog.h"

namespace kry {

namespace {
bool IsLeadingSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }
}  // namespace

bool ReadConfigLine(std::FILE* file, int* lineNumber, std::string* line) {
  line->clear();
  int c = std::fgetc(file);
  if (c == EOF) return false;
  // A piece ends after its line feed or after 511 bytes, whichever comes
  // first; the rest of a longer line is the next piece.
  while (c != EOF && c != '\n') {
    line->push_back(static_cast<char>(c));
    if (line->size() == kConfigPieceMax) break;
    c = std::fgetc(file);
  }
  if (c == '\n' && !line->empty() && line->back() == '\r') line->pop_back();
  ++*lineNumber;
  size_t start = 0;
  while (start < line->size() && IsLeadingSpace((*line)[start])) ++start;
  line->erase(0, start);
  return true;
}

bool NextConfigToken(const std::string& text, size_t* pos, const char* separators, std::string* token) {
  token->clear();
  size_t i = *pos;
  auto isSep = [separators](char c) { return c != '\0' && std::strchr(separators, c) != nullptr; };
  while (i < text.size() && isSep(text[i])) ++i;
  if (i >= text.size()) {
    *pos = i;
    return false;
  }
  bool quoted = false;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c == '"') {
      quoted = !quoted;
      continue;
    }
    if (!quoted && isSep(c)) break;
    token->push_back(c);
  }
  *pos = i;
  return true;
}

void SplitConfigLine(const std::string& line, std::vector<std::string>* tokens, int lineNumber, const char* path) {
  tokens->clear();
  size_t pos = 0;
  std::string token;
  while (NextConfigToken(line, &pos, " \t", &token)) {
    if (static_cast<int>(tokens->size()) == kMaxConfigTokens) {
      LogError(EVENTLOG_WARNING, "%s(%d): Too many tokens found.  Only first %d tokens will be used.", path, lineNumber,
               kMaxConfigTokens);
      break;
    }
    tokens->push_back(token);
  }
}

}  // namespace kry
