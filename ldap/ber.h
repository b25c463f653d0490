// BER codec: the subset of X.690 Basic Encoding Rules that LDAP messages use
// (definite lengths; INTEGER, ENUMERATED, BOOLEAN, NULL, OCTET STRING,
// BIT STRING; SEQUENCE and SET). A BerBuffer holds one encoded message and a
// cursor; ber_scanf takes one apart and ber_printf builds one, both driven by
// a format string. Reading and writing whole messages over a socket is in
// ldap/sockbuf.h.
//
// Tags are opaque numbers: the big-endian value of the identifier octets
// ([APPLICATION 3] constructed is 0x63, SEQUENCE 0x30). Tags are at most 4
// octets, so 0xFFFFFFFF (LBER_DEFAULT, "-1") is never a real tag.
//
// A BerBuffer is used by one thread at a time. Its byte area is owned by it
// and freed with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "util/alloc.h"

namespace kry {

typedef uint32_t ber_tag_t;
typedef uint32_t ber_len_t;

// Failure value of the functions returning a tag ("-1").
constexpr ber_tag_t LBER_DEFAULT = 0xFFFFFFFFu;
constexpr ber_tag_t LBER_ERROR = LBER_DEFAULT;

// Default tags of the universal types.
constexpr ber_tag_t LBER_BOOLEAN = 0x01;
constexpr ber_tag_t LBER_INTEGER = 0x02;
constexpr ber_tag_t LBER_BITSTRING = 0x03;
constexpr ber_tag_t LBER_OCTETSTRING = 0x04;
constexpr ber_tag_t LBER_NULL = 0x05;
constexpr ber_tag_t LBER_ENUMERATED = 0x0A;
constexpr ber_tag_t LBER_SEQUENCE = 0x30;
constexpr ber_tag_t LBER_SET = 0x31;

// BerBuffer option bit: minimal length octets for constructed elements.
// Without it a constructed element always gets 0x84 and four length octets.
constexpr int BER_OPTION_DER = 1;

// Growth unit of encode buffers.
constexpr size_t kBerGrowthUnit = 1024;
// Length octets reserved in front of an open constructed element (0x84 and
// four octets); one more octet is reserved for its tag.
constexpr size_t kBerReservedLength = 5;

// A counted byte string. The bytes may contain NULs; bv_val.c_str() always
// has a NUL after them that the length does not count, so text values can be
// used as C strings.
struct BerValue {
  std::string bv_val;

  BerValue() = default;
  BerValue(const void* data, size_t length) : bv_val(static_cast<const char*>(data), length) {}
  explicit BerValue(std::string bytes) : bv_val(std::move(bytes)) {}

  ber_len_t bv_len() const { return static_cast<ber_len_t>(bv_val.size()); }
  const char* data() const { return bv_val.c_str(); }
  size_t size() const { return bv_val.size(); }
  bool empty() const { return bv_val.empty(); }
  bool operator==(const BerValue& other) const { return bv_val == other.bv_val; }
  bool operator!=(const BerValue& other) const { return bv_val != other.bv_val; }
};

// One constructed element being encoded, whose length is not known yet.
// Positions are offsets into the owning buffer's byte area.
struct OpenElement {
  ber_len_t contentLength = 0;  // content bytes written so far
  ber_tag_t tag = LBER_SEQUENCE;
  size_t start = 0;  // first identifier octet
  size_t next = 0;   // where the next content byte goes
};

// One encoded message and its cursor. Positions are offsets into the byte
// area, so they survive growth of the area.
//
// Decoding: the area holds the message's contents, `current` is the read
// position and `end` the end of the valid bytes.
// Encoding: `current` is the write position of the outermost level and
// `end` the size of the allocated area.
class BerBuffer {
 public:
  BerBuffer() = default;
  explicit BerBuffer(int opts) : options(opts) {}
  BerBuffer(const BerBuffer&) = delete;
  BerBuffer& operator=(const BerBuffer&) = delete;
  BerBuffer(BerBuffer&&) = default;
  BerBuffer& operator=(BerBuffer&&) = default;

  // The byte area (null until the first write or read).
  uint8_t* buffer() { return area.get(); }
  const uint8_t* buffer() const { return area.get(); }
  // Bytes of the area.
  size_t capacity() const { return areaSize; }
  // Encoding: the finished message is buffer()[0, current).
  // Decoding: the bytes not yet read are buffer()[current, end).
  size_t remaining() const { return end > current ? end - current : 0; }

  // Makes the area hold a copy of `length` bytes for decoding (current 0,
  // end length). Returns false when memory is exhausted.
  bool SetContents(const void* data, size_t length);
  // Makes the area `size` bytes, contents kept up to the smaller size.
  // Returns false when memory is exhausted (the old area then stays).
  bool Resize(size_t size);
  // Frees the area and resets every position (options are kept).
  void FreeArea();

