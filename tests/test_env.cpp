// Sets the test environment (server binary, corpus, source and build
// directories) before any test runs, keeping values the caller set.
#include <cstdlib>

namespace {

struct TestEnvironment {
  TestEnvironment() {
    setenv("KRYCERTD_BIN", KRY_TEST_BIN, 0);
    setenv("KRY_CORPUS", KRY_TEST_CORPUS, 0);
    setenv("KRY_SOURCE_DIR", KRY_TEST_SOURCE_DIR, 0);
    setenv("KRY_BINARY_DIR", KRY_TEST_BINARY_DIR, 0);
  }
};

const TestEnvironment kEnvironment;

}  // namespace
