// Request blocks sent as a kryRequest value: the parser of their headers
// and body, and the check of the clear signature that wraps them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/pgp/kry.h"

namespace kry {

constexpr int kRequestAdd = 1;
constexpr int kRequestDelete = 2;
constexpr int kRequestDisable = 3;
// Blocklist changes, sent on to replicas in the replication log: headers
// "REQUEST: BLOCK" or "REQUEST: UNBLOCK", an empty line, the fingerprint.
constexpr int kRequestBlock = 4;
constexpr int kRequestUnblock = 5;

// What ProcessReqBuffer found in a request block.
struct ParsedRequest {
  int kind = 0;                     // kRequestAdd, kRequestDelete, kRequestDisable
  int location = 0;                 // kLocationPending 1, kLocationActive 2
  std::string keyBlock;             // add: the armoured key block, escapes removed
  std::vector<std::string> keyIDs;  // delete/disable: "0x" + 16 characters each
  std::string fingerprint;          // block/unblock: the line as sent
  bool clearSigned = false;         // the block carried the clear-signed wrapper
};

// GetLine statuses besides 0.
constexpr int kGetLineEnd = 1;

// Reads one line at *pos (at most bufSize-1 characters are kept, the rest
// of a longer line is skipped), strips trailing white space and advances
// *pos and *remaining past the line and its terminator (LF, CR or CRLF).
// Returns 0 with *lineLen set, or kGetLineEnd when nothing is left.
int GetLine(const char** pos, size_t* remaining, char* buf, size_t bufSize, size_t* lineLen);

// Parses request text: headers and body. With `escaped` the key block's
// armour lines carry the "- " escape, as an unsigned block writes them;
// the text a clear-signed block decodes to has it removed. 0, -11986
// header error, -11984 body error; the reason goes to the trace.
int ParseRequestText(const char* text, size_t length, bool escaped, ParsedRequest* out);

// True when the block starts with the clear-signed armour header line (LF
// or CR LF after it, nothing else): the blocks ProcessReqBuffer decodes.
bool IsClearSignedBlock(const char* block, size_t length);

// Parses a request block. A clear-signed block must begin with the armour
// header line and end with its signature (white space may follow); the
// request is read only from the text its signature covers, as the key
// library decodes it. Otherwise, unless wrapperRequired, the block is the
// request text and must not hold a signed message. 0, -11986 header or
// framing error, -11984 body error, 21 when a signed block cannot be
// decoded. `context` is needed only for a clear-signed block.
int ProcessReqBuffer(const char* block, size_t length, bool wrapperRequired, KRYContextRef context,
                     ParsedRequest* out);

// Decodes the clear-signed block against `signers` (may be null). *verified
// is set when a key of that set made a signature that verified; *signerID
// gets the signer's 16-digit key ID even when it did not. 0, or 21 when the
// block cannot be decoded.
int VerifyCertRequest(const char* block, size_t length, KRYKeySetRef signers, KRYContextRef context,
                      bool* verified, std::string* signerID);

}  // namespace kry
