// Texts for the library's status codes.
#include <cstdio>
#include <cstring>

#include "platform/pgp/kry.h"

namespace {

const char* ErrorText(KRYError code) {
  switch (code) {
    case kKRYError_NoErr: return "No error";
    case kKRYError_OutOfMemory: return "Out of memory";
    case kKRYError_BufferTooSmall: return "Buffer too small";
    case kKRYError_FileNotFound: return "File not found";
    case kKRYError_UserAbort: return "Passphrase entry cancelled";
    case kKRYError_MalformedRequestHeader: return "Malformed request header";
    case kKRYError_ItemNotFound: return "Item not found";
    case kKRYError_PassphraseUnavailable: return "Passphrase cannot be asked for";
    case kKRYError_EndOfIteration: return "End of iteration";
    case kKRYError_BadSignature: return "Invalid signature or required signatures missing";
    case kKRYError_OutputBufferTooSmall: return "Output did not fit into the buffer";
    case kKRYError_NoKeyRings: return "No keyrings configured";
    case kKRYError_NoPrivateKey: return "No private key";
    case kKRYError_UserIDNoName: return "User ID has no name string";
    case kKRYError_ReceiveTimeout: return "Receive timed out";
    case kKRYError_BadParams: return "Bad parameters";
    case kKRYError_MalformedPacket: return "Malformed OpenPGP packet";
    case kKRYError_BadArmor: return "Invalid ASCII armor";
    case kKRYError_ArmorChecksum: return "ASCII armor checksum mismatch";
    case kKRYError_UnsupportedAlgorithm: return "Unsupported algorithm";
    case kKRYError_BadPassphrase: return "Wrong passphrase";
    case kKRYError_TooLarge: return "Input too large";
    case kKRYError_NoKeyData: return "No key data found";
    case kKRYError_WrongContext: return "Objects belong to different contexts";
    case kKRYError_CryptoFailure: return "Cryptographic library failure";
    case kKRYError_NotImplemented: return "Not implemented";
    case kKRYError_FileIO: return "File read or write failed";
    case kKRYError_Decompression: return "Decompression failed";
    case kKRYError_NotInitialized: return "Key library not initialized";
    case kKRYError_ReadOnly: return "Key set is read-only";
    default: return nullptr;
  }
}

}  // namespace

KRYError KRYGetErrorString(KRYError code, char* buf, size_t size) {
  if (buf == nullptr || size == 0) return kKRYError_BadParams;
  char unknown[48];
  const char* text = ErrorText(code);
  if (text == nullptr) {
    std::snprintf(unknown, sizeof unknown, "Unknown error (%d)", code);
    text = unknown;
  }
  size_t len = std::strlen(text);
  if (len + 1 > size) {
    std::memcpy(buf, text, size - 1);
    buf[size - 1] = '\0';
    return kKRYError_BufferTooSmall;
  }
  std::memcpy(buf, text, len + 1);
  return kKRYError_NoErr;
}
