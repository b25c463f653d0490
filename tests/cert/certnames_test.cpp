// Key-ID texts, certificate and user-ID DNs, DN escaping and generalized
// times.
#include <map>
#include <optional>

#include "cert_test_util.h"
#include "cert/keyattrs.h"
#include "ldap/dn.h"

namespace kry {
namespace test {
namespace {

TEST(CertNames, KeyIDBytesBecomeSixteenUpperCaseDigits) {
  const uint8_t id[8] = {0x0F, 0xA0, 0x00, 0x01, 0x23, 0x45, 0x67, 0x89};
  EXPECT_EQ(KeyIDBin2Str(id, false), "0FA0000123456789");
  EXPECT_EQ(KeyIDBin2Str(id, true), "0x0FA0000123456789");
  const uint8_t high[8] = {0xFF, 0xEE, 0xDD, 0xCC, 0xBB, 0xAA, 0x99, 0x80};
  char buf[19];
  KeyIDBin2Str(high, true, buf);
  EXPECT_STREQ(buf, "0xFFEEDDCCBBAA9980");
}

TEST(CertNames, CertificateDNsByLocation) {
  std::string dn;
  ASSERT_EQ(CreateKeyDN("9B17F4FF83984697", false, kLocationActive, &dn), 0);
  EXPECT_EQ(dn, "KRYCERTID=9B17F4FF83984697,OU=ACTIVE,O=KRY KEYSPACE,C=US");
  for (int location : {0, 1, 3, -2}) {
    ASSERT_EQ(CreateKeyDN("9B17F4FF83984697", false, location, &dn), 0);
    EXPECT_EQ(dn, "KRYCERTID=9B17F4FF83984697,OU=PENDING,O=KRY KEYSPACE,C=US") << location;
  }
  const uint8_t raw[8] = {0x9B, 0x17, 0xF4, 0xFF, 0x83, 0x98, 0x46, 0x97};
  ASSERT_EQ(CreateKeyDN(raw, true, kLocationActive, &dn), 0);
  EXPECT_EQ(dn, "KRYCERTID=9B17F4FF83984697,OU=ACTIVE,O=KRY KEYSPACE,C=US");
}

TEST(CertNames, EscapingMarksTheSpecialCharactersOnly) {
  const std::pair<std::string, std::string> cases[] = {
      {"Smith, John <js@example.com>", "Smith\\, John \\<js@example.com\\>"},
      {"a+b=c\"d\re<f>g#h;i", "a\\+b\\=c\\\"d\\\re\\<f\\>g\\#h\\;i"},
      {"", ""},
      {",,", "\\,\\,"},
      {std::string("nul\0inside", 10), std::string("nul\0inside", 10)},
      {"\xC3\xA9t\xC3\xA9 (UTF-8)", "\xC3\xA9t\xC3\xA9 (UTF-8)"},
  };
  for (const auto& c : cases) {
    std::string out = "stale";
    ASSERT_EQ(EscapeDNString(c.first, &out), 0);
    EXPECT_EQ(out, c.second) << c.first;
    EXPECT_LE(out.size(), c.first.size() * 2 + 1);
  }
}

// Every user ID gets a DN of its own: no two of these, which differ only in
// backslashes, blanks at the ends or escaped characters, share a DN. Each
// DN stays as it is however often it is normalised (the add, the maps and a
// lookup each normalise it once more), and its parent is the certificate.
TEST(CertNames, UserIDDNsAreOneToOneStableAndKeepTheParent) {
  const std::string cert = "KRYCERTID=0123456789ABCDEF,OU=ACTIVE,O=KRY KEYSPACE,C=US";
  const std::vector<std::string> uids = {
      "a\\", "a\\\\", "a\\\\\\", "a", "ab", "a\\b", "a\\\\b", "a,b", "a\\,b", "a\\\\,b", "a<b", "a\\<b",
      "a+", "a\\+", "\"a\"", "\\\"a", " a", "a ", "  a  ", "\na", "a\n", "\\", "\\\\", "", " ", "x\\+y"};
  std::map<std::string, std::string> seen;
  for (const std::string& uid : uids) {
    std::string out;
    ASSERT_EQ(EscapeDNString(uid, &out), 0);
    std::string dn = "kryUserID=" + out + "," + cert;
    dn_normalize(dn);
    EXPECT_EQ(dn_normalized(dn), dn) << uid;
    EXPECT_EQ(dn_get_parent(nullptr, dn), std::optional<std::string>(cert)) << dn;
    auto [it, added] = seen.emplace(dn_normalized_upper(dn), uid);
    EXPECT_TRUE(added) << "[" << uid << "] and [" << it->second << "] share " << dn;
  }
  // A user ID without a backslash or blanks at its ends keeps the DN it had.
  std::string out;
  ASSERT_EQ(EscapeDNString("Smith, John <js@example.com>", &out), 0);
  std::string dn = "kryUserID=" + out + "," + cert, old;
  dn_normalize(dn);
  ASSERT_EQ(LegacyUserIDDN("Smith, John <js@example.com>", cert, &old), 0);
  EXPECT_EQ(dn, old);
}

TEST(CertNames, GeneralizedTimes) {
  std::string t;
  ASSERT_EQ(KRYTime2GeneralizedTime(0, &t), 0);
  EXPECT_EQ(t, "19700101000000Z");
  ASSERT_EQ(KRYTime2GeneralizedTime(1577836800u, &t), 0);  // 2020-01-01
  EXPECT_EQ(t, "20200101000000Z");
  ASSERT_EQ(KRYTime2GeneralizedTime(0xFFFFFFFFu, &t), 0);  // the last OpenPGP second
  EXPECT_EQ(t, "21060207062815Z");
}

TEST(CertNames, KeyIDsFromEntryDNs) {
  const std::pair<std::string, std::string> good[] = {
      {"KRYCERTID=9B17F4FF83984697,OU=ACTIVE,O=KRY KEYSPACE,C=US", "9B17F4FF83984697"},
      {"krycertid=9b17f4ff83984697,ou=pending,o=kry keyspace,c=us", "9B17F4FF83984697"},
      {"kryUserID=Smith\\, John \\<js@x\\>,KRYCERTID=DE002AEE0E270B47,OU=ACTIVE,O=KRY KEYSPACE,C=US",
       "DE002AEE0E270B47"},
      {"kryCertID = 9B17F4FF83984697 , OU=ACTIVE,O=KRY KEYSPACE,C=US", "9B17F4FF83984697"},
  };
  for (const auto& c : good) {
    std::string id;
    ASSERT_EQ(ExtractKeyIDFromDN(nullptr, c.first, &id), 0) << c.first;
    EXPECT_EQ(id, c.second);
  }
  const char* bad[] = {
      "KRYCERTID=9B17F4FF8398469,OU=ACTIVE,O=KRY KEYSPACE,C=US",    // 15 digits
      "KRYCERTID=9B17F4FF839846970,OU=ACTIVE,O=KRY KEYSPACE,C=US",  // 17 digits
      "KRYCERTID=9B17F4FF8398469G,OU=ACTIVE,O=KRY KEYSPACE,C=US",
      "KRYCERTID=virtual,OU=ACTIVE,O=KRY KEYSPACE,C=US",
      "cn=9B17F4FF83984697,OU=ACTIVE,O=KRY KEYSPACE,C=US",
      "OU=ACTIVE,O=KRY KEYSPACE,C=US",
      "kryUserID=alone",
      "",
  };
  for (const char* dn : bad) {
    std::string id = "unchanged";
    EXPECT_EQ(ExtractKeyIDFromDN(nullptr, dn, &id), 1) << dn;
    EXPECT_EQ(id, "unchanged");
  }
}

class UserIDNames : public CertTest {};

// User IDs made by gpg in the test: one of 300 bytes and one with every
// character a DN must escape.
TEST_F(UserIDNames, LongAndSpecialUserIDs) {
  if (!pgptest::HaveGpg()) GTEST_SKIP() << "gpg not available";
  pgptest::GpgHome home;
  ASSERT_TRUE(home.ok());
  const std::string longUID(300, 'L');
  const std::string special = "Doe, Jane + Co = \"JD\" <jd@example.com> #1; done";
  int status = -1;
  home.Gpg("--passphrase '' --quick-gen-key " + longUID + " ed25519 sign never", &status);
  ASSERT_EQ(status, 0);
  std::string fpr = SplitColons(home.Gpg("--with-colons --list-keys | grep '^fpr' | head -1"))[9];
  home.Gpg("--passphrase '' --quick-add-uid " + fpr + " '" + special + "'", &status);
  ASSERT_EQ(status, 0);
  std::string block = home.Gpg("--armor --export " + fpr);
  g_globals->AcceptModernKeys = true;
  EntryList list;
  ASSERT_EQ(BuildEntries(Import(block), &list), 0) << Events();
  ASSERT_EQ(list.count, 3);
  const std::string certDN = list.slots[0]->dn;
  for (int i = 1; i < 3; ++i) {
    const Entry* e = list.slots[i].get();
    std::string uid = Val(e, "kryUserID");
    if (uid[0] == 'L') {
      EXPECT_EQ(uid, longUID.substr(0, 255));
      EXPECT_EQ(e->dn, "kryUserID=" + longUID.substr(0, 255) + "," + certDN);
    } else {
      EXPECT_EQ(uid, special);
      EXPECT_EQ(e->dn, "kryUserID=Doe\\, Jane \\+ Co = \\\"JD\\\" <jd@example.com> #1\\; done," + certDN);
      // The escaped DN names the same entry after normalisation.
      EXPECT_EQ(dn_normalized(e->dn), e->dn);
      std::string id;
      EXPECT_EQ(ExtractKeyIDFromDN(nullptr, e->dn, &id), 0);
      EXPECT_EQ(id, Val(e, "kryCertID"));
    }
  }
}

}  // namespace
}  // namespace test
}  // namespace kry
