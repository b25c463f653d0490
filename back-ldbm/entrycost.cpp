#include "back-ldbm/entrycost.h"

#include <string>

namespace kry {

namespace {

// A heap block as glibc's allocator hands it out: the request plus an 8-byte
// header, rounded up to 16, never below 32.
size_t Block(size_t request) {
  const size_t n = (request + 8 + 15) & ~static_cast<size_t>(15);
  return n < 32 ? 32 : n;
}

// Beyond the string object itself: nothing while the text fits the
// string's own buffer.
size_t StringHeap(const std::string& s) {
  return s.capacity() > std::string().capacity() ? Block(s.capacity() + 1) : 0;
}

// One node of each of the cache's two trees: the item, two child links and
// a height.
constexpr size_t kCertIDChars = 16;

constexpr size_t kTreeNode = sizeof(void*) * 3 + sizeof(int);

}  // namespace

size_t entry_memory_cost(const Entry& e) {
  size_t n = Block(sizeof(Entry)) + StringHeap(e.dn) + 2 * Block(kTreeNode);
  // The derived names (EntryNames), made later by readers: a certificate ID
  // and at most the DN again.
  n += Block(kCertIDChars + 1) + Block(e.dn.size() + 1);
  if (e.attrs.capacity() > 0) n += Block(e.attrs.capacity() * sizeof(Attribute));
  for (const Attribute& a : e.attrs) {
    n += StringHeap(a.type);
    if (a.values.capacity() > 0) n += Block(a.values.capacity() * sizeof(std::string));
    for (const std::string& v : a.values) n += StringHeap(v);
  }
  return n;
}

}  // namespace kry
