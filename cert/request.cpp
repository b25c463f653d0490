#include "cert/request.h"

#include <cctype>
#include <cstring>

#include "cert/certentry.h"
#include "log/trace.h"
#include "util/strutil.h"

namespace kry {

namespace {

constexpr const char* kSignedHeader = "-----BEGIN PGP SIGNED MESSAGE-----";
constexpr const char* kSignatureHeader = "-----BEGIN PGP SIGNATURE-----";
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

// Positions r at the request text: after the clear-signed header and its
// armour headers, or at the first line when the wrapper may be left out.
int SkipWrapper(LineReader* r, bool wrapperRequired, bool* clearSigned) {
  const char* start = r->pos;
  const size_t startLen = r->remaining;
  while (r->Next()) {
    if (std::strcmp(r->buf, kSignedHeader) != 0) continue;
    *clearSigned = true;
    while (r->Next())
      if (r->len == 0) return 0;
    return HeaderError("No request header was specified.\n");
  }
  if (wrapperRequired) return HeaderError("No KRY message block in kryRequest.\n");
  r->pos = start;
  r->remaining = startLen;
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

int ReadKeyBlock(LineReader* r, ParsedRequest* out) {
  if (!r->Next() || !r->EscapedEquals(kKeyHeader)) return BodyError("KRY Key Block not specified.\n");
  std::string block = std::string(kKeyHeader) + "\n";
  for (;;) {
    const char* lineStart = r->pos;
    if (!r->Next()) return BodyError("KRY Key Block invalid.\n");
    if (r->EscapedEquals(kKeyFooter)) break;
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

// Key-ID lines up to an empty line, the end of the block, or the armour
// line of the signature that follows the text of a clear-signed block (the
// signed text has no empty line before it).
int ReadKeyIDs(LineReader* r, ParsedRequest* out) {
  while (r->Next()) {
    if (r->len == 0 || std::strcmp(r->buf, kSignatureHeader) == 0) break;
    if (r->len != kKeyIDLineLen || r->buf[0] != '0' || r->buf[1] != 'x')
      return BodyError("Key ID '%s' is invalid.\n", r->buf);
    out->keyIDs.emplace_back(r->buf, kKeyIDLineLen);
  }
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

int ProcessReqBuffer(const char* block, size_t length, bool wrapperRequired, ParsedRequest* out) {
  Debug(LDAP_DEBUG_TRACE, "=> ProcessReqBuffer\n");
  *out = ParsedRequest();
  LineReader r{block, length, {0}};
  int rc = SkipWrapper(&r, wrapperRequired, &out->clearSigned);
  if (rc == 0) rc = ReadHeaders(&r, out);
  if (rc == 0 && out->location == 0) out->location = kLocationActive;
  if (rc == 0) {
    if (out->kind == kRequestAdd)
      rc = ReadKeyBlock(&r, out);
    else if (out->kind == kRequestDelete || out->kind == kRequestDisable)
      rc = ReadKeyIDs(&r, out);
    else
      rc = HeaderError("Request headers are invalid.\n");
  }
  if (rc == 0 && out->location != kLocationPending && out->location != kLocationActive)
    rc = HeaderError("Location headers are invalid.\n");
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
