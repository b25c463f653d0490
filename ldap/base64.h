// Standard base64 (RFC 4648 alphabet, "=" padding) as used by the entry
// text form for values that are not plain printable text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kry {

// Appends the encoding of `data` to `out`.
void base64_encode(std::string_view data, std::string* out);
inline size_t base64_encoded_size(size_t n) { return (n + 2) / 3 * 4; }

// Decodes `text` in groups of four characters, writing the bytes to `out`.
// Decoding stops after a group with "=" in the third position (one more byte)
// or the fourth position (two more bytes). Fails (returns false, `bad` set to
// the offending character) on a character that is neither "=" nor in the
// alphabet, on "=" in the first two positions of a group, and on a group cut
// short by the end of the text (then `bad` is NUL).
bool base64_decode(std::string_view text, std::string* out, char* bad);

}  // namespace kry
