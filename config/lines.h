// The configuration file's line reader and tokenizer, shared by the three
// readers. Lines are read in pieces of at most 511 bytes; a longer physical
// line becomes several lines, each counted on its own.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace kry {

constexpr size_t kConfigPieceMax = 511;  // bytes per piece (512-byte buffer)
constexpr int kMaxConfigTokens = 100;    // keyword and 99 arguments

// Reads the next piece of `file` (up to the first line feed or 511 bytes),
// strips its leading white space and counts it in *lineNumber. A carriage
// return right before the line feed is dropped, as a text-mode read does.
// Returns false at the end of the file.
bool ReadConfigLine(std::FILE* file, int* lineNumber, std::string* line);

// One tokenizer step: skips blanks and tabs from *pos, then scans a token in
// which double quotes switch quoting on and off and are removed. Returns
// false when no token is left.
bool NextConfigToken(const std::string& text, size_t* pos, const char* separators, std::string* token);

// Splits a line into at most 100 tokens; finding a 101st records the
// "Too many tokens" warning and keeps the first 100.
void SplitConfigLine(const std::string& line, std::vector<std::string>* tokens, int lineNumber, const char* path);

}  // namespace kry
