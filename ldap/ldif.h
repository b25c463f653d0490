// Lines of the entry text form. This module owns the bytes of one
// line; entry.h puts lines together into an entry text.
//
// Line format:   type ": " value            (plain, printable value)
//                type ":: " base64(value)   (anything else)
// A line longer than 76 columns is folded: a line feed and one blank are
// inserted, and a reader joins a line with the next one when that starts
// with white space other than a line feed. An empty line ends the entry.
#pragma once

#include <string>
#include <string_view>

namespace kry {

// Appends the (folded) line for one value, with its final line feed.
void ldif_put_value(std::string* out, std::string_view type, std::string_view value);
// Worst-case size of that line, for reserving.
size_t ldif_line_size_bound(size_t typeLength, size_t valueLength);

// Reads the next logical line of `text` starting at *cursor, with folded
// continuations joined, into `line` (without its line feed). Returns false
// at the end of the entry: the end of the text, a NUL, or an empty line.
bool ldif_read_line(std::string_view text, size_t* cursor, std::string* line);

// Splits a logical line into type and value, decoding a base64 value.
// Returns false, after the Part's traces, for a line without ":", without a
// value, or with a bad base64 character.
bool parse_line(std::string_view line, std::string* type, std::string* value);

}  // namespace kry
