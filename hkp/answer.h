// An HTTP answer of the HKP listener before it is handed to the HTTP
// library.
#pragma once

#include <string>

namespace kry {

struct HkpAnswer {
  int status = 200;
  std::string contentType = "text/plain; charset=utf-8";
  std::string body;
};

// A plain-text answer; a line feed is added after `text`.
inline HkpAnswer HkpText(int status, const std::string& text) {
  HkpAnswer a;
  a.status = status;
  a.body = text + "\n";
  return a;
}

}  // namespace kry
