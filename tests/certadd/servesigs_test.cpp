// "ServeSignatures self": key blocks served over LDAP and HKP carry only
// their owner's signatures, as GnuPG reads them, while the stored copy and
// krySignerID keep the certifications.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "certadd_support.h"
#include "support/corpus_ids.h"

namespace krytest {
namespace {

std::string ToLowerAscii(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Issuers of the signature lines GnuPG lists after importing `block`.
std::vector<std::string> SigIssuers(const std::string& block, const std::string& id) {
  Gpg gpg;
  EXPECT_TRUE(gpg.Import(block)) << block;
  std::vector<std::string> issuers;
  for (const std::string& line : gpg.Listing(id))
    if (line.compare(0, 4, "sig:") == 0 || line.compare(0, 4, "rev:") == 0) issuers.push_back(Columns(line)[4]);
  return issuers;
}

TEST(ServeSignatures, SelfServesOnlyTheOwnersSignatures) {
  if (CorpusDir().empty()) GTEST_SKIP() << "no corpus";
  const int hkp = FreePort();
  KeyServer server("ServeSignatures self\nHKPPort " + std::to_string(hkp) + "\n");
  ASSERT_TRUE(server.ok()) << server.tree().Output();
  RunResult r = server.AddFile(Corpus("signed-by-both.asc"));
  ASSERT_EQ(r.exitCode, 0) << r.output;
  ASSERT_EQ(server.AddFile(Corpus("designated-revoker.asc")).exitCode, 0);
  const std::string owner = corpus::KeyId("signed-user");

  // What was submitted carries both certifications.
  std::vector<std::string> submitted = SigIssuers(ReadFile(Corpus("signed-by-both.asc")), owner);
  ASSERT_GT(submitted.size(), 2u);

  std::vector<std::string> served;
  for (const std::string type : {"kryKey", "kryKeyV2"}) {
    std::vector<LdifEntry> entries = server.Search(kActiveOU, "(kryKeyID=" + corpus::ShortId("signed-user") + ")",
                                                   {type});
    ASSERT_FALSE(entries.empty());
    served = SigIssuers(entries[0].First(ToLowerAscii(type)), owner);
    ASSERT_FALSE(served.empty()) << type;
    for (const std::string& issuer : served) EXPECT_EQ(issuer, owner) << type;
  }
  const std::string fetched =
      RunShell("curl -s --max-time 20 'http://127.0.0.1:" + std::to_string(hkp) + "/pks/lookup?op=get&search=0x" +
               corpus::Fingerprint("signed-user") + "'")
          .output;
  EXPECT_EQ(SigIssuers(fetched, owner), served);

  // The stored copy keeps the certifications: krySignerID still names them.
  std::vector<LdifEntry> uid =
      server.Search(kActiveOU, "(kryKeyID=" + corpus::ShortId("signed-user") + ")", {"krySignerID"});
  ASSERT_FALSE(uid.empty());
  const std::vector<std::string>& signers = uid[0].Values("krysignerid");
  EXPECT_NE(std::find(signers.begin(), signers.end(), corpus::KeyId("trusted-signer")), signers.end());

  // The self-signature naming a designated revoker is the owner's and stays.
  Gpg gpg;
  ASSERT_TRUE(gpg.Import(server.KeyBlocks(corpus::ShortId("designated-revoker")).at(0)));
  const RunResult listing = gpg.Run("--with-colons --list-keys " + corpus::KeyId("designated-revoker"));
  EXPECT_NE(listing.output.find("\nrvk:"), std::string::npos) << listing.output;
}

}  // namespace
}  // namespace krytest
