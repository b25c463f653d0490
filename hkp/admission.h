// Admission of HKP connections before libmicrohttpd takes them: the
// per-address limit is kept here (the library's own would refuse without
// telling anyone), and the total too, so that a connection turned away is
// counted as refused.
#pragma once

#include <sys/socket.h>

#include <string>

namespace kry {

// The key an address is counted under (its raw bytes); empty for an
// address of another family or none.
std::string HkpAdmissionKey(const sockaddr* address);

// Whether a new connection from `key` fits under `perAddress` and `total`
// (connections counted by HkpAdmitted); a refusal is counted in the
// metrics. Safe from any thread.
bool HkpAdmit(const std::string& key, int perAddress, int total);
// A connection from `key` started: counted, and false when with it the
// address or the port holds more than its limit (threads of the pool that
// admitted at the same moment; the caller closes the surplus one, which is
// counted as refused). Every call is matched by one HkpLeft.
bool HkpAdmitted(const std::string& key, int perAddress, int total);
// A connection from `key` ended.
void HkpLeft(const std::string& key);

}  // namespace kry
