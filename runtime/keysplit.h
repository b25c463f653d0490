// Splits key dumps (files of concatenated binary transferable public keys,
// or armoured text holding such keys) into one binary key each.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kry {

struct SplitResult {
  std::vector<std::string> keys;  // each a public-key packet and what follows it
  size_t malformed = 0;           // stretches that could not be read as keys
};

// Appends the keys of `data` to out->keys. Packets before the first
// public-key packet are counted as one malformed stretch; a packet header
// that cannot be read ends that block (counted once), since nothing after it
// can be framed again. Armoured text is decoded block by block.
void SplitKeyDump(const std::string& data, SplitResult* out);

}  // namespace kry
