#include "cert/request.h"

#include <cctype>
#include <cstring>
#include <memory>
#include <string_view>

#include "cert/certentry.h"
#include "log/trace.h"
#include "util/strutil.h"

namespace kry {

namespace {

constexpr const char* kSignedHeader = "-----BEGIN PGP SIGNED MESSAGE-----";
constexpr const char* kKeyHeader = "-----BEGIN PGP PUBLIC KEY BLOCK-----";
constexpr const char* kKeyFooter = "-----END PGP PUBLIC KEY BLOCK-----";
constexpr size_t kLineBuf = 256;
constexpr size_t kKeyIDLineLen = 18;

// A cursor over the block that hands out lines.
struct LineReader {
  const char* pos;
  size_t remaining;
  char buf[kLineBuf];
  size_t len = 0;

  bool Next() { return GetLine(&pos, &remaining, buf, sizeof buf, &len) == 0; }
  // The line after the dash escape "- " (the first two characters).
  bool EscapedEquals(const char* text) const { return len >= 2 && std::strcmp(buf + 2, text) == 0; }
};

int HeaderError(const char* fmt, const char* arg = "") {
  Debug(LDAP_DEBUG_ANY, fmt, arg);
  return kKRYError_MalformedRequestHeader;
}

int BodyError(const char* fmt, const char* arg = "") {
  Debug(LDAP_DEBUG_ANY, fmt, arg);
  return kKRYError_ItemNotFound;
}

bool Contains(const char* block, size_t length, const char* text) {
  return std::string_view(block, length).find(text) != std::string_view::npos;
}

bool OnlyLineWhiteSpace(const char* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != ' ' && p[i] != '\t' && p[i] != '\r' && p[i] != '\n') return false;
  return true;
}

struct DataFree {
  void operator()(char* p) const { KRYFreeData(p); }
};

// The text that the block's signature covers, dash escapes removed, as the
// key library reads it. Nothing but white space may follow the signature,
// and the text may hold no carriage return that the request's line reader
// would take for a line end where the decoder saw none.
int DecodeSignedText(const char* block, size_t length, KRYContextRef context, std::string* text) {
  char* data = nullptr;
  size_t dataLen = 0, end = 0;
  KRYDecodeOptions o{};
  o.inputBuffer = block;
  o.inputLength = length;
  o.outputData = &data;
  o.outputLength = &dataLen;
  o.endOffset = &end;
  const KRYError err = KRYDecode(context, &o);
  std::unique_ptr<char, DataFree> owned(data);
  if (err != 0) {
    Debug(LDAP_DEBUG_ANY, "ProcessReqBuffer: Decoding kryRequest failed, rc = %d\n", static_cast<int>(err));
    return 21;
  }
  if (end > length || !OnlyLineWhiteSpace(block + end, length - end))
    return HeaderError("Data follows the signature of the kryRequest block.\n");
  if (dataLen > 0 && std::memchr(data, '\r', dataLen) != nullptr)
    return HeaderError("Carriage return inside the signed request text.\n");
  text->assign(data ? data : "", dataLen);
  return 0;
}

// Each header line multiplies the value read so far by 1000, so a repeated
// header leaves a value that no request uses.
int ReadHeaders(LineReader* r, ParsedRequest* out) {
  static const struct {
    const char* line;
    bool isKind;
    int code;
  } kHeaders[] = {{"REQUEST: ADD", true, kRequestAdd},
                  {"REQUEST: DELETE", true, kRequestDelete},
                  {"REQUEST: DISABLE", true, kRequestDisable},
                  {"REQUEST: BLOCK", true, kRequestBlock},
                  {"REQUEST: UNBLOCK", true, kRequestUnblock},
                  {"LOCATION: PENDING", false, kLocationPending},
                  {"LOCATION: ACTIVE", false, kLocationActive}};
  while (r->Next()) {
    if (r->len == 0) return 0;
    bool known = false;
    for (const auto& h : kHeaders) {
      if (!StrIEquals(r->buf, h.line)) continue;
      int* v = h.isKind ? &out->kind : &out->location;
      // Saturate instead of overflowing on long runs of repeated headers.
      *v = *v > 1000000 ? 1000000 * 1000 : *v * 1000 + h.code;
      known = true;
      break;
    }
    if (!known) return HeaderError("Unsupported request header '%s'\n", r->buf);
  }
  return HeaderError("No request header was specified.\n");
}

// The armour line `text`, after the dash escape when the text has them.
bool ArmourLineIs(const LineReader& r, bool escaped, const char* text) {
  return escaped ? r.EscapedEquals(text) : std::strcmp(r.buf, text) == 0;
}

int ReadKeyBlock(LineReader* r, bool escaped, ParsedRequest* out) {
  if (!r->Next() || !ArmourLineIs(*r, escaped, kKeyHeader)) return BodyError("KRY Key Block not specified.\n");
  std::string block = std::string(kKeyHeader) + "\n";
  for (;;) {
    const char* lineStart = r->pos;
    if (!r->Next()) return BodyError("KRY Key Block invalid.\n");
    if (ArmourLineIs(*r, escaped, kKeyFooter)) break;
    // Copy the line as sent (not the shortened buffer), without its
    // terminator; an armour line is never longer than the buffer anyway.
    size_t n = static_cast<size_t>(r->pos - lineStart);
    while (n > 0 && (lineStart[n - 1] == '\n' || lineStart[n - 1] == '\r')) --n;
    block.append(lineStart, n);
    block += '\n';
  }
  block += kKeyFooter;
  block += '\n';
  out->keyBlock = std::move(block);
  return 0;
}

// Key-ID lines up to an empty line or the end of the text.
int ReadKeyIDs(LineReader* r, ParsedRequest* out) {
  while (r->Next()) {
    if (r->len == 0) break;
    if (r->len != kKeyIDLineLen || r->buf[0] != '0' || r->buf[1] != 'x')
      return BodyError("Key ID '%s' is invalid.\n", r->buf);
    out->keyIDs.emplace_back(r->buf, kKeyIDLineLen);
  }
  return 0;
}

// The one fingerprint line of a block or unblock request.
int ReadFingerprint(LineReader* r, ParsedRequest* out) {
  if (!r->Next() || r->len == 0) return BodyError("No fingerprint in the block request.\n");
  out->fingerprint.assign(r->buf, r->len);
  return 0;
}

}  // namespace

