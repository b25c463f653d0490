// A replication record that cannot be allocated leaves the add it describes
// done. Allocations above a threshold fail in this binary only (the global
// operator new is replaced), so the record, made large by a long replica
// line, fails while the entry itself is stored.
#include <atomic>
#include <cstdlib>
#include <new>

#include "cert/replog.h"
#include "ops_fixture.h"

namespace {
std::atomic<size_t> g_failAbove{0};
}  // namespace

// The replacements below pair malloc with free themselves; the compiler's
// check cannot see that once they are inlined into library callers.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(size_t n) {
  const size_t limit = g_failAbove.load();
  if (limit != 0 && n > limit) throw std::bad_alloc();
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  const size_t limit = g_failAbove.load();
  if (limit != 0 && n > limit) return nullptr;
  return std::malloc(n ? n : 1);
}
void* operator new[](size_t n) { return operator new(n); }
void* operator new[](size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
// Every form of delete frees what every form of new above took with malloc
// (a form left to the sanitizer's runtime would pair its own new with free).
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace kry {
namespace {

class RepLogAlloc : public test::OpsTest {
 protected:
  void TearDown() override {
    g_failAbove = 0;
    ReleaseRepLog();
    OpsTest::TearDown();
  }
};

TEST_F(RepLogAlloc, RecordOutOfMemoryKeepsTheAddDone) {
  g_globals->RepLogFile = dir_.File("rep.log");
  be_->replicas = {std::string(1 << 20, 'r')};
  ASSERT_EQ(InitRepLog(be_), 0);
  const std::string dn = "CN=Block," + std::string(test::kActive);
  NewOp(0x68);
  g_failAbove = 1 << 19;
  int code = -1;
  EXPECT_NO_THROW(code = Add(dn, {{"objectclass", "kryCertificate"}, {"kryKey", "block"}}));
  g_failAbove = 0;
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(Lookup(dn, true));
  EXPECT_FALSE(test::FileExists(g_globals->RepLogFile));
  // The entry is settled: a second add of its DN meets it.
  NewOp(0x68);
  EXPECT_EQ(Add(dn, {{"objectclass", "kryCertificate"}}), 68);
}

}  // namespace
}  // namespace kry
