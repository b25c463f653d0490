// The search request handler's decoding, answered as a server without a
// search backend answers, until the search module takes it over.
#include <string>
#include <vector>

#include "ldap/ber.h"
#include "ldap/dispatch.h"
#include "ldap/dn.h"
#include "ldap/operation.h"
#include "ldap/result.h"
#include "log/trace.h"

namespace kry {

}  // namespace kry
