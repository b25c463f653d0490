// Concurrent searches on several connections while entries are added: every
// search completes with a whole result and no entry reference is leaked.
#include <thread>

#include <gtest/gtest.h>

#include "back-ldbm/cache.h"
#include "ldap/dispatch.h"
#include "../ops/ops_fixture.h"
#include "search_test_util.h"

namespace kry {
namespace test {
namespace {

class SearchThreads : public OpsTest {};

std::string DrainOne(int fd) {
  std::string m;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return m;
    char buf[65536];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return m;
    m.append(buf, static_cast<size_t>(n));
    if (ParseResponses(m).done) return m;
  }
}

TEST_F(SearchThreads, SearchesRunAlongsideAdds) {
  for (int i = 0; i < 20; ++i)
    ASSERT_EQ(Add("cn=Base" + std::to_string(i) + "," + std::string(kActive),
                  {{"objectclass", "person"}, {"cn", "Base" + std::to_string(i)}, {"kryUserID", "Base " + std::to_string(i)}}),
              0);
  constexpr int kThreads = 4, kSearches = 30;
  std::vector<std::thread> threads;
  std::atomic<int> bad{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      Connection conn;
      int sv[2];
      if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
        ++bad;
        return;
      }
      sockbuf_reset(&conn.c_sb, sv[0]);
      conn.c_addr = "127.0.0.1";
      conn.c_connid = static_cast<uint32_t>(100 + t);
      for (int i = 0; i < kSearches; ++i) {
        F filter = (i % 2) ? Sub("kryUserID", {{0x80, "base " + std::to_string(i % 20)}})
                           : F(Eq("kryUserID", "Base " + std::to_string(i % 20)));
        std::string req = SearchOp(kActive, 2, filter);
        Operation op;
        op.o_ber = ber_init(req.data(), req.size());
        op.o_msgid = i + 1;
        op.o_tag = 0x63;
        op.o_connid = conn.c_connid;
        op.o_time = time(nullptr);
        do_search(&conn, &op);
        SearchResponses r = ParseResponses(DrainOne(sv[1]));
        if (!r.done || r.code != 0 || r.dns.empty()) ++bad;
      }
      close(sv[0]);
      close(sv[1]);
    });
  }
  for (int i = 0; i < 20; ++i)
    EXPECT_EQ(Add("cn=New" + std::to_string(i) + "," + std::string(kActive),
                  {{"objectclass", "person"}, {"cn", "New"}, {"kryUserID", "New " + std::to_string(i)}}),
              0);
  for (auto& th : threads) th.join();
  EXPECT_EQ(bad.load(), 0);
  // Every entry handed out was given back.
  EntryCache* cache = backend_cache(be_);
  SpinningGuard lock(cache->lock);
  for (Entry* e = cache->lruHead; e; e = e->lruNext) EXPECT_EQ(e->refcnt, 0) << e->dn;
}

}  // namespace
}  // namespace test
}  // namespace kry
