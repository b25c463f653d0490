// Access-log lines and their writer: the line of every category, escaping,
// the category mask, and how file errors stop logging once.
#include "log/accesslog.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include <gtest/gtest.h>

#include "ldap/operation.h"
#include "log_fixture.h"
#include "runtime/connection.h"

namespace kry::test {
namespace {

constexpr time_t kSept12 = 968752800;  // 2000-09-12 10:00:00 UTC

std::string Line(int category, const AccessLogDetail& d, int nentries = 0, int code = 0,
                 const std::string& host = "") {
  return FormatAccessLogLine(category, d, nentries, 5, kSept12, code, "10.1.2.3", host);
}

AccessLogDetail Ids(const std::string& cert, const std::string& signer) {
  AccessLogDetail d;
  d.certID = cert;
  d.signerID = signer;
  return d;
}

TEST(AccessLogLine, EveryCategory) {
  const std::string head = " 5 2000-09-12 10:00:00 0 10.1.2.3 - ";
  AccessLogDetail none;
  EXPECT_EQ(Line(kLogSearch, none, 2), "SRC" + head + "2 -\n");
  EXPECT_EQ(Line(kLogUnbind, none), "UBD" + head + "-\n");
  EXPECT_EQ(Line(kLogAbandon, none), "ABN" + head + "-\n");
  EXPECT_EQ(Line(kLogOther, none), "???" + head + "-\n");

  AccessLogDetail bind;
  EXPECT_EQ(Line(kLogBind, bind), "BND" + head + "-\n");
  bind.dn = "CN=ADMIN,O=KRY";
  EXPECT_EQ(Line(kLogBind, bind), "BND" + head + "\"CN=ADMIN,O=KRY\"\n");

  // Certificate ID first, then the signer, whichever is there.
  EXPECT_EQ(Line(kLogAdd, Ids("0123456789ABCDEF", "FEDCBA9876543210")),
            "ADD" + head + "0x0123456789ABCDEF 0xFEDCBA9876543210\n");
  EXPECT_EQ(Line(kLogAdd, Ids("", "FEDCBA9876543210")), "ADD" + head + "- 0xFEDCBA9876543210\n");
  EXPECT_EQ(Line(kLogAdd, Ids("0123456789ABCDEF", "")), "ADD" + head + "0x0123456789ABCDEF -\n");
  EXPECT_EQ(Line(kLogModify, Ids("", "")), "MOD" + head + "- -\n");
  EXPECT_EQ(Line(kLogModify, Ids("0123456789ABCDEF", ""), 0, 68), "MOD 5 2000-09-12 10:00:00 68 10.1.2.3 - 0x0123456789ABCDEF -\n");

  AccessLogDetail del;
  EXPECT_EQ(Line(kLogDelete, del), "DLT" + head + "- -\n");
  del.signerID = "1111222233334444";
  EXPECT_EQ(Line(kLogDelete, del), "DLT" + head + "- 0x1111222233334444\n");
  del.keyIDs = "0x0123456789ABCDEF 0xFEDCBA9876543210";
  EXPECT_EQ(Line(kLogDelete, del), "DLT" + head + "\"0x0123456789ABCDEF 0xFEDCBA9876543210\" 0x1111222233334444\n");
  del.signerID.clear();
  EXPECT_EQ(Line(kLogDelete, del), "DLT" + head + "\"0x0123456789ABCDEF 0xFEDCBA9876543210\" -\n");

  AccessLogDetail dap;
  std::memcpy(dap.code, "CMP", 3);
  EXPECT_EQ(Line(kLogLdap, dap, 0, 6), "DAP 5 2000-09-12 10:00:00 6 10.1.2.3 - CMP -\n");
  dap.dn = "OU=ACTIVE,O=KRY KEYSPACE,C=US";
  EXPECT_EQ(Line(kLogLdap, dap, 0, 6), "DAP 5 2000-09-12 10:00:00 6 10.1.2.3 - CMP \"OU=ACTIVE,O=KRY KEYSPACE,C=US\"\n");

  EXPECT_EQ(Line(kLogSearch, none, 0, 32, "client.example.com"),
            "SRC 5 2000-09-12 10:00:00 32 10.1.2.3 client.example.com 0 -\n");
  EXPECT_EQ(FormatAccessLogLine(kLogSearch, none, 0, 7, kSept12, 0, "", ""), "SRC 7 2000-09-12 10:00:00 0 - - 0 -\n");
}

TEST(AccessLogLine, EscapingKeepsOneLinePerRequest) {
  AccessLogDetail d;
  d.dn = "CN=A \"Q\" \\ B";
  EXPECT_EQ(FormatAccessLogDetail(kLogBind, d, 0), "\"CN=A \\\"Q\\\" \\\\ B\"");
  std::memcpy(d.code, "DLT", 3);
  d.dn = "CN=X\nSRC 1 2000-09-12 10:00:00 0 - - 9 -\r\x01";
  const std::string field = FormatAccessLogDetail(kLogLdap, d, 0);
  EXPECT_EQ(field, "DLT \"CN=X\\0ASRC 1 2000-09-12 10:00:00 0 - - 9 -\\0D\\01\"");
  // Bytes above 0x7F (UTF-8 names) are written as they are.
  EXPECT_EQ(EscapeAccessLogText("CN=J\xC3\xBCrgen\x7F"), "CN=J\xC3\xBCrgen\\7F");
}

TEST(AccessLogFormat, BytesThatAreNotPrintableUtf8AreEscaped) {
  // Printable characters of two, three and four bytes pass.
  EXPECT_EQ(EscapeAccessLogText("\xC3\xBC \xE2\x82\xAC \xF0\x9F\x94\x91"), "\xC3\xBC \xE2\x82\xAC \xF0\x9F\x94\x91");
  // Raw bytes that start no character, a C1 control (U+0085, a line end to
  // some readers), a line separator, an overlong slash, a surrogate and a
  // sequence cut short are escaped byte by byte.
  EXPECT_EQ(EscapeAccessLogText("a\xFF\xFE" "b"), "a\\FF\\FEb");
  EXPECT_EQ(EscapeAccessLogText("x\xC2\x85y"), "x\\C2\\85y");
  EXPECT_EQ(EscapeAccessLogText("\xE2\x80\xA8"), "\\E2\\80\\A8");
  EXPECT_EQ(EscapeAccessLogText("\xC0\xAF"), "\\C0\\AF");
  EXPECT_EQ(EscapeAccessLogText("\xED\xA0\x80"), "\\ED\\A0\\80");
  EXPECT_EQ(EscapeAccessLogText("end\xE2\x82"), "end\\E2\\82");
}

class AccessLogWriter : public LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    conn_.c_addr = "10.1.2.3";
    conn_.c_connid = 5;
    op_.o_connid = 5;
    op_.o_time = kSept12;
  }
  int Log(int category, int nentries = 0) {
    return AddAccessLogEntry(&conn_, &op_, category, &op_.o_logDetail, nentries, 0);
  }

