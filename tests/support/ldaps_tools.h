// Real TLS clients for the secure port and the command port: client
// certificates made from OpenPGP secret keys with krykey, OpenLDAP tools
// over ldaps with them, and krycertctl as a remote console.
#pragma once

#include <string>
#include <vector>

#include "support/harness.h"

namespace krytest {

// A PEM certificate and private key; empty paths mean no client certificate.
struct ClientCert {
  std::string cert, key;
  bool ok() const { return !cert.empty() && !key.empty(); }
};

// `krykey tls-cert SECRET-KEY-FILE --out DIR/NAME`; the files it wrote.
ClientCert MakeClientCert(const std::string& secretKeyFile, const std::string& dir, const std::string& name);

// `tool -P 2 -x -H ldaps://127.0.0.1:port args...` presenting `cert` (none
// when empty), not checking the server's certificate, fed `ldif` through
// `ldifFile` when given.
RunResult RunLdapsTool(int port, const ClientCert& cert, const std::string& tool, const std::vector<std::string>& args,
                       const std::string& ldif = std::string(), const std::string& ldifFile = std::string());

// The built tools.
std::string ToolBinary(const std::string& name);

}  // namespace krytest
