// Helpers shared by the client-driven scenarios: signed requests sent with
// ldapadd, GnuPG round trips of returned key blocks, and krycertctl.
#pragma once

#include <string>
#include <vector>

#include "certadd/certadd_support.h"

namespace krytest {

extern const char kVirtualDN[];

bool Has(const std::string& text, const std::string& part);

// ldapadd of a signed request file at the virtual DN.
RunResult SendRequestFile(KeyServer& server, const std::string& path);

// Configuration lines that make trusted-signer an add and delete signer.
std::string TrustedSignerLines();

// Imports `block` into a fresh GnuPG home and returns the fingerprints of
// the primary keys it holds (empty when gpg refused the block).
std::vector<std::string> ImportedFingerprints(const std::string& block);

// The user-ID texts of `block` as GnuPG lists them after importing it.
std::vector<std::string> ImportedUserIDs(const std::string& block);

// Runs krycertctl against the tree's command port.
RunResult Ctl(const ServerTree& tree, const std::string& args);

}  // namespace krytest
