#include <gtest/gtest.h>
TEST(ReconInterop, Placeholder) {}
