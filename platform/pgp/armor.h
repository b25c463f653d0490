// ASCII armour (RFC 4880 section 6): radix-64 with CRC-24, armour headers,
// several blocks in one text. Also detects whether input is armoured at all.
#pragma once

#include <string>
#include <utility>

#include "platform/pgp/bytes.h"
#include "platform/pgp/kry.h"

namespace krypgp {

struct ArmorBlock {
  std::string label;  // "PGP PUBLIC KEY BLOCK", "PGP SIGNATURE", "PGP MESSAGE", ...
  std::vector<std::pair<std::string, std::string>> headers;
  Bytes data;
  size_t endOffset = 0;  // offset in the input just past the END line
};

uint32_t Crc24(const uint8_t* data, size_t len);

// True when the input (after leading white space) starts with an armour line.
bool LooksArmored(const uint8_t* data, size_t len);

// Decodes the first armour block at or after offset `from`. ItemNotFound when
// there is no BEGIN line; BadArmor for a broken block (no END line, bad
// radix-64, END label differing); ArmorChecksum for a CRC mismatch.
KRYError DearmorOne(const uint8_t* data, size_t len, size_t from, ArmorBlock* out);
// Every block of the input, in order. ItemNotFound when there is none.
KRYError DearmorAll(const uint8_t* data, size_t len, std::vector<ArmorBlock>* out);

// Armours data with the given label and headers; LF line ends, 64 columns.
std::string Armor(const std::string& label, const Bytes& data,
                  const std::vector<std::pair<std::string, std::string>>& headers = {});

// Radix-64 without line breaks, and its decoder (which skips white space).
std::string Base64Encode(const uint8_t* data, size_t len);
bool Base64Decode(const char* text, size_t len, Bytes* out);

}  // namespace krypgp
