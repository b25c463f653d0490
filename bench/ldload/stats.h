// Latency samples of one run and the figures printed for it: one JSON
// object on a line for scripts and one line for people.
#pragma once

#include <string>
#include <vector>

namespace krybench {

struct RunFigures {
  std::string label, op;
  int connections = 0;
  double seconds = 0;
  long ops = 0, errors = 0, items = 0, entries = 0;
  double p50ms = 0, p99ms = 0, maxms = 0;
};

// Fills the percentiles from the latency samples (microseconds; reordered).
void Percentiles(std::vector<long>* micros, RunFigures* f);
std::string JsonLine(const RunFigures& f);
std::string HumanLine(const RunFigures& f);

}  // namespace krybench
