#include "certadd_support.h"

#include <signal.h>

#include <sstream>

#include <gtest/gtest.h>

#include "ldap/base64.h"
#include "tests/support/corpus_files.h"

namespace krytest {

const char kActiveOU[] = "OU=ACTIVE,O=KRY KEYSPACE,C=US";
const char kPendingOU[] = "OU=PENDING,O=KRY KEYSPACE,C=US";

namespace {

const char kVirtualDN[] = "kryCertID=virtual,OU=ACTIVE,O=KRY KEYSPACE,C=US";

std::vector<std::string> KeyIDRow(const std::string& name) {
  std::istringstream in(ReadFile(Corpus("KEYIDS.tsv")));
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> cols;
    std::istringstream row(line);
    std::string col;
    while (std::getline(row, col, '\t')) cols.push_back(col);
    if (cols.size() >= 4 && cols[0] == name) return cols;
  }
  return {};
}

}  // namespace

std::string Corpus(const std::string& name) { return corpus::Path(name); }
std::string CertIDOf(const std::string& name) {
  auto row = KeyIDRow(name);
  return row.empty() ? std::string() : row[2];
}
std::string FingerprintOf(const std::string& name) {
  auto row = KeyIDRow(name);
  return row.empty() ? std::string() : row[1];
}
std::string ShortIDOf(const std::string& name) {
  auto row = KeyIDRow(name);
  return row.empty() ? std::string() : row[3];
}

const std::vector<std::string>& LdifEntry::Values(const std::string& type) const {
  static const std::vector<std::string> none;
  auto it = attrs.find(type);
  return it == attrs.end() ? none : it->second;
}
std::string LdifEntry::First(const std::string& type) const {
  const auto& v = Values(type);
  return v.empty() ? std::string() : v[0];
}

std::vector<LdifEntry> ParseLdif(const std::string& text) {
  // Unfold continuation lines first.
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] == ' ' && !lines.empty())
      lines.back() += line.substr(1);
    else
      lines.push_back(line);
  }
  std::vector<LdifEntry> out;
  bool open = false;
  for (const std::string& l : lines) {
    if (l.empty() || l[0] == '#') {
      open = false;
      continue;
    }
    const size_t colon = l.find(':');
    if (colon == std::string::npos) continue;
    std::string type = l.substr(0, colon);
    for (char& c : type) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    std::string value;
    if (l.compare(colon, 2, "::") == 0) {
      char bad = 0;
      kry::base64_decode(l.substr(l.find_first_not_of(' ', colon + 2)), &value, &bad);
    } else {
      size_t start = l.find_first_not_of(' ', colon + 1);
      value = start == std::string::npos ? std::string() : l.substr(start);
    }
    if (type == "dn") {
      out.emplace_back();
      out.back().dn = value;
      open = true;
    } else if (open) {
      out.back().attrs[type].push_back(value);
    }
  }
  return out;
}

KeyServer::KeyServer(const std::string& extra, const std::vector<std::string>& args) {
  tree_.WriteConfig("Allow ip 127.0.0.1 all\n" + extra);
  ok_ = tree_.CreateDatabases() && tree_.Start(args);
}

KeyServer::~KeyServer() {
  // A clean exit also means no leak or error report of a sanitizer build.
  if (tree_.Running()) {
    EXPECT_EQ(tree_.Stop(SIGTERM), 0) << tree_.Output();
  }
}

RunResult KeyServer::Tool(const std::string& tool, const std::vector<std::string>& args, const std::string& input) {
  std::string cmd = "timeout 60 " + tool + " -P 2 -x -o nettimeout=30 -o ldif-wrap=no -H ldap://127.0.0.1:" +
                    std::to_string(tree_.port);
  if (!input.empty()) {
    const std::string file = tree_.log + "/input.ldif";
    WriteFile(file, input);
    cmd += " -f " + ShellQuote(file);
  }
  for (const auto& a : args) cmd += " " + ShellQuote(a);
  return RunShell(cmd + " 2>&1");
}

