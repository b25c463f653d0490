#include "ldap/ber.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "log/trace.h"
#include "util/strutil.h"

namespace kry {

// ---------------------------------------------------------------- the buffer

bool BerBuffer::Resize(size_t size) {
  if (size == areaSize && area) return true;
  void* grown = ch_realloc(area.get(), size);
  if (!grown) return false;
  area.release();
  area.reset(static_cast<uint8_t*>(grown));
  areaSize = size;
  return true;
}

bool BerBuffer::SetContents(const void* data, size_t length) {
  if (!Resize(length)) return false;
  if (length) std::memcpy(area.get(), data, length);
  current = 0;
  end = length;
  return true;
}

void BerBuffer::FreeArea() {
  area.reset();
  areaSize = 0;
  current = 0;
  end = 0;
  openElements.clear();
  transferPosition = kNoTransfer;
}

BerBuffer* ber_alloc(int options) { return new (std::nothrow) BerBuffer(options); }

void ber_release(BerBuffer* ber, int /*freeBuffer*/) { delete ber; }

BerBufferPtr ber_alloc_ptr(int options) { return BerBufferPtr(ber_alloc(options)); }

BerBufferPtr ber_init(const void* data, size_t length, int options) {
  BerBufferPtr ber(ber_alloc(options));
  if (ber && !ber->SetContents(data, length)) ber.reset();
  return ber;
}

// ---------------------------------------------------------------- decoding

namespace {

// Reads identifier octets at *pos (advanced on success).
ber_tag_t TagAt(const BerBuffer* ber, size_t* pos) {
  size_t p = *pos;
  if (p >= ber->end) return LBER_DEFAULT;
  uint8_t octet = ber->area.get()[p++];
  ber_tag_t tag = octet;
  if ((octet & 0x1F) == 0x1F) {
    int further = 0;
    do {
      if (further == 3 || p >= ber->end) return LBER_DEFAULT;
      octet = ber->area.get()[p++];
      tag = (tag << 8) | octet;
      ++further;
    } while (octet & 0x80);
  }
  *pos = p;
  return tag;
}

// Reads length octets at *pos (advanced on success).
bool LengthAt(const BerBuffer* ber, size_t* pos, ber_len_t* length) {
  size_t p = *pos;
  if (p >= ber->end) return false;
  uint8_t octet = ber->area.get()[p++];
  ber_len_t value = octet;
  if (octet & 0x80) {
    int count = octet & 0x7F;
    if (count > 4) return false;
    if (ber->end - p < static_cast<size_t>(count)) return false;
    value = 0;
    for (int i = 0; i < count; ++i) value = (value << 8) | ber->area.get()[p++];
  }
  *pos = p;
  *length = value;
  return true;
}

ber_tag_t HeaderAt(const BerBuffer* ber, size_t* pos, ber_len_t* length) {
  size_t p = *pos;
  ber_tag_t tag = TagAt(ber, &p);
  if (tag == LBER_DEFAULT) return LBER_DEFAULT;
  if (!LengthAt(ber, &p, length)) return LBER_DEFAULT;
  *pos = p;
  return tag;
}

// Reads a primitive element: its header, then `length` content bytes that
// must all be there. On success `data` points at the contents and current
// is past them.
ber_tag_t ReadPrimitive(BerBuffer* ber, const uint8_t** data, ber_len_t* length) {
  size_t p = ber->current;
  ber_tag_t tag = HeaderAt(ber, &p, length);
  if (tag == LBER_DEFAULT) return LBER_DEFAULT;
  if (ber->end - p < *length) return LBER_DEFAULT;
  *data = ber->area.get() + p;
  ber->current = p + *length;
  return tag;
}

ber_tag_t ReadInteger(BerBuffer* ber, int* out) {
  const uint8_t* data;
  ber_len_t length;
  size_t saved = ber->current;
  ber_tag_t tag = ReadPrimitive(ber, &data, &length);
  if (tag == LBER_DEFAULT) return LBER_DEFAULT;
  if (length > 4) {
    ber->current = saved;
    return LBER_DEFAULT;
  }
  uint32_t value = (length > 0 && (data[0] & 0x80)) ? 0xFFFFFFFFu : 0;
  for (ber_len_t i = 0; i < length; ++i) value = (value << 8) | data[i];
  *out = static_cast<int>(value);
  return tag;
}

ber_tag_t ReadString(BerBuffer* ber, std::string* out) {
  const uint8_t* data;
  ber_len_t length;
  ber_tag_t tag = ReadPrimitive(ber, &data, &length);
  if (tag == LBER_DEFAULT) return LBER_DEFAULT;
  out->assign(reinterpret_cast<const char*>(data), length);
  return tag;
}

// The elements of a SET or SEQUENCE, each read by `readOne`, into `out`.
// Returns the count, or -1 when an element failed.
template <typename T, typename ReadOne>
int ReadArray(BerBuffer* ber, std::vector<T>* out, ReadOne readOne) {
  out->clear();
  ber_len_t length;
  size_t p = ber->current;
  if (HeaderAt(ber, &p, &length) == LBER_DEFAULT) return 0;  // no header: leave it empty
  ber->current = p;
  size_t last = p + length;
  int count = 0;
  while (ber->current < last) {
    T item;
    if (readOne(ber, &item) == LBER_DEFAULT) return -1;
    out->push_back(std::move(item));
    ++count;
  }
  return count;
}

ber_tag_t ReadValue(BerBuffer* ber, BerValue* out) { return ReadString(ber, &out->bv_val); }

int ScanLetters(BerBuffer* ber, const char* format, va_list ap) {
  int rc = 0;
  for (const char* f = format; *f; ++f) {
    ber_len_t length;
    ber_tag_t tag = LBER_DEFAULT;
    switch (*f) {
      case 'a': {
        std::string* out = va_arg(ap, std::string*);
        tag = ReadString(ber, out);
        rc = static_cast<int>(tag);
        break;
      }
      case 'b':
      case 'e':
      case 'i': {
        int* out = va_arg(ap, int*);
        tag = ReadInteger(ber, out);
        rc = static_cast<int>(tag);
        break;
      }
      case 'B': {
        std::string* bits = va_arg(ap, std::string*);
        int* count = va_arg(ap, int*);
        const uint8_t* data;
        size_t saved = ber->current;
        tag = ReadPrimitive(ber, &data, &length);
        if (tag != LBER_DEFAULT) {
          int unused = length > 0 ? data[0] : -1;
          if (length == 0 || unused > 7 || (length == 1 && unused != 0)) {
            ber->current = saved;
            tag = LBER_DEFAULT;
          } else {
            bits->assign(reinterpret_cast<const char*>(data + 1), length - 1);
            *count = static_cast<int>(8 * (length - 1) - unused);
          }
        }
        rc = static_cast<int>(tag);
        break;
      }
      case 'l': {
        ber_len_t* out = va_arg(ap, ber_len_t*);
        size_t p = ber->current;
        tag = HeaderAt(ber, &p, &length);
        if (tag != LBER_DEFAULT) {
          *out = length;
          rc = static_cast<int>(length);
        }
        break;
      }
      case 'n': {
        size_t p = ber->current;
        tag = HeaderAt(ber, &p, &length);
        if (tag != LBER_DEFAULT && length != 0) tag = LBER_DEFAULT;
        if (tag != LBER_DEFAULT) ber->current = p;
        rc = static_cast<int>(tag);
        break;
      }
      case 'o': {
        BerValue* out = va_arg(ap, BerValue*);
        tag = ReadValue(ber, out);
        rc = static_cast<int>(tag);
        break;
      }
      case 'O': {
        std::unique_ptr<BerValue>* out = va_arg(ap, std::unique_ptr<BerValue>*);
        auto value = std::make_unique<BerValue>();
        tag = ReadValue(ber, value.get());
        if (tag != LBER_DEFAULT) *out = std::move(value);
        rc = static_cast<int>(tag);
        break;
      }
      case 's': {
        char* buf = va_arg(ap, char*);
        int* size = va_arg(ap, int*);
        const uint8_t* data;
        size_t saved = ber->current;
        tag = ReadPrimitive(ber, &data, &length);
        if (tag != LBER_DEFAULT) {
          if (!buf || !size || *size <= 0 || length > static_cast<ber_len_t>(*size - 1)) {
            ber->current = saved;
            tag = LBER_DEFAULT;
          } else {
            std::memcpy(buf, data, length);
            buf[length] = '\0';
            *size = static_cast<int>(length);
          }
        }
        rc = static_cast<int>(tag);
        break;
      }
      case 't': {
        ber_tag_t* out = va_arg(ap, ber_tag_t*);
        size_t p = ber->current;
        tag = TagAt(ber, &p);
        if (tag != LBER_DEFAULT) *out = tag;
        rc = static_cast<int>(tag);
        break;
      }
      case 'T': {
        ber_tag_t* out = va_arg(ap, ber_tag_t*);
        tag = ber_read_header(ber, &length);
        if (tag != LBER_DEFAULT) *out = tag;
        rc = static_cast<int>(tag);
        break;
      }
      case 'v': {
        std::vector<std::string>* out = va_arg(ap, std::vector<std::string>*);
        rc = ReadArray(ber, out, ReadString);
        if (rc < 0) return -1;
        continue;
      }
      case 'V': {
        std::vector<BerValue>* out = va_arg(ap, std::vector<BerValue>*);
        rc = ReadArray(ber, out, ReadValue);
        if (rc < 0) return -1;
        continue;
      }
      case 'x': {
        const uint8_t* data;
        tag = ReadPrimitive(ber, &data, &length);
        rc = static_cast<int>(tag);
        break;
      }
      case '{':
      case '[':
        if (f[1] == 'v' || f[1] == 'V') continue;
        tag = ber_read_header(ber, &length);
        rc = static_cast<int>(tag);
        break;
      case '}':
      case ']':
        continue;
      default:
        Debug(LDAP_DEBUG_ANY, "unknown fmt %c\n", *f);
        return -1;
    }
    if (tag == LBER_DEFAULT) return -1;
  }
  return rc;
}

}  // namespace

ber_tag_t ber_read_tag(BerBuffer* ber) {
  if (!ber) return LBER_DEFAULT;
  return TagAt(ber, &ber->current);
}

ber_tag_t ber_read_header(BerBuffer* ber, ber_len_t* length) {
  if (!ber || !length) return LBER_DEFAULT;
  return HeaderAt(ber, &ber->current, length);
}

ber_tag_t ber_peek_header(BerBuffer* ber, ber_len_t* length) {
  if (!ber || !length) return LBER_DEFAULT;
  size_t p = ber->current;
  return HeaderAt(ber, &p, length);
}

ber_tag_t ber_first_item(BerBuffer* ber, ber_len_t* length, size_t* last) {
  if (!ber || !length || !last) return LBER_DEFAULT;
  ber_len_t containerLength;
  if (ber_read_header(ber, &containerLength) == LBER_DEFAULT) return LBER_DEFAULT;
  *last = ber->current + containerLength;
  if (ber->current >= *last) return LBER_DEFAULT;
  return ber_peek_header(ber, length);
}

ber_tag_t ber_next_item(BerBuffer* ber, ber_len_t* length, size_t last) {
  if (!ber || !length || ber->current >= last) return LBER_DEFAULT;
  return ber_peek_header(ber, length);
}

int ber_scanf(BerBuffer* ber, const char* format, ...) {
  if (!ber || !format) return -1;
  va_list ap;
  va_start(ap, format);
  int rc;
  try {
    rc = ScanLetters(ber, format, ap);
  } catch (const std::exception&) {  // out of memory for an output
    rc = -1;
  }
  va_end(ap);
  return rc;
}

// ---------------------------------------------------------------- encoding

namespace {

// Identifier octets of a tag: its significant octets, big-endian.
size_t EncodeTag(ber_tag_t tag, uint8_t* out) {
  size_t n = 1;
  while (n < 4 && (tag >> (8 * n)) != 0) ++n;
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(tag >> (8 * (n - 1 - i)));
  return n;
}

// Minimal length octets.
size_t EncodeLength(ber_len_t length, uint8_t* out) {
  if (length < 0x80) {
    out[0] = static_cast<uint8_t>(length);
    return 1;
  }
  size_t n = 1;
  while (n < 4 && (length >> (8 * n)) != 0) ++n;
  out[0] = static_cast<uint8_t>(0x80 | n);
  for (size_t i = 0; i < n; ++i) out[1 + i] = static_cast<uint8_t>(length >> (8 * (n - 1 - i)));
  return n + 1;
}

// Makes the area hold at least `need` bytes, growing in whole units:
// (units held + max(1, units of the write)) units, or more when that still
// falls short (a write far past the area's end).
bool Reserve(BerBuffer* ber, size_t need, size_t writeLength) {
  if (need <= ber->areaSize) return true;
  size_t units = ber->areaSize / kBerGrowthUnit;
  size_t writeUnits = (writeLength + kBerGrowthUnit - 1) / kBerGrowthUnit;
  size_t total = (units + (writeUnits > 1 ? writeUnits : 1)) * kBerGrowthUnit;
  if (total < need) total = (need + kBerGrowthUnit - 1) / kBerGrowthUnit * kBerGrowthUnit;
  if (!ber->Resize(total)) return false;
  ber->end = ber->areaSize;
  return true;
}

// Writes bytes where the next encoding goes: inside the innermost open
// element, else at current.
bool Append(BerBuffer* ber, const void* data, size_t length) {
  OpenElement* open = ber->openElements.empty() ? nullptr : &ber->openElements.back();
  size_t pos = open ? open->next : ber->current;
  if (open && length > 0xFFFFFFFFu - open->contentLength) return false;
  if (!Reserve(ber, pos + length, length)) return false;
  if (length) std::memcpy(ber->area.get() + pos, data, length);
  if (open) {
    open->next += length;
    open->contentLength += static_cast<ber_len_t>(length);
  } else {
    ber->current += length;
  }
  return true;
}

ber_tag_t TakeTag(BerBuffer* ber, ber_tag_t defaultTag) {
  return ber->pendingTag != LBER_DEFAULT ? ber->pendingTag : defaultTag;
}

// One primitive element; the encoded size, or -1.
int PutPrimitive(BerBuffer* ber, ber_tag_t tag, const void* data, size_t length) {
  if (length > 0xFFFFFFFFu) return -1;
  uint8_t header[9];
  size_t n = EncodeTag(tag, header);
  n += EncodeLength(static_cast<ber_len_t>(length), header + n);
  if (!Append(ber, header, n)) return -1;
  if (!Append(ber, data, length)) return -1;
  return static_cast<int>(n + length);
}

int PutInteger(BerBuffer* ber, ber_tag_t tag, int value) {
  uint32_t bits = static_cast<uint32_t>(value);
  bool negative = value < 0;
  uint8_t sign = negative ? 0xFF : 0x00;
  int n = 4;
  while (n > 1 && static_cast<uint8_t>(bits >> (8 * (n - 1))) == sign) --n;
  uint8_t first = static_cast<uint8_t>(bits >> (8 * (n - 1)));
  if (((first & 0x80) != 0) != negative) ++n;  // never past 4: the top byte carries the sign
  uint8_t content[4];
  for (int i = 0; i < n; ++i) content[i] = static_cast<uint8_t>(bits >> (8 * (n - 1 - i)));
  return PutPrimitive(ber, tag, content, n);
}

int OpenConstructed(BerBuffer* ber, ber_tag_t tag) {
  OpenElement element;
  element.tag = tag;
  element.start = ber->openElements.empty() ? ber->current : ber->openElements.back().next;
  element.next = element.start + 1 + kBerReservedLength;
  element.contentLength = 0;
  ber->openElements.push_back(element);
  return 0;
}

int CloseConstructed(BerBuffer* ber) {
  if (ber->openElements.empty()) return -1;
  OpenElement element = ber->openElements.back();
  uint8_t header[9];
  size_t tagOctets = EncodeTag(element.tag, header);
  size_t lengthOctets;
  if (ber->options & BER_OPTION_DER) {
    lengthOctets = EncodeLength(element.contentLength, header + tagOctets);
  } else {
    header[tagOctets] = 0x84;
    for (int i = 0; i < 4; ++i) header[tagOctets + 1 + i] = static_cast<uint8_t>(element.contentLength >> (8 * (3 - i)));
    lengthOctets = 5;
  }
  size_t headerSize = tagOctets + lengthOctets;
  size_t reserved = 1 + kBerReservedLength;
  size_t total = headerSize + element.contentLength;
  // An empty element may never have touched its reserved space; a tag of
  // several octets makes the header longer than the reservation.
  size_t need = element.start + (headerSize > reserved ? headerSize : reserved) + element.contentLength;
  if (!Reserve(ber, need, need - ber->areaSize)) return -1;
  uint8_t* area = ber->area.get();
  if (headerSize != reserved && element.contentLength) {
    std::memmove(area + element.start + headerSize, area + element.start + reserved, element.contentLength);
  }
  std::memcpy(area + element.start, header, headerSize);
  ber->openElements.pop_back();
  if (ber->openElements.empty()) {
    ber->current = element.start + total;
  } else {
    OpenElement& outer = ber->openElements.back();
    if (total > 0xFFFFFFFFu - outer.contentLength) return -1;
    outer.contentLength += static_cast<ber_len_t>(total);
    outer.next += total;
  }
  return static_cast<int>(total);
}

int PrintLetters(BerBuffer* ber, const char* format, va_list ap) {
  int rc = 0;
  for (const char* f = format; *f; ++f) {
    switch (*f) {
      case 'b': {
        uint8_t octet = va_arg(ap, int) ? 0xFF : 0x00;
        rc = PutPrimitive(ber, TakeTag(ber, LBER_BOOLEAN), &octet, 1);
        break;
      }
      case 'i':
        rc = PutInteger(ber, TakeTag(ber, LBER_INTEGER), va_arg(ap, int));
        break;
      case 'e':
        rc = PutInteger(ber, TakeTag(ber, LBER_ENUMERATED), va_arg(ap, int));
        break;
      case 'n':
        rc = PutPrimitive(ber, TakeTag(ber, LBER_NULL), nullptr, 0);
        break;
      case 'o': {
        const char* data = va_arg(ap, const char*);
        int length = va_arg(ap, int);
        rc = (length < 0 || (!data && length > 0)) ? -1 : PutPrimitive(ber, TakeTag(ber, LBER_OCTETSTRING), data, length);
        break;
      }
      case 's': {
        const char* text = va_arg(ap, const char*);
        rc = PutPrimitive(ber, TakeTag(ber, LBER_OCTETSTRING), text, text ? std::strlen(text) : 0);
        break;
      }
      case 'B': {
        const char* data = va_arg(ap, const char*);
        int bits = va_arg(ap, int);
        if (bits < 0 || (!data && bits > 0)) {
          rc = -1;
          break;
        }
        size_t octets = (static_cast<size_t>(bits) + 7) / 8;
        std::string content;
        content.push_back(static_cast<char>(8 * octets - bits));
        content.append(data ? data : "", octets);
        rc = PutPrimitive(ber, TakeTag(ber, LBER_BITSTRING), content.data(), content.size());
        break;
      }
      case 't':
        ber->pendingTag = static_cast<ber_tag_t>(va_arg(ap, int));
        ber->tagIsUserSet = true;
        continue;  // keeps the tag for the next letter
      case 'v': {
        const std::vector<std::string>* texts = va_arg(ap, const std::vector<std::string>*);
        ber_tag_t tag = TakeTag(ber, LBER_OCTETSTRING);
        rc = 0;
        if (texts) {
          for (const std::string& text : *texts) {
            rc = PutPrimitive(ber, tag, text.data(), text.size());
            if (rc < 0) break;
          }
        }
        break;
      }
      case 'V': {
        const std::vector<BerValue>* values = va_arg(ap, const std::vector<BerValue>*);
        ber_tag_t tag = TakeTag(ber, LBER_OCTETSTRING);
        rc = 0;
        if (values) {
          for (const BerValue& value : *values) {
            rc = PutPrimitive(ber, tag, value.data(), value.size());
            if (rc < 0) break;
          }
        }
        break;
      }
      case '{':
        rc = OpenConstructed(ber, TakeTag(ber, LBER_SEQUENCE));
        break;
      case '[':
        rc = OpenConstructed(ber, TakeTag(ber, LBER_SET));
        break;
      case '}':
      case ']':
        rc = CloseConstructed(ber);
        break;
      default:
        Debug(LDAP_DEBUG_ANY, "unknown fmt %c\n", *f);
        rc = -1;
    }
    ber->pendingTag = LBER_DEFAULT;
    ber->tagIsUserSet = false;
    if (rc < 0) return -1;
  }
  return rc;
}

}  // namespace

int ber_printf(BerBuffer* ber, const char* format, ...) {
  if (!ber || !format) return -1;
  va_list ap;
  va_start(ap, format);
  int rc;
  try {
    rc = PrintLetters(ber, format, ap);
  } catch (const std::exception&) {  // out of memory for the open-element stack
    rc = -1;
  }
  va_end(ap);
  return rc;
}

// ---------------------------------------------------------------- trace

namespace {

void TraceWrite(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

void ber_trace(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string line = StrFormatV(fmt, ap);
  va_end(ap);
  TraceWrite(line);
}

void ber_hex_print(const uint8_t* data, size_t length) {
  static const char kHex[] = "0123456789abcdef";
  std::string line;
  int items = 0;
  for (size_t i = 0; i < length; ++i) {
    uint8_t c = data[i];
    if (items > 0) line.push_back(' ');
    if (c > 0x20 && c < 0x7F) {
      line.push_back(' ');
      line.push_back(static_cast<char>(c));
    } else {
      line.push_back(kHex[c >> 4]);
      line.push_back(kHex[c & 0x0F]);
    }
    if (++items == 16) {
      TraceWrite("\t" + line + "\n");
      line.clear();
      items = 0;
    }
  }
  TraceWrite("\t" + (items > 0 ? line : std::string("(end)")) + "\n");
}

void ber_dump(const BerBuffer* ber, int direction) {
  if (!ber) return;
  const uint8_t* base = ber->area.get();
  TraceWrite(StrFormat("ber_dump: buf 0x%lx, ptr 0x%lx, end 0x%lx\n", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(base)),
                       static_cast<unsigned long>(reinterpret_cast<uintptr_t>(base) + ber->current),
                       static_cast<unsigned long>(reinterpret_cast<uintptr_t>(base) + ber->end)));
  size_t from = direction == 1 ? ber->current : 0;
  size_t to = direction == 1 ? ber->end : ber->current;
  if (to > ber->areaSize) to = ber->areaSize;
  size_t length = to > from ? to - from : 0;
  TraceWrite(StrFormat("          current len %ld, contents:\n", static_cast<long>(length)));
  ber_hex_print(base ? base + from : nullptr, length);
}

}  // namespace kry
