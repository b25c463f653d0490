#include "cert/blocklist.h"

#include <cctype>
#include <cstring>
#include <fstream>
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

#include "back-ldbm/durable.h"
#include "log/eventlog.h"
#include "util/strutil.h"

namespace kry {

namespace {

struct Store {
  std::mutex lock;
  std::string path;                           // empty until loaded
  std::map<std::string, std::string> reasons;  // fingerprint -> reason
  std::set<std::string> certIDs;               // of the fingerprints, for searches
  std::atomic<size_t> count{0};                // read without the lock by every search
};

Store& TheStore() {
  static Store s;
  return s;
}

// Reasons are kept on one line.
std::string OneLine(std::string reason) {
  for (char& c : reason)
    if (c == '\n' || c == '\r') c = ' ';
  return reason;
}

std::string Render(const std::map<std::string, std::string>& reasons) {
  std::string text = "# Keys blocked on this server: fingerprint, then the reason.\n";
  for (const auto& r : reasons) text += r.first + (r.second.empty() ? "" : " " + r.second) + "\n";
  return text;
}

// Fingerprints (and the rest of each line) of a list or seed file.
void ReadLines(std::istream& in, std::map<std::string, std::string>* out, int* added) {
  std::string line;
  while (std::getline(in, line)) {
    const size_t hash = line.find('#');
    const std::string content = line.substr(0, hash);
    std::istringstream words(content);
    std::string first;
    if (!(words >> first)) continue;
    const std::string fpr = NormalizeFingerprint(first);
    if (fpr.empty()) {
      LogError(EVENTLOG_WARNING, "Blocklist line \"%s\" does not start with a fingerprint; ignored.", line.c_str());
      continue;
    }
    std::string reason;
    std::getline(words >> std::ws, reason);
    if (out->emplace(fpr, reason).second) ++*added;
  }
}

// Makes `reasons` the list in memory; the caller holds the lock.
void Install(Store& s, std::map<std::string, std::string> reasons) {
  std::set<std::string> ids;
  for (const auto& r : reasons) ids.insert(FingerprintCertID(r.first));
  s.reasons = std::move(reasons);
  s.certIDs = std::move(ids);
  s.count = s.reasons.size();
}

// Writes the list with `reasons` in place of the current one; the caller
// holds the lock. 0, or 1 after an event line.
int Save(Store& s, const std::map<std::string, std::string>& reasons) {
  if (s.path.empty()) {
    LogError(EVENTLOG_ERROR, "The blocklist cannot be changed: no database directory is configured.");
    return 1;
  }
  if (int err = WriteFileDurably(s.path, Render(reasons))) {
    LogError(EVENTLOG_ERROR, "Writing the blocklist '%s' failed: %s.", s.path.c_str(), std::strerror(err));
    return 1;
  }
  Install(s, reasons);
  return 0;
}

}  // namespace

std::string NormalizeFingerprint(const std::string& text) {
  std::string hex;
  size_t i = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) i = 2;
  for (; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == ' ') continue;
    if (!std::isxdigit(c)) return std::string();
    hex += static_cast<char>(std::toupper(c));
  }
  return hex.size() == 40 || hex.size() == 64 ? hex : std::string();
}

std::string FingerprintCertID(const std::string& fingerprint) {
  if (fingerprint.size() < 16) return std::string();
  return fingerprint.size() == 64 ? fingerprint.substr(0, 16) : fingerprint.substr(fingerprint.size() - 16);
}

int LoadBlockList(const std::string& directory, const std::string& seedFile) {
  Store& s = TheStore();
  std::lock_guard<std::mutex> guard(s.lock);
  s.path = directory.empty() ? std::string() : directory + "/blocklist";
  std::map<std::string, std::string> stored;
  int added = 0;
  if (!s.path.empty()) {
    std::ifstream in(s.path);
    ReadLines(in, &stored, &added);
  }
  Install(s, std::move(stored));
  if (seedFile.empty()) return 0;
  std::ifstream seed(seedFile);
  if (!seed) {
    LogError(EVENTLOG_ERROR, "BlockListFile '%s' cannot be read.", seedFile.c_str());
    return 1;
  }
  std::map<std::string, std::string> merged = s.reasons;
  added = 0;
  ReadLines(seed, &merged, &added);
  return added == 0 ? 0 : Save(s, merged);
}

int BlockFingerprint(const std::string& fingerprint, const std::string& reason) {
  const std::string fpr = NormalizeFingerprint(fingerprint);
  if (fpr.empty()) return 2;
  Store& s = TheStore();
  std::lock_guard<std::mutex> guard(s.lock);
  std::map<std::string, std::string> next = s.reasons;
  next[fpr] = OneLine(reason);
  return Save(s, next);
}

int UnblockFingerprint(const std::string& fingerprint) {
  const std::string fpr = NormalizeFingerprint(fingerprint);
  if (fpr.empty()) return 2;
  Store& s = TheStore();
  std::lock_guard<std::mutex> guard(s.lock);
  std::map<std::string, std::string> next = s.reasons;
  if (next.erase(fpr) == 0) return 3;
  return Save(s, next);
}

bool IsBlockedFingerprint(const std::string& fingerprint) {
  const std::string fpr = NormalizeFingerprint(fingerprint);
  Store& s = TheStore();
  std::lock_guard<std::mutex> guard(s.lock);
  return !fpr.empty() && s.reasons.count(fpr) > 0;
}

bool IsBlockedCertID(const std::string& certID) {
  Store& s = TheStore();
  std::lock_guard<std::mutex> guard(s.lock);
  return s.certIDs.count(ToUpper(certID)) > 0;
}

std::vector<std::string> BlockedCertIDs() {
  Store& s = TheStore();
  std::lock_guard<std::mutex> guard(s.lock);
  std::vector<std::string> ids;
  for (const auto& r : s.reasons) ids.push_back(FingerprintCertID(r.first));
  return ids;
}

size_t BlockedCount() { return TheStore().count.load(); }

}  // namespace kry
