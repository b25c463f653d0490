// The server's TLS key: where its passphrase comes from, choosing and
// unlocking it at start-up, the entropy check, and preparing it for a start
// from the console. All run on the main thread before the listener starts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/pgp/kry.h"

namespace kry {

// Name of the passphrase file in systemd's credentials directory.
constexpr const char* kCredentialPassphraseName = "krycertd-passphrase";

// Chooses the passphrase source: the "ServerKeyPassphraseFile" file, else
// $CREDENTIALS_DIRECTORY/krycertd-passphrase when present and not empty, else the
// terminal in the foreground and nothing in service mode. A file that group
// or others may read, or that is not a regular file, is refused. 0, or 1
// after logging.
int ConfigurePassphraseSource();
// True when the passphrase is read from a file (reading is not asking, so
// it serves in every mode).
bool PassphraseCanBeRead();

// Chooses and unlocks the server key. Returns 0; -11987 or -11402 after
// turning TLS off; or another code after logging. serverKeyID receives the
// 8 bytes of the chosen key's ID.
int SelectServerKey(KRYContextRef context, const std::vector<uint8_t>& configuredID, KRYKeySetRef serverKeySet,
                    bool startNow, int* secureMode, std::vector<uint8_t>* serverKeyID, std::string* passphrase);
// Makes sure the random pool has enough entropy (the kernel's pool always
// has). 0 to continue, 1 to stop start-up.
int GatherEntropy(int* secureMode);
// Makes the chosen key's certificate and TLS set-up, so that a key TLS
// cannot use stops start-up with a clear message. 0, or 1 after logging.
int PrepareServerCertificate();
// While TLS is disabled: the configured key's ID and an empty passphrase
// when the key needs none, for a later start from the console. 0, or 1 when
// memory ran out.
int PrepareIdleServerKey();
// The console's start with the secure port on and no key ready yet:
// prepares the configured key without asking. 0, or 1 after logging.
int PrepareConsoleStartKey();

// The 8 bytes of a library key ID (4 for a short one).
std::vector<uint8_t> KeyIDBytes(const KRYKeyID& id);

}  // namespace kry
