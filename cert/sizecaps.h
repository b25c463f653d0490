// The configured size caps ("MaxKeyLength" and the others) applied to a
// submitted key block and to the block a merge would store.
#pragma once

#include <string>

#include "cert/addkey.h"

namespace kry {

// 0 when `block` keeps to every cap; otherwise 21, with a client text that
// names the cap in `state` and one event line. `merged` says the block is
// the stored copy united with the submission, which is then left as it is.
int CheckSizeCaps(AddRequestState* state, const std::string& block, bool merged);

}  // namespace kry