int GetLine(const char** pos, size_t* remaining, char* buf, size_t bufSize, size_t* lineLen) {
  if (*remaining == 0) return kGetLineEnd;
  const char* p = *pos;
  const char* end = p + *remaining;
  size_t kept = 0;
  while (p < end && *p != '\n' && *p != '\r') {
    if (kept + 1 < bufSize) buf[kept++] = *p;
    ++p;
  }
  if (p < end && *p == '\r') {
    ++p;
    if (p < end && *p == '\n') ++p;  // CRLF
  } else if (p < end) {
    ++p;  // LF
  }
  while (kept > 0 && std::isspace(static_cast<unsigned char>(buf[kept - 1]))) --kept;
  if (bufSize > 0) buf[kept] = '\0';
  *lineLen = kept;
  *remaining -= static_cast<size_t>(p - *pos);
  *pos = p;
  return 0;
}

// The header must be the block's first line, exactly, ended by LF or CR LF:
// the line the key library's decoder then takes as the header too.
bool IsClearSignedBlock(const char* block, size_t length) {
  const size_t n = std::strlen(kSignedHeader);
  if (length <= n || std::memcmp(block, kSignedHeader, n) != 0) return false;
  return block[n] == '\n' || (block[n] == '\r' && length > n + 1 && block[n + 1] == '\n');
}

int ParseRequestText(const char* text, size_t length, bool escaped, ParsedRequest* out) {
  *out = ParsedRequest();
  LineReader r{text, length, {0}};
  int rc = ReadHeaders(&r, out);
  if (rc == 0 && out->location == 0) out->location = kLocationActive;
  if (rc == 0) {
    if (out->kind == kRequestAdd)
      rc = ReadKeyBlock(&r, escaped, out);
    else if (out->kind == kRequestDelete || out->kind == kRequestDisable)
      rc = ReadKeyIDs(&r, out);
    else if (out->kind == kRequestBlock || out->kind == kRequestUnblock)
      rc = ReadFingerprint(&r, out);
    else
      rc = HeaderError("Request headers are invalid.\n");
  }
  if (rc == 0 && out->location != kLocationPending && out->location != kLocationActive)
    rc = HeaderError("Location headers are invalid.\n");
  return rc;
}

int ProcessReqBuffer(const char* block, size_t length, bool wrapperRequired, KRYContextRef context,
                     ParsedRequest* out) {
  Debug(LDAP_DEBUG_TRACE, "=> ProcessReqBuffer\n");
  *out = ParsedRequest();
  int rc;
  if (IsClearSignedBlock(block, length)) {
    std::string text;
    rc = DecodeSignedText(block, length, context, &text);
    if (rc == 0) rc = ParseRequestText(text.data(), text.size(), false, out);
    out->clearSigned = true;
  } else if (wrapperRequired) {
    rc = HeaderError("No KRY message block in kryRequest.\n");
  } else if (Contains(block, length, kSignedHeader)) {
    // Whatever a signed message further down says, it would not be what
    // this block's request is read from.
    rc = HeaderError("A signed message does not start the kryRequest block.\n");
  } else {
    rc = ParseRequestText(block, length, true, out);
  }
  Debug(LDAP_DEBUG_TRACE, "<= ProcessReqBuffer, rc=%d\n", rc);
  return rc;
}

namespace {

struct VerifyState {
  bool verified = false;
  std::string signerID;
};

KRYError OnDecodeEvent(KRYContextRef /*context*/, const KRYEvent* event, void* userData) {
  if (event->type != kKRYEvent_Signature) return 0;
  auto* st = static_cast<VerifyState*>(userData);
  st->verified = event->signatureData.checked && event->signatureData.verified;
  char text[32] = {0};
  if (KRYGetKeyIDString(&event->signatureData.signingKeyID, kKRYKeyIDString_Full, text, sizeof text) == 0) {
    const char* digits = (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) ? text + 2 : text;
    st->signerID = digits;
  }
  return 0;
}

}  // namespace

int VerifyCertRequest(const char* block, size_t length, KRYKeySetRef signers, KRYContextRef context,
                      bool* verified, std::string* signerID) {
  VerifyState st;
  KRYDecodeOptions opts{};
  opts.inputBuffer = block;
  opts.inputLength = length;
  opts.keySet = signers;
  opts.eventHandler = OnDecodeEvent;
  opts.eventUserData = &st;
  opts.discardOutput = 1;
  const KRYError err = KRYDecode(context, &opts);
  *verified = err == 0 && st.verified;
  *signerID = st.signerID;
  if (err != 0) {
    Debug(LDAP_DEBUG_ANY, "VerifyCertRequest: Decoding kryRequest failed, rc = %d\n", static_cast<int>(err));
    return 21;
  }
  return 0;
}

}  // namespace kry