RunResult KeyServer::AddFile(const std::string& path) {
  return AddLdif(std::string("dn: ") + kVirtualDN + "\nkryKey:< file://" + path + "\n");
}

RunResult KeyServer::AddBlock(const std::string& block) {
  const std::string file = tree_.log + "/block.asc";
  WriteFile(file, block);
  return AddFile(file);
}

RunResult KeyServer::AddLdif(const std::string& ldif) { return Tool("ldapadd", {}, ldif); }

RunResult KeyServer::Modify(const std::string& dn, const std::string& changes) {
  return Tool("ldapmodify", {}, "dn: " + dn + "\nchangetype: modify\n" + changes);
}

std::vector<LdifEntry> KeyServer::Search(const std::string& base, const std::string& filter,
                                         const std::vector<std::string>& attrs, int* exitCode) {
  std::vector<std::string> args = {"-LLL", "-b", base, filter};
  args.insert(args.end(), attrs.begin(), attrs.end());
  RunResult r = Tool("ldapsearch", args, std::string());
  if (exitCode) *exitCode = r.exitCode;
  return ParseLdif(r.output);
}

std::vector<std::string> KeyServer::KeyBlocks(const std::string& shortID) {
  std::vector<std::string> blocks;
  for (const LdifEntry& e : Search(kActiveOU, "(kryKeyID=" + shortID + ")", {"kryKey"}))
    for (const std::string& v : e.Values("krykey")) blocks.push_back(v);
  return blocks;
}

bool KeyServer::Restart() {
  if (tree_.Stop(SIGTERM) != 0) return false;
  return tree_.Start();
}

int KeyServer::Stop() { return tree_.Stop(SIGTERM); }

std::vector<std::string> Columns(const std::string& line) {
  std::vector<std::string> cols;
  std::string col;
  std::istringstream in(line);
  while (std::getline(in, col, ':')) cols.push_back(col);
  if (cols.size() < 13) cols.resize(13);
  return cols;
}

std::string CertifiedByTrusted(const std::string& name, const std::string& file, const std::string& userID) {
  Gpg gpg;
  gpg.Import(ReadFile(Corpus(file)));
  gpg.Import(ReadFile(Corpus("trusted-signer-secret.asc")));
  RunResult r = gpg.Run("--yes -u " + CertIDOf("trusted-signer") + " --quick-sign-key " + FingerprintOf(name) +
                        (userID.empty() ? std::string() : " " + ShellQuote(userID)));
  if (r.exitCode != 0) return std::string();
  return gpg.Export(CertIDOf(name));
}

Gpg::Gpg() { Run("--list-keys"); }

RunResult Gpg::Run(const std::string& args, const std::string& input) {
  std::string cmd = "timeout 60 gpg --homedir " + ShellQuote(dir_.path()) + " --batch --no-tty --quiet " + args;
  if (!input.empty()) {
    const std::string file = dir_.File("stdin.txt");
    WriteFile(file, input);
    cmd += " < " + ShellQuote(file);
  }
  return RunShell(cmd + " 2>&1");
}

bool Gpg::Import(const std::string& block) { return Run("--import", block).exitCode == 0; }

std::string Gpg::Export(const std::string& id, bool local) {
  RunResult r = Run(std::string("--armor ") + (local ? "--export-options export-local-sigs " : "") + "--export " +
                    ShellQuote(id));
  return r.output;
}

std::vector<std::string> Gpg::Listing(const std::string& id) {
  RunResult r = Run("--with-colons --fixed-list-mode --list-sigs " + ShellQuote(id));
  std::vector<std::string> out;
  std::istringstream in(r.output);
  std::string line;
  while (std::getline(in, line)) {
    const std::string kind = line.substr(0, 4);
    if (kind == "pub:" || kind == "fpr:" || kind == "uid:" || kind == "sig:" || kind == "rev:" || kind == "sub:" ||
        kind == "uat:")
      out.push_back(line);
  }
  return out;
}

}  // namespace krytest
