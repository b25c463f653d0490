// Fixture for the configuration tests: a scratch working tree (bin/ as the
// working directory, data/ beside it), fresh globals with one ldbm backend,
// and access to the events the code under test records.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "back-ldbm/backend.h"
#include "runtime/globals.h"

namespace kry::test {

struct Event {
  std::string kind;
  std::string message;
};

class ConfigFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes `text` to bin/<name> and returns its path (relative to bin/).
  std::string WriteFile(const std::string& text, const std::string& name = "test.cfg");
  int Read(const std::string& text, int port = 0, int securePort = 0, int commandTimeout = 0);
  int Command(const std::string& text, int commandPortOverride = 0);
  int Check(const std::string& text);

  // Events recorded since SetUp (or since the last call to Events).
  std::vector<Event> Events();
  // Exact texts of the messages recorded since SetUp, as echoed to standard
  // error (a message without a final line feed is followed by "\r\n").
  std::string Logged();
  // "<cfg path>(<line>): " + text.
  std::string At(int line, const std::string& text) const;

  std::string root_;
  std::string oldCwd_;
  std::string cfg_ = "test.cfg";
  std::unique_ptr<Globals> globals_;
  Backend* backend_ = nullptr;
  long eventOffset_ = 0;
  std::string logged_;
};

}  // namespace kry::test
