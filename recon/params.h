// The parameters two reconciliation peers must share: the configuration
// handshake compares them and a session runs only when they are equal.
#pragma once

#include <string>

#include "platform/pgp/sksdigest.h"

namespace recon {

using Digest = krypgp::SksDigest;

struct ReconParams {
  int bitQuantum = 2;        // digest bits per tree level (2 -> 4 children)
  int mbar = 5;              // differences a node's samples can resolve
  int splitThreshold = 50;   // a leaf with more elements splits
  std::string version = "1.1.6";
  std::string filters = "yminsky.dedup";

  // Sample values per node: mbar for the interpolation, one to check it.
  int NumSamples() const { return mbar + 1; }
  // A node with fewer elements joins its children back into one leaf.
  int JoinThreshold() const { return splitThreshold / 2; }
};

}  // namespace recon
