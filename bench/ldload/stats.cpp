#include "bench/ldload/stats.h"

#include <algorithm>
#include <cstdio>

namespace krybench {

namespace {

double Rate(long n, double seconds) { return seconds > 0 ? n / seconds : 0; }

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) < 0x20) continue;
    out += c;
  }
  return out + "\"";
}

}  // namespace

void Percentiles(std::vector<long>* micros, RunFigures* f) {
  if (micros->empty()) return;
  std::sort(micros->begin(), micros->end());
  // Nearest rank: the smallest sample with at least p of them at or below it.
  auto rank = [&](double p) {
    size_t k = size_t(p * double(micros->size()) + 0.999999);
    if (k == 0) k = 1;
    return (*micros)[std::min(k, micros->size()) - 1] / 1000.0;
  };
  f->p50ms = rank(0.50);
  f->p99ms = rank(0.99);
  f->maxms = micros->back() / 1000.0;
}

std::string JsonLine(const RunFigures& f) {
  char buf[512];
  std::snprintf(buf, sizeof buf,
                "\"connections\":%d,\"seconds\":%.3f,\"ops\":%ld,\"ops_per_s\":%.1f,\"items\":%ld,"
                "\"items_per_s\":%.1f,\"entries\":%ld,\"p50_ms\":%.3f,\"p99_ms\":%.3f,\"max_ms\":%.3f,"
                "\"errors\":%ld}",
                f.connections, f.seconds, f.ops, Rate(f.ops, f.seconds), f.items, Rate(f.items, f.seconds),
                f.entries, f.p50ms, f.p99ms, f.maxms, f.errors);
  return "{\"label\":" + JsonString(f.label) + ",\"op\":" + JsonString(f.op) + "," + buf;
}

std::string HumanLine(const RunFigures& f) {
  char buf[512];
  std::snprintf(buf, sizeof buf,
                "%s: %s, %d connections, %.1f s: %.1f ops/s (%ld ops, %ld items, %ld entries), "
                "latency p50 %.2f ms p99 %.2f ms max %.2f ms, %ld errors",
                f.label.c_str(), f.op.c_str(), f.connections, f.seconds, Rate(f.ops, f.seconds), f.ops, f.items,
                f.entries, f.p50ms, f.p99ms, f.maxms, f.errors);
  return buf;
}

}  // namespace krybench