  ChPtr<uint8_t> area;
  size_t areaSize = 0;
  size_t current = 0;
  size_t end = 0;
  std::vector<OpenElement> openElements;  // innermost last
  ber_tag_t pendingTag = LBER_DEFAULT;    // tag for the next element; when reading a message: its tag
  ber_len_t messageLength = 0;            // length of the message being read
  bool tagIsUserSet = false;              // set by 't' for exactly one element
  int options = 0;
  // Progress of a transfer: during ber_get_next where the next received byte
  // goes, during ber_flush the first byte not yet sent; kNoTransfer when no
  // transfer has begun.
  static constexpr size_t kNoTransfer = static_cast<size_t>(-1);
  size_t transferPosition = kNoTransfer;
};

// Creates an empty buffer with pendingTag -1 and the given options; null
// when memory is exhausted. Release with ber_release (or hold it in a
// BerBufferPtr).
BerBuffer* ber_alloc(int options);
// Frees the record. The byte area is owned by the record and always goes
// with it; `freeBuffer` is kept for the callers' sake and has no effect.
void ber_release(BerBuffer* ber, int freeBuffer);

struct BerReleaser {
  void operator()(BerBuffer* ber) const { ber_release(ber, 1); }
};
using BerBufferPtr = std::unique_ptr<BerBuffer, BerReleaser>;
// ber_alloc in a smart pointer; null when memory is exhausted.
BerBufferPtr ber_alloc_ptr(int options);
// A decode buffer holding a copy of `length` bytes (current at the first);
// null when memory is exhausted.
BerBufferPtr ber_init(const void* data, size_t length, int options = 0);

// ---------------------------------------------------------------- decoding
// ber_scanf decodes from `current` according to `format`. Returns the result
// of the last letter processed, or -1 when a letter failed; decoding stops at
// the first failure and the outputs of earlier letters stay filled in.
// Outputs are owned by the caller. Arguments per letter:
//
//   a  std::string*                octet string (its bytes)
//   b  int*                        boolean, decoded like an integer
//   e  int*                        enumerated, decoded like an integer
//   i  int*                        integer: 0-4 content octets, sign-extended; more fail
//   B  std::string*, int*          bit string: the bits' octets, and the bit count
//   l  ber_len_t*                  length of the next element, not consumed
//   n  (none)                      null: a header whose length must be 0
//   o  BerValue*                   octet string
//   O  std::unique_ptr<BerValue>*  octet string into a new BerValue
//   s  char*, int*                 octet string into the caller's buffer of *int
//                                  bytes; must fit with its NUL (length <=
//                                  size-1), else fails; *int receives the length
//   t  ber_tag_t*                  tag of the next element, not consumed
//   T  ber_tag_t*                  tag of the next element, its header consumed
//   v  std::vector<std::string>*   elements of a SET/SEQUENCE, each as 'a'
//   V  std::vector<BerValue>*      elements of a SET/SEQUENCE, each as 'o'
//   x  (none)                      skips the next element; running past the end fails
//   { [                            reads a SEQUENCE/SET header (not before v or V,
//                                  which read it themselves)
//   } ]                            nothing
//
// Letter results: the element's tag for a, b, e, i, B, n, o, O, s, t, T, x,
// { and [; the length for l; the element count for v and V; } and ] leave
// the result as it was. For v and V the output is cleared first; an empty
// element or an unreadable header leaves it empty and decoding goes on; a
// failed element leaves the elements decoded before it and fails.
int ber_scanf(BerBuffer* ber, const char* format, ...);

// Identifier octets at `current` (consumed); LBER_DEFAULT when a tag would
// need more than 4 octets or the input ends.
ber_tag_t ber_read_tag(BerBuffer* ber);
// Tag and length at `current` (consumed); LBER_DEFAULT on failure (more than
// 4 length octets or the input ends).
ber_tag_t ber_read_header(BerBuffer* ber, ber_len_t* length);
// ber_read_header without moving `current`.
ber_tag_t ber_peek_header(BerBuffer* ber, ber_len_t* length);
// Reads the header of a SET or SEQUENCE and sets *last to the offset where
// its contents end, then peeks the first element: returns its tag and sets
// *length to its length, or LBER_DEFAULT when the contents are empty.
ber_tag_t ber_first_item(BerBuffer* ber, ber_len_t* length, size_t* last);
// The next element's tag (peeked, *length set), or LBER_DEFAULT when
// `current` has reached `last`.
ber_tag_t ber_next_item(BerBuffer* ber, ber_len_t* length, size_t last);

// ---------------------------------------------------------------- encoding
// ber_printf appends encodings according to `format`. Returns the byte count
// of the last letter's encoding, or -1 when a letter failed (encoding stops
// there; the caller releases the buffer and sends nothing from it).
// Arguments per letter (default tag in brackets):
//
//   b  int                               boolean: 0xFF for non-zero, else 0x00 [0x01]
//   i  int                               integer, minimal two's complement [0x02]
//   e  int                               enumerated, like i [0x0A]
//   n  (none)                            null [0x05]
//   o  const char*, int                  octet string of the given length [0x04]
//   s  const char*                       octet string of the text without its NUL;
//                                        a null pointer encodes as empty [0x04]
//   B  const char*, int                  bit string of the given bit count [0x03]
//   t  ber_tag_t (passed as an int)      tag of the next element only
//   v  const std::vector<std::string>*   each string as s; null or empty writes nothing
//   V  const std::vector<BerValue>*      each value as o; null or empty writes nothing
//   {  [                                 opens a SEQUENCE [0x30] / SET [0x31]
//   }  ]                                 closes the innermost open element
//
// A tag set with t before v or V applies to every element of the array.
int ber_printf(BerBuffer* ber, const char* format, ...);

// ---------------------------------------------------------------- trace
// Writes the buffer's positions and a hex print of its contents to the trace
// stream (standard error): from current to end when direction is 1, else
// from the start to current.
void ber_dump(const BerBuffer* ber, int direction);
// Hex print of bytes to the trace stream, 16 items a line.
void ber_hex_print(const uint8_t* data, size_t length);
// One formatted line to the trace stream, whatever the debug level (the
// codec's callers decide by the dump switch g_berDebug).
void ber_trace(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kry
