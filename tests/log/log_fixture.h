// Fixture of the access-log tests: fresh globals whose access log lives in
// a scratch directory, local time in UTC, and the events recorded meanwhile.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/globals.h"

namespace kry::test {

class LogFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Path of `name` in the scratch directory.
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  // The names in the scratch directory, sorted.
  std::vector<std::string> Files() const;
  // Messages of the events recorded since SetUp, oldest first.
  std::vector<std::string> Events() const;
  // How many recorded events contain `text`.
  int CountEvents(const std::string& text) const;

  Globals* g_ = nullptr;
  std::string dir_;
};

std::string ReadAll(const std::string& path);
void WriteAll(const std::string& path, const std::string& text);
// Local time of the given local date and time (tm_isdst left to the library).
time_t LocalTimeOf(int year, int month, int day, int hour, int minute);

}  // namespace kry::test
