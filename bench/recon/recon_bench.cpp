// Time and bytes to reconcile two sets of N digests (default 20,000) that
// differ by 1%, 10% and 50% (half of the difference on each side), over a
// socketpair in one process (the machine's load shows in the wall time; the
// CPU time is printed beside it). Prints one line per case, including the time
// to build the trees, and checks that both sides learned exactly the
// difference.
//   recon_bench [N]
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>

#include "recon/session.h"

using namespace recon;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<Digest> RandomDigests(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<Digest> out(n);
  for (auto& d : out) {
    for (auto& b : d) b = (uint8_t)rng();
  }
  return out;
}

double Ms(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

void RunCase(size_t n, double share) {
  size_t diff = (size_t)(n * share);
  size_t half = diff / 2;
  auto pool = RandomDigests(n + diff - half, 7);
  // Side A: the first n digests; side B: all but the first `half`, so each
  // lacks `half` (or `diff - half`) of the other's.
  std::vector<Digest> a(pool.begin(), pool.begin() + n);
  std::vector<Digest> b(pool.begin() + half, pool.end());
  auto t0 = Clock::now();
  ReconSet sa, sb;
  sa.InsertMany(a);
  sb.InsertMany(b);
  auto t1 = Clock::now();
  std::clock_t c1 = std::clock();
  int fd[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fd) != 0) return;
  SessionResult ra, rb;
  int sta = -1, stb = -1;
  std::thread t([&] { sta = RunReconSession(fd[0], true, sa, ReconParams(), 1, SessionLimits(), &ra); });
  stb = RunReconSession(fd[1], false, sb, ReconParams(), 1, SessionLimits(), &rb);
  t.join();
  auto t2 = Clock::now();
  double cpuMs = 1000.0 * (double)(std::clock() - c1) / CLOCKS_PER_SEC;
  close(fd[0]);
  close(fd[1]);
  bool exact = sta == kReconOk && stb == kReconOk && ra.weLack.size() == diff - half &&
               rb.weLack.size() == half;
  std::printf(
      "%zu keys, %4.0f%% differ (%zu + %zu): build %.0f ms, reconcile %.0f ms (%.0f ms CPU, both sides), "
      "%llu bytes driver->answerer, %llu bytes answerer->driver, %s%s\n",
      n, share * 100, half, diff - half, Ms(t0, t1), Ms(t1, t2), cpuMs, (unsigned long long)rb.bytesOut,
      (unsigned long long)ra.bytesOut, exact ? "exact" : "WRONG ",
      exact ? "" : (ra.failure + rb.failure).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  size_t n = argc > 1 ? (size_t)std::atol(argv[1]) : 20000;
  for (double share : {0.01, 0.10, 0.50}) RunCase(n, share);
  return 0;
}
