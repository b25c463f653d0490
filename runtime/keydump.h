// Key dumps of the running directory: every ACTIVE certificate that is not
// disabled, as the binary transferable public key HKP serves for it,
// written into numbered files "krycertd-0000.pgp", "krycertd-0001.pgp", ...
// of concatenated keys (the format keyservers exchange dumps in), plus
// "krycertd-dump.txt" with the counts. Each file appears under its name
// only once it is complete (written under a temporary name, synced,
// renamed).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "runtime/console_proto.h"

namespace kry {

struct Backend;

constexpr uint32_t kDefaultKeysPerFile = 15000;
constexpr const char kDumpFilePrefix[] = "krycertd-";
constexpr const char kDumpInfoFile[] = "krycertd-dump.txt";

// The name of dump file `n` ("krycertd-0007.pgp"; more digits past 9999).
std::string DumpFileName(uint32_t n);

// Writes the dump that `request` asks for. The certificates are those under
// OU=ACTIVE when the dump starts; each is read whole from the entry map
// while adds and deletes go on (a key deleted meanwhile is left out).
// `progress` is called every few seconds with the counts so far; when it
// returns false the dump stops. Returns the reply: status kConsoleOk,
// kConsoleDumpRefused (nothing written) or kConsoleDumpFailed (text says
// why; files already renamed stay).
DumpReply DumpKeys(Backend* be, const DumpRequest& request, const std::function<bool(const DumpReply&)>& progress);

}  // namespace kry
