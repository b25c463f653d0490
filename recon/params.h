// The parameters of reconciliation. The configuration handshake compares
// bit quantum, mbar and filters, and a session runs only when they are equal.
#pragma once

#include <string>

#include "platform/pgp/sksdigest.h"

namespace recon {

using Digest = krypgp::SksDigest;

struct ReconParams {
  int bitQuantum = 2;        // digest bits per tree level (2 -> 4 children)
  int mbar = 5;              // differences a node's samples can resolve
  // A leaf with more elements splits. Only this side's tree shape depends on
  // it (a node's samples depend on its elements alone), so peers need not
  // agree on it; it sets how soon a sync failure turns into a full-set
  // exchange instead of a further split.
  int splitThreshold = 50;
  std::string version = "1.1.6";
  std::string filters = "yminsky.dedup";

  // Sample values per node: mbar for the interpolation, one to check it.
  int NumSamples() const { return mbar + 1; }
  // A node with fewer elements joins its children back into one leaf.
  int JoinThreshold() const { return splitThreshold / 2; }
};

}  // namespace recon
