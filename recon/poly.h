// Polynomials over the field and the step that recovers a set difference
// from sample values: the ratio of two nodes' samples is a rational function
// whose numerator's roots are the elements only the remote side holds and
// whose denominator's roots are those only the local side holds.
#pragma once

#include <cstdint>
#include <vector>

#include "recon/zzp.h"

namespace recon {

// Coefficients from the constant term up; no trailing zeros (zero is empty).
using Poly = std::vector<Zp>;

// Rational function num/den, both monic, with deg num - deg den = d and
// deg num + deg den = the largest m <= values.size() of d's parity for which
// the points determine it. False when |d| exceeds values.size().
bool InterpolateRational(const std::vector<Zp>& points, const std::vector<Zp>& values, int64_t d,
                         Poly* num, Poly* den);

// The roots of f when f is a product of distinct linear factors (its degree
// many roots); false otherwise (repeated or irreducible factors, f zero).
bool FindRoots(const Poly& f, std::vector<Zp>* roots);

// Recovers the two sides of a difference from the samples of one node on
// both sides, using all but the last sample to interpolate and the last to
// check. False when the difference is too large for the samples (the caller
// then splits the node or exchanges it whole).
bool SolveDifference(const std::vector<Zp>& points, const std::vector<Zp>& remoteSamples,
                     int64_t remoteSize, const std::vector<Zp>& localSamples, int64_t localSize,
                     std::vector<Zp>* remoteOnly, std::vector<Zp>* localOnly);

Zp PolyEval(const Poly& f, const Zp& x);

}  // namespace recon
