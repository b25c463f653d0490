#include "support/ldaps_tools.h"

#include <dirent.h>

#include <cstdlib>

namespace krytest {

std::string ToolBinary(const std::string& name) {
  const char* dir = std::getenv("KRY_BINARY_DIR");
  return std::string(dir ? dir : ".") + "/tools/" + name + "/" + name;
}

ClientCert MakeClientCert(const std::string& secretKeyFile, const std::string& dir, const std::string& name) {
  ClientCert c;
  RunResult r = RunShell("timeout 60 " + ShellQuote(ToolBinary("krykey")) + " tls-cert " + ShellQuote(secretKeyFile) +
                         " --out " + ShellQuote(dir + "/" + name) + " 2>&1");
  if (r.exitCode != 0) return c;
  // Whatever the files are called, one holds the certificate and one the key.
  DIR* d = opendir(dir.c_str());
  if (!d) return c;
  while (dirent* e = readdir(d)) {
    std::string file = e->d_name;
    if (file.compare(0, name.size(), name) != 0) continue;
    std::string text = ReadFile(dir + "/" + file);
    if (text.find("BEGIN CERTIFICATE") != std::string::npos) c.cert = dir + "/" + file;
    else if (text.find("PRIVATE KEY") != std::string::npos) c.key = dir + "/" + file;
  }
  closedir(d);
  return c;
}

RunResult RunLdapsTool(int port, const ClientCert& cert, const std::string& tool, const std::vector<std::string>& args,
                       const std::string& ldif, const std::string& ldifFile) {
  std::string cmd = "LDAPTLS_REQCERT=never ";
  if (cert.ok()) cmd += "LDAPTLS_CERT=" + ShellQuote(cert.cert) + " LDAPTLS_KEY=" + ShellQuote(cert.key) + " ";
  cmd += "timeout 20 " + tool + " -P 2 -x -o nettimeout=10 -H ldaps://127.0.0.1:" + std::to_string(port);
  if (!ldif.empty()) {
    WriteFile(ldifFile, ldif);
    cmd += " -f " + ShellQuote(ldifFile);
  }
  for (const auto& a : args) cmd += " " + ShellQuote(a);
  return RunShell(cmd + " 2>&1");
}

}  // namespace krytest
