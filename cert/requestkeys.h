// The key-library context a key submission works in: the connection's
// pooled context block when it has one, otherwise a context made for the
// request with copies of the policy key sets, freed when the holder goes.
#pragma once

#include "cert/policy.h"

namespace kry {

struct Connection;

class RequestKeysHolder {
 public:
  RequestKeysHolder() = default;
  ~RequestKeysHolder();
  RequestKeysHolder(const RequestKeysHolder&) = delete;
  RequestKeysHolder& operator=(const RequestKeysHolder&) = delete;

  // 0, or the library's status after an event-log line.
  int Acquire(Connection* conn);
  const RequestKeys& keys() const { return keys_; }

 private:
  RequestKeys keys_;
  bool owned_ = false;
};

}  // namespace kry
