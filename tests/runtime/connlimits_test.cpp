// The connection table's limits on a table of real sockets: which slot a
// full table gives up, and what counts as one client address's.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "runtime/connection.h"
#include "runtime/connlimits.h"

namespace kry {
namespace {

class Table : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < kSlots; ++i) {
      int pair[2];
      ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
      table_[i].c_sb.sd = pair[0];
      peer_[i] = pair[1];
      table_[i].c_connid = static_cast<uint32_t>(i + 1);
    }
  }
  void TearDown() override {
    for (int i = 0; i < kSlots; ++i) {
      close(table_[i].c_sb.sd.load());
      close(peer_[i]);
    }
  }
  // True when slot i's socket was shut down (its peer reads the end).
  bool ShutDown(int i) {
    char b;
    return recv(peer_[i], &b, 1, MSG_DONTWAIT) == 0;
  }

  static constexpr int kSlots = 3;
  Connection table_[kSlots];
  int peer_[kSlots];
};

TEST_F(Table, FullTableGivesUpTheLongestIdleWithoutARequest) {
  table_[0].c_activitytime = 100;  // idle longest, but a request runs
  table_[0].c_opsinitiated = 1;
  table_[1].c_activitytime = 200;
  table_[2].c_activitytime = 150;
  EXPECT_TRUE(EvictLongestIdle(table_, kSlots - 1));
  EXPECT_FALSE(ShutDown(0));
  EXPECT_FALSE(ShutDown(1));
  EXPECT_TRUE(ShutDown(2));
  EXPECT_TRUE(table_[2].c_evicted);
  // While that slot has not come free, nothing more is given up.
  EXPECT_TRUE(EvictLongestIdle(table_, kSlots - 1));
  EXPECT_FALSE(ShutDown(1));
  // Every connection busy: no room can be made.
  table_[2].c_evicted = false;
  for (Connection& c : table_) c.c_opsinitiated = c.c_opscompleted + 1;
  EXPECT_FALSE(EvictLongestIdle(table_, kSlots - 1));
}

TEST_F(Table, ConnectionsAreCountedByAddressAmongSlotsInUse) {
  table_[0].c_peer = table_[1].c_peer = 0x0100007F;
  table_[2].c_peer = 0x0200007F;
  EXPECT_EQ(ConnectionsFromAddress(table_, kSlots - 1, 0x0100007F), 2);
  EXPECT_EQ(ConnectionsFromAddress(table_, 0, 0x0100007F), 1);  // only up to the highest slot
  close(table_[1].c_sb.sd.exchange(-1));
  EXPECT_EQ(ConnectionsFromAddress(table_, kSlots - 1, 0x0100007F), 1);
  EXPECT_EQ(ConnectionsFromAddress(table_, kSlots - 1, 0x0300007F), 0);
}

}  // namespace
}  // namespace kry
