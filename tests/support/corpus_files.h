// Files of the test key corpus (the directory KRY_CORPUS names). A file that
// is not there fails the calling test with a message naming it, so that a
// test without its data says which file it lacks instead of working on
// nothing.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/corpus_ids.h"

namespace corpus {

// The path of corpus file NAME; fails the test when it does not exist.
inline std::string Path(const std::string& name) {
  const std::string path = Dir() + "/" + name;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) ADD_FAILURE() << "corpus file missing: " << path;
  return path;
}

// The contents of corpus file NAME; empty (and the test failed) when missing.
inline std::string Text(const std::string& name) {
  std::ifstream f(Path(name), std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

}  // namespace corpus
