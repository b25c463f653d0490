// "ServeSignatures self": key blocks in search results (and so in HKP and
// WKD answers) cut down to their owner's own signatures at serving time; the
// stored blocks keep everything.
#pragma once

#include <vector>

#include "ldap/entry.h"

namespace kry {

// True when served key blocks carry only their owner's signatures.
bool ServingOwnSignaturesOnly();

// Cuts the kryKey and kryKeyV2 values in `virtualAttrs` in place and, when
// `e` holds such attributes itself, fills *entryAttrs with a copy of e's
// attributes with its blocks cut, setting *useCopy. 0, or 1 on allocation
// failure.
int CutServedKeyBlocks(const Entry* e, std::vector<Attribute>* virtualAttrs, std::vector<Attribute>* entryAttrs,
                       bool* useCopy);

}  // namespace kry
