// Lock files.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "ldbm_test_util.h"
#include "runtime/lockfile.h"

namespace kry {
namespace {

TEST(LockFile, ExclusiveAndNotReentrant) {
  test::TempDir dir;
  std::string p = dir.File("x.lock");
  LockFileHandle a, b;
  ASSERT_EQ(CreateLockFile(p.c_str(), 0, &a), 0);
  EXPECT_TRUE(a.held());
  testing::internal::CaptureStderr();
  EXPECT_EQ(CreateLockFile(p.c_str(), 0, &b), 1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(b.held());
  EXPECT_NE(err.find("Locking file (" + p + ") failed with error "), std::string::npos);
  EXPECT_EQ(UnlockLockFile(&a), 0);
  EXPECT_FALSE(a.held());
  EXPECT_EQ(CreateLockFile(p.c_str(), 0, &b), 0);
  EXPECT_EQ(UnlockLockFile(&b), 0);
  EXPECT_TRUE(test::FileExists(p));  // never deleted
}

TEST(LockFile, ExistingContentIsKept) {
  test::TempDir dir;
  std::string p = dir.File("keep");
  test::WriteFile(p, "content");
  LockFileHandle h;
  ASSERT_EQ(CreateLockFile(p.c_str(), 0, &h), 0);
  UnlockLockFile(&h);
  EXPECT_EQ(test::ReadFile(p), "content");
}

TEST(LockFile, WaitingCallerGetsTheLockWhenReleased) {
  test::TempDir dir;
  std::string p = dir.File("w.lock");
  LockFileHandle a;
  ASSERT_EQ(CreateLockFile(p.c_str(), 0, &a), 0);
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    UnlockLockFile(&a);
  });
  LockFileHandle b;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(CreateLockFile(p.c_str(), 1, &b), 0);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(300));
  releaser.join();
  UnlockLockFile(&b);
}

TEST(LockFile, MissingDirectory) {
  test::TempDir dir;
  std::string p = dir.File("no/such/file.log");
  LockFileHandle h;
  testing::internal::CaptureStderr();
  EXPECT_EQ(lock_fopen(p.c_str(), "a", 0, &h), nullptr);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Creating file (" + p + ".lock) failed with error 2: No such file or directory"),
            std::string::npos);
  EXPECT_FALSE(h.held());
}

TEST(LockFile, FopenAndFclose) {
  test::TempDir dir;
  std::string p = dir.File("rep.log");
  LockFileHandle h;
  FILE* f = lock_fopen(p.c_str(), "a", 1, &h);
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(h.held());
  std::fputs("record\n", f);
  LockFileHandle other;
  testing::internal::CaptureStderr();
  EXPECT_EQ(lock_fopen(p.c_str(), "a", 0, &other), nullptr);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(lock_fclose(f, &h), 0);
  EXPECT_EQ(test::ReadFile(p), "record\n");
  // lock_fclose with a null stream still releases the lock.
  ASSERT_EQ(CreateLockFile((p + ".lock").c_str(), 0, &h), 0);
  EXPECT_EQ(lock_fclose(nullptr, &h), 0);
  EXPECT_FALSE(h.held());
}

}  // namespace
}  // namespace kry