  Connection conn_;
  Operation op_;
};

TEST_F(AccessLogWriter, DefaultMaskSkipsBindAndUnbind) {
  Log(kLogSearch, 2);
  Log(kLogBind);
  Log(kLogUnbind);
  Log(kLogOther);
  Log(kLogLdap);
  Log(kLogAbandon);
  EXPECT_EQ(ReadAll(Path("access.log")),
            "SRC 5 2000-09-12 10:00:00 0 10.1.2.3 - 2 -\n"
            "ABN 5 2000-09-12 10:00:00 0 10.1.2.3 - -\n");
}

TEST_F(AccessLogWriter, NoneAndAll) {
  g_->AccessLogDetails = 0;
  Log(kLogSearch);
  EXPECT_EQ(Files(), std::vector<std::string>{});
  g_->AccessLogDetails = 0xFFFFFFFFu;
  Log(kLogUnbind);
  Log(kLogOther);
  EXPECT_EQ(ReadAll(Path("access.log")),
            "UBD 5 2000-09-12 10:00:00 0 10.1.2.3 - -\n???"
            " 5 2000-09-12 10:00:00 0 10.1.2.3 - -\n");
}

TEST_F(AccessLogWriter, CreatedWithTheConfiguredModeAndAppended) {
  WriteAll(Path("access.log"), "earlier line\n");
  g_->AccessLogFile = Path("new.log");
  g_->AccessLogMode = 0640;
  mode_t old = umask(0);
  Log(kLogSearch, 1);
  umask(old);
  struct stat st {};
  ASSERT_EQ(stat(Path("new.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);

  ResetAccessLog(g_);
  g_->AccessLogFile = Path("access.log");
  Log(kLogSearch, 3);
  EXPECT_EQ(ReadAll(Path("access.log")), "earlier line\nSRC 5 2000-09-12 10:00:00 0 10.1.2.3 - 3 -\n");
}

TEST_F(AccessLogWriter, WritesAtTheEndAfterOutsideTruncation) {
  Log(kLogSearch, 1);
  ASSERT_EQ(truncate(Path("access.log").c_str(), 0), 0);
  Log(kLogSearch, 2);
  // No hole of zero bytes where the first line was.
  EXPECT_EQ(ReadAll(Path("access.log")), "SRC 5 2000-09-12 10:00:00 0 10.1.2.3 - 2 -\n");
}

TEST_F(AccessLogWriter, NoPathTurnsLoggingOff) {
  g_->AccessLogFile.clear();
  EXPECT_EQ(Log(kLogSearch), 0);
  EXPECT_EQ(g_->AccessLogDetails.load(), 0u);
  EXPECT_EQ(Files(), std::vector<std::string>{});
}

TEST_F(AccessLogWriter, OpenFailureIsReportedOnceAndStopsLogging) {
  g_->AccessLogFile = Path("missing/access.log");
  EXPECT_EQ(LogAccessToFile("x\n", 2), 1);
  EXPECT_EQ(g_->AccessLogDetails.load(), 0u);
  EXPECT_EQ(Log(kLogSearch), 0);
  EXPECT_EQ(LogAccessToFile("x\n", 2), 0);
  EXPECT_EQ(CountEvents("Opening access log file (" + Path("missing/access.log") +
                        ") failed with error: 2 (No such file or directory)."),
            1);
  // A reset of the settings (a restart) starts over.
  ResetAccessLog(g_);
  g_->AccessLogDetails = 0xF8;
  g_->AccessLogFile = Path("access.log");
  Log(kLogSearch, 4);
  EXPECT_EQ(ReadAll(Path("access.log")), "SRC 5 2000-09-12 10:00:00 0 10.1.2.3 - 4 -\n");
}

TEST_F(AccessLogWriter, WriteFailureIsReportedOnceAndStopsLogging) {
  g_->AccessLogFile = "/dev/full";
  EXPECT_EQ(LogAccessToFile("x\n", 2), 1);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Log(kLogSearch), 0);
  EXPECT_EQ(LogAccessToFile("x\n", 2), 0);
  EXPECT_EQ(g_->AccessLogDetails.load(), 0u);
  EXPECT_EQ(CountEvents("Writing to access log file (/dev/full) failed with error: 28 (No space left on device)."), 1);
  EXPECT_EQ(g_->accessLogFd, kAccessLogFailed);
}

}  // namespace
}  // namespace kry::test
