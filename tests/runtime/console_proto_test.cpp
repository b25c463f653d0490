// Console protocol bytes: framing of received data, the fixed reply layouts
// a console reads by offset, list chunking, and the kernel socket table the
// command port reads to find a local console's user.
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/console_proto.h"
#include "runtime/peer_user.h"

namespace kry {
namespace {

FrameResult Parse(const std::string& bytes, ConsoleMessage* m, size_t* used) {
  return ParseConsoleFrame(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), m, used);
}

std::string Header(const char* magic, uint16_t length, uint8_t type) {
  std::string h(magic, 4);
  h += static_cast<char>(length >> 8);
  h += static_cast<char>(length & 0xFF);
  h += static_cast<char>(type);
  h += '\0';
  return h;
}

uint16_t At16(const std::string& s, size_t at) {
  return static_cast<uint16_t>((static_cast<uint8_t>(s[at]) << 8) | static_cast<uint8_t>(s[at + 1]));
}

TEST(ConsoleFraming, AcceptsWholeMessagesAndKeepsWhatFollows) {
  std::string two = BuildConsoleMessage(kMsgKeepAlive, "") + BuildConsoleMessage(kMsgStatistics, "");
  ConsoleMessage m;
  size_t used = 0;
  ASSERT_EQ(Parse(two, &m, &used), FrameResult::kOk);
  EXPECT_EQ(m.type, kMsgKeepAlive);
  EXPECT_EQ(used, 8u);
  ASSERT_EQ(Parse(two.substr(used), &m, &used), FrameResult::kOk);
  EXPECT_EQ(m.type, kMsgStatistics);

  std::string start = BuildConsoleMessage(kMsgStartServer, EncodeStartParams(StartParams()));
  EXPECT_EQ(At16(start, 4), 8 + kStartParamsSize);
  ASSERT_EQ(Parse(start, &m, &used), FrameResult::kOk);
  EXPECT_EQ(m.payload.size(), kStartParamsSize);
}

TEST(ConsoleFraming, RejectsWhatNoConsoleSends) {
  ConsoleMessage m;
  size_t used = 0;
  EXPECT_EQ(Parse(Header("PKRX", 8, 1), &m, &used), FrameResult::kBad);
  EXPECT_EQ(Parse("GET / HTTP/1.0\r\n", &m, &used), FrameResult::kBad);
  EXPECT_EQ(Parse(Header("PKRY", 7, 1), &m, &used), FrameResult::kBad);
  EXPECT_EQ(Parse(Header("PKRY", 0, 1), &m, &used), FrameResult::kBad);
  EXPECT_EQ(Parse(Header("PKRY", 1001, 1) + std::string(993, 'x'), &m, &used), FrameResult::kBad);
  // Longest allowed message.
  EXPECT_EQ(Parse(Header("PKRY", 1000, 1) + std::string(992, 'x'), &m, &used), FrameResult::kOk);
  // Announced but not (yet) all there; a partial header that still fits.
  EXPECT_EQ(Parse(Header("PKRY", 20, 1) + "abc", &m, &used), FrameResult::kIncomplete);
  EXPECT_EQ(Parse("PK", &m, &used), FrameResult::kIncomplete);
  EXPECT_EQ(Parse("PX", &m, &used), FrameResult::kBad);
}

TEST(ConsoleLogon, ReplyLayoutByOffset) {
  LogonReply r;
  r.tooOld = true;
  r.pid = 0x01020304;
  r.configFile = "/opt/krycertd/bin/krycertd.cfg";
  r.running = true;
  r.port = 1389;
  r.securePort = 0;
  r.secureMode = 2;
  r.securePortDisabled = true;
  r.sigCheckOff = true;
  std::string p = EncodeLogonReply(r);
  ASSERT_EQ(p.size(), 340u);
  EXPECT_EQ(At16(p, 0), 1);
  EXPECT_EQ(At16(p, 4), 0);
  EXPECT_EQ(At16(p, 6), 512);
  EXPECT_EQ(At16(p, 8), 2);
  EXPECT_EQ(At16(p, 10), 5);
  EXPECT_EQ(At16(p, 12), 0x0102);
  EXPECT_EQ(At16(p, 14), 0x0304);
  EXPECT_EQ(std::string(p.c_str() + 16), r.configFile);
  EXPECT_EQ(p[277], 1);
  EXPECT_EQ(At16(p, 278), 1389);
  EXPECT_EQ(At16(p, 282), 2);
  EXPECT_EQ(p[284], 0);
  EXPECT_EQ(p[285], 1);
  EXPECT_EQ(p[286], 1);
  EXPECT_EQ(p.substr(287, 22), "KRY Certificate Server");
  EXPECT_EQ(p.substr(309), std::string(31, '\0'));

  // Port fields only while running.
  r.running = false;
  p = EncodeLogonReply(r);
  EXPECT_EQ(At16(p, 278), 0);
  EXPECT_EQ(p[285], 0);

  // A configuration path that does not fit keeps its terminating NUL.
  r.configFile = std::string(400, 'a');
  p = EncodeLogonReply(r);
  LogonReply back;
  ASSERT_TRUE(DecodeLogonReply(p, &back));
  EXPECT_EQ(back.configFile.size(), 259u);
  EXPECT_FALSE(DecodeLogonReply(p.substr(0, 339), &back));
}

TEST(ConsoleLogon, RequestAndVersionRule) {
  LogonRequest req;
  req.major = 2;
  req.minor = 4;
  req.user = "admin";
  LogonRequest back = DecodeLogon(EncodeLogon(req));
  EXPECT_EQ(back.kind, 2048u);
  EXPECT_EQ(back.major, 2);
  EXPECT_EQ(back.minor, 4);
  EXPECT_EQ(back.user, "admin");
  // Short or unterminated payloads read safely.
  EXPECT_EQ(DecodeLogon("").kind, 0u);
  EXPECT_EQ(DecodeLogon(std::string(8, '\0') + "abc").user, "abc");

  EXPECT_TRUE(ConsoleVersionTooOld(2, 4));
  EXPECT_TRUE(ConsoleVersionTooOld(1, 9));
  EXPECT_FALSE(ConsoleVersionTooOld(2, 5));
  EXPECT_FALSE(ConsoleVersionTooOld(3, 0));
}

TEST(ConsoleCommands, StartParamsAndFixedReplies) {
  StartParams s;
  s.port = "1389";
  s.securePort = "0";
  s.keepSecurePort = true;
  s.noSignatureCheck = true;
  std::string p = EncodeStartParams(s);
  EXPECT_EQ(std::string(p.c_str()), "1389");
  EXPECT_EQ(std::string(p.c_str() + 10), "0");
  EXPECT_EQ(p[22], 0);
  EXPECT_EQ(p[23], 1);
  EXPECT_EQ(p[26], 1);
  StartParams d = DecodeStartParams(std::string(10, '9'));  // no NUL, rest missing
  EXPECT_EQ(d.port, "9999999999");
  EXPECT_EQ(d.securePort, "");

  Statistics st;
  st.opsInitiated = 7;
  st.totalConnections = 70000;
  st.maxConnections = 100;
  st.currentConnections = 3;
  st.uptime = 42;
  std::string q = EncodeStatistics(st);
  ASSERT_EQ(q.size(), 32u);
  EXPECT_EQ(At16(q, 6), 7);
  EXPECT_EQ(At16(q, 20), 1);  // 70000 = 0x00011170
  EXPECT_EQ(At16(q, 22), 0x1170);
  EXPECT_EQ(At16(q, 24), 100);
  EXPECT_EQ(At16(q, 26), 3);
  EXPECT_EQ(At16(q, 30), 42);

  std::string sr = EncodeStartReply({2, 0, 636});
  EXPECT_EQ(At16(sr, 0), 2);
  EXPECT_EQ(At16(sr, 4), 636);
  EXPECT_EQ(DecodeStatus("x"), 0xFFFF);

  ReadEventsRequest ev = DecodeReadEvents(EncodeReadEvents({2, 4242}));
  EXPECT_EQ(ev.action, 2);
  EXPECT_EQ(ev.pid, 4242u);
}

TEST(ConsoleCommands, DumpRequestAndReplyRoundTrip) {
  DumpRequest req;
  req.perFile = 70000;
  req.overwrite = true;
  req.directory = "/srv/dumps/" + std::string(2000, 'd');
  DumpRequest back;
  ASSERT_TRUE(DecodeDumpRequest(EncodeDumpRequest(req), &back));
  EXPECT_EQ(back.perFile, 70000u);
  EXPECT_TRUE(back.overwrite);
  EXPECT_EQ(back.directory.size(), kConsoleMaxPayload - 5);  // cut to fit one message
  EXPECT_FALSE(DecodeDumpRequest("\0\0", &back));

  DumpReply reply;
  reply.status = kConsoleDumpFailed;
  reply.keys = 5000000000ull;  // past 32 bits
  reply.bytes = 1ull << 40;
  reply.files = 334;
  reply.text = "disk full";
  DumpReply got;
  ASSERT_TRUE(DecodeDumpReply(EncodeDumpReply(reply), &got));
  EXPECT_EQ(got.status, kConsoleDumpFailed);
  EXPECT_EQ(got.keys, 5000000000ull);
  EXPECT_EQ(got.bytes, 1ull << 40);
  EXPECT_EQ(got.files, 334u);
  EXPECT_EQ(got.text, "disk full");
  EXPECT_FALSE(DecodeDumpReply(std::string(21, '\0'), &got));
}

TEST(ConsoleLists, ChunksStayWithinTheTextFieldAndSplitBack) {
  std::vector<ListChunk> chunks;
  ListChunkBuilder b;
  int added = 0;
  for (int i = 0; i < 60; ++i) {
    std::string name = "client-" + std::to_string(i) + ".example.org";
    if (!b.Add(name, "Tue December 08, 2026 06:16:22 AM")) {
      chunks.push_back(b.chunk());
      b.Clear();
      ASSERT_TRUE(b.Add(name, "Tue December 08, 2026 06:16:22 AM"));
    }
    ++added;
  }
  chunks.push_back(b.chunk());
  EXPECT_GT(chunks.size(), 1u);
  int seen = 0;
  for (const ListChunk& c : chunks) {
    EXPECT_LE(c.text.size(), kConsoleListTextMax);
    std::string wire = EncodeListChunk(c);
    EXPECT_EQ(wire.size(), 992u);
    ListChunk back;
    ASSERT_TRUE(DecodeListChunk(wire, &back));
    std::vector<std::pair<std::string, std::string>> entries;
    ASSERT_TRUE(SplitListEntries(back, &entries));
    for (const auto& e : entries) EXPECT_EQ(e.first, "client-" + std::to_string(seen++) + ".example.org");
  }
  EXPECT_EQ(seen, added);
}

TEST(ConsoleLists, SeparatorsInsideTextsAndOversizedEntries) {
  ListChunkBuilder b;
  ASSERT_TRUE(b.Add("a\x08" "b", std::string("c\0d", 3)));
  std::vector<std::pair<std::string, std::string>> entries;
  ASSERT_TRUE(SplitListEntries(b.chunk(), &entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].first, "a b");
  EXPECT_EQ(entries[0].second, "c d");

  b.Clear();
  ASSERT_TRUE(b.Add("x", std::string(2000, 'm')));
  EXPECT_LE(b.chunk().text.size(), kConsoleListTextMax);
  EXPECT_FALSE(b.Add("y", "z"));

  ListChunk lying;
  lying.count = 3;
  lying.text = "a\x08" "b\x08";
  EXPECT_FALSE(SplitListEntries(lying, &entries));
}

TEST(PeerUser, FindsTheOwnerOfTheMatchingSocket) {
  const std::string table =
      "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
      "   0: 00000000:0FA0 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 1 1 0 100 0\n"
      "   1: 0100007F:0FA0 0100007F:D431 01 00000000:00000000 00:00000000 00000000     0        0 2 1 0 20 4\n"
      "   2: 0100007F:D431 0100007F:0FA0 01 00000000:00000000 00:00000000 00000000  1000        0 3 1 0 20 4\n"
      "   3: 0200007F:D431 0100007F:0FA0 01 00000000:00000000 00:00000000 00000000    33        0 4 1 0 20 4\n";
  uid_t uid = 99;
  ASSERT_TRUE(FindSocketOwner(table, 0x7F000001, 0xD431, 0x7F000001, 0x0FA0, &uid));
  EXPECT_EQ(uid, 1000u);
  ASSERT_TRUE(FindSocketOwner(table, 0x7F000002, 0xD431, 0x7F000001, 0x0FA0, &uid));
  EXPECT_EQ(uid, 33u);
  // The server's own end of the connection must not be taken for the peer.
  ASSERT_TRUE(FindSocketOwner(table, 0x7F000001, 0x0FA0, 0x7F000001, 0xD431, &uid));
  EXPECT_EQ(uid, 0u);
  EXPECT_FALSE(FindSocketOwner(table, 0x7F000001, 0xD432, 0x7F000001, 0x0FA0, &uid));
  EXPECT_FALSE(FindSocketOwner("", 0x7F000001, 0xD431, 0x7F000001, 0x0FA0, &uid));
}

}  // namespace
}  // namespace kry
