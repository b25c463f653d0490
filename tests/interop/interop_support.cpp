#include "interop_support.h"

#include <cstdlib>
#include <sstream>

namespace krytest {

const char kVirtualDN[] = "kryCertID=virtual,OU=ACTIVE,O=KRY KEYSPACE,C=US";

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

RunResult SendRequestFile(KeyServer& server, const std::string& path) {
  return server.AddLdif(std::string("dn: ") + kVirtualDN + "\nkryRequest:< file://" + path + "\n");
}

std::string TrustedSignerLines() {
  const std::string t = "0x" + CertIDOf("trusted-signer");
  return "PublicKeyRing " + Corpus("server-pubring.pkr") + "\nAllow keyid " + t + " add\nAllow keyid " + t +
         " delete\n";
}

namespace {

// Field `column` of every listing line of kind `kind` after an import.
std::vector<std::string> ImportedColumn(const std::string& block, const std::string& kind, size_t column) {
  Gpg gpg;
  std::vector<std::string> out;
  if (!gpg.Import(block)) return out;
  std::istringstream in(gpg.Run("--with-colons --fixed-list-mode --list-keys").output);
  bool primary = false;
  for (std::string line; std::getline(in, line);) {
    const std::vector<std::string> cols = Columns(line);
    // Only the fingerprint line right after a primary key's line counts.
    if (kind == "fpr" && cols[0] == "fpr" && primary) out.push_back(cols[column]);
    else if (kind != "fpr" && cols[0] == kind) out.push_back(cols[column]);
    primary = cols[0] == "pub";
  }
  return out;
}

}  // namespace

std::vector<std::string> ImportedFingerprints(const std::string& block) { return ImportedColumn(block, "fpr", 9); }

std::vector<std::string> ImportedUserIDs(const std::string& block) { return ImportedColumn(block, "uid", 9); }

RunResult Ctl(const ServerTree& tree, const std::string& args) {
  const char* dir = std::getenv("KRY_BINARY_DIR");
  const std::string ctl = std::string(dir ? dir : ".") + "/tools/krycertctl/krycertctl";
  return RunShell("KRYCERTD_SETTINGS=" + ShellQuote(tree.settings) + " timeout 60 " + ShellQuote(ctl) +
                  " --command-port " + std::to_string(tree.commandPort) + " " + args + " 2>&1");
}

}  // namespace krytest
