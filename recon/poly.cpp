#include "recon/poly.h"

#include <cstdlib>
#include <utility>

namespace recon {
namespace {

void Trim(Poly* f) {
  while (!f->empty() && f->back().IsZero()) f->pop_back();
}

int Degree(const Poly& f) { return (int)f.size() - 1; }

Poly Mul(const Poly& a, const Poly& b) {
  if (a.empty() || b.empty()) return {};
  Poly r(a.size() + b.size() - 1);
  for (size_t i = 0; i < a.size(); ++i) {
    for (size_t j = 0; j < b.size(); ++j) r[i + j] = r[i + j] + a[i] * b[j];
  }
  Trim(&r);
  return r;
}

// 1 / the leading coefficient; the moduli of the hot loops are monic, and
// an inversion costs as much as a couple of hundred products.
Zp LeadInverse(const Poly& m) {
  static const Zp one = Zp::FromU64(1);
  return m.back() == one ? one : m.back().Inverse();
}

// a mod m, m nonzero.
Poly Mod(Poly a, const Poly& m) {
  Zp lead = LeadInverse(m);
  while (Degree(a) >= Degree(m)) {
    Zp c = a.back() * lead;
    size_t shift = a.size() - m.size();
    for (size_t i = 0; i < m.size(); ++i) a[shift + i] = a[shift + i] - c * m[i];
    Trim(&a);
  }
  return a;
}

// a / m, m nonzero (remainder dropped).
Poly Div(Poly a, const Poly& m) {
  if (Degree(a) < Degree(m)) return {};
  Poly q(a.size() - m.size() + 1);
  Zp lead = LeadInverse(m);
  while (Degree(a) >= Degree(m)) {
    Zp c = a.back() * lead;
    size_t shift = a.size() - m.size();
    q[shift] = c;
    for (size_t i = 0; i < m.size(); ++i) a[shift + i] = a[shift + i] - c * m[i];
    a.pop_back();  // the leading term cancels exactly
    Trim(&a);
  }
  Trim(&q);
  return q;
}

Poly Monic(Poly f) {
  Zp inv = f.back().Inverse();
  for (Zp& c : f) c = c * inv;
  return f;
}

Poly Gcd(Poly a, Poly b) {
  while (!b.empty()) {
    Poly r = Mod(a, b);
    a = std::move(b);
    b = std::move(r);
  }
  return a.empty() ? a : Monic(a);
}

// base^e mod m, e given as limbs (most significant limb last).
Poly PowMod(const Poly& base, const Zp::Limbs& e, const Poly& m) {
  Poly result = {Zp::FromU64(1)};
  Poly b = Mod(base, m);
  for (int i = 2; i >= 0; --i) {
    for (int bit = 63; bit >= 0; --bit) {
      result = Mod(Mul(result, result), m);
      if ((e[i] >> bit) & 1) result = Mod(Mul(result, b), m);
    }
  }
  return result;
}

Poly Sub(Poly a, const Poly& b) {
  if (a.size() < b.size()) a.resize(b.size());
  for (size_t i = 0; i < b.size(); ++i) a[i] = a[i] - b[i];
  Trim(&a);
  return a;
}

Zp::Limbs HalfPrimeMinusOne() {
  Zp::Limbs p = Zp::Prime();
  Zp::Limbs h;
  // (p - 1) / 2: p is odd, so shifting p right drops exactly the one.
  h[0] = p[0] >> 1 | p[1] << 63;
  h[1] = p[1] >> 1 | p[2] << 63;
  h[2] = p[2] >> 1;
  return h;
}

// Splits a monic product of distinct linear factors (Cantor-Zassenhaus):
// for a random shift a, half the roots r have (r + a) a square, and
// gcd(f, (x + a)^((p-1)/2) - 1) separates them from the rest.
void Split(const Poly& f, uint64_t* seed, std::vector<Zp>* roots) {
  if (Degree(f) <= 0) return;
  if (Degree(f) == 1) {
    roots->push_back(-f[0]);
    return;
  }
  static const Zp::Limbs half = HalfPrimeMinusOne();
  for (int tries = 0; tries < 256; ++tries) {
    Poly shifted = {Zp::FromU64(++*seed), Zp::FromU64(1)};
    Poly g = Gcd(f, Sub(PowMod(shifted, half, f), {Zp::FromU64(1)}));
    if (Degree(g) > 0 && Degree(g) < Degree(f)) {
      Split(g, seed, roots);
      Split(Div(f, g), seed, roots);
      return;
    }
  }
}

// Solves the square system a·x = b in place; false when singular.
bool SolveLinear(std::vector<std::vector<Zp>>* a, std::vector<Zp>* b) {
  auto& m = *a;
  size_t n = b->size();
  for (size_t col = 0; col < n; ++col) {
    size_t piv = col;
    while (piv < n && m[piv][col].IsZero()) ++piv;
    if (piv == n) return false;
    std::swap(m[piv], m[col]);
    std::swap((*b)[piv], (*b)[col]);
    Zp inv = m[col][col].Inverse();
    for (size_t j = col; j < n; ++j) m[col][j] = m[col][j] * inv;
    (*b)[col] = (*b)[col] * inv;
    for (size_t row = 0; row < n; ++row) {
      if (row == col || m[row][col].IsZero()) continue;
      Zp c = m[row][col];
      for (size_t j = col; j < n; ++j) m[row][j] = m[row][j] - c * m[col][j];
      (*b)[row] = (*b)[row] - c * (*b)[col];
    }
  }
  return true;
}

// num/den with deg num = ma, deg den = mb through the first ma + mb points.
bool SolveDegrees(const std::vector<Zp>& points, const std::vector<Zp>& values, int ma, int mb,
                  Poly* num, Poly* den) {
  size_t m = (size_t)(ma + mb);
  // Unknowns: num's ma lower coefficients, then den's mb lower ones.
  // num(z) - v·den(z) = 0  ->  sum a_j z^j - v sum b_j z^j = v z^mb - z^ma.
  std::vector<std::vector<Zp>> a(m, std::vector<Zp>(m));
  std::vector<Zp> b(m);
  for (size_t i = 0; i < m; ++i) {
    const Zp& z = points[i];
    const Zp& v = values[i];
    Zp pw = Zp::FromU64(1);
    std::vector<Zp> powers;
    for (int j = 0; j <= std::max(ma, mb); ++j, pw = pw * z) powers.push_back(pw);
    for (int j = 0; j < ma; ++j) a[i][j] = powers[j];
    for (int j = 0; j < mb; ++j) a[i][ma + j] = -(v * powers[j]);
    b[i] = v * powers[mb] - powers[ma];
  }
  if (!SolveLinear(&a, &b)) return false;
  num->assign(b.begin(), b.begin() + ma);
  num->push_back(Zp::FromU64(1));
  den->assign(b.begin() + ma, b.end());
  den->push_back(Zp::FromU64(1));
  return true;
}

}  // namespace

Zp PolyEval(const Poly& f, const Zp& x) {
  Zp r;
  for (size_t i = f.size(); i-- > 0;) r = r * x + f[i];
  return r;
}

bool InterpolateRational(const std::vector<Zp>& points, const std::vector<Zp>& values, int64_t d,
                         Poly* num, Poly* den) {
  int64_t mbar = (int64_t)values.size();
  if (std::llabs(d) > mbar || points.size() < values.size()) return false;
  // With fewer differences than the points allow, the larger systems are
  // singular (any common factor fits); the first regular one from the top
  // has the true degrees.
  for (int64_t m = (mbar + d) % 2 ? mbar - 1 : mbar; m >= std::llabs(d); m -= 2) {
    if (SolveDegrees(points, values, (int)((m + d) / 2), (int)((m - d) / 2), num, den)) return true;
  }
  return false;
}

bool FindRoots(const Poly& f0, std::vector<Zp>* roots) {
  roots->clear();
  Poly f = f0;
  Trim(&f);
  if (f.empty()) return false;
  f = Monic(f);
  if (Degree(f) == 0) return true;
  // Distinct linear factors only: x^p = x modulo f exactly then.
  Poly x = {Zp(), Zp::FromU64(1)};
  if (!Sub(PowMod(x, Zp::Prime(), f), Mod(x, f)).empty()) return false;
  uint64_t seed = 0;
  Split(f, &seed, roots);
  return (int)roots->size() == Degree(f);
}

bool SolveDifference(const std::vector<Zp>& points, const std::vector<Zp>& remoteSamples,
                     int64_t remoteSize, const std::vector<Zp>& localSamples, int64_t localSize,
                     std::vector<Zp>* remoteOnly, std::vector<Zp>* localOnly) {
  size_t n = remoteSamples.size();
  if (n < 2 || localSamples.size() != n || points.size() < n) return false;
  // One inversion for all the ratios: invert the product of the local
  // samples, then peel each factor off.
  std::vector<Zp> prefix(n + 1, Zp::FromU64(1));
  for (size_t i = 0; i < n; ++i) prefix[i + 1] = prefix[i] * localSamples[i];
  // A zero sample means an element sits on a sample point; no ratio then.
  if (prefix[n].IsZero()) return false;
  Zp inv = prefix[n].Inverse();
  std::vector<Zp> values(n);
  for (size_t i = n; i-- > 0;) {
    values[i] = remoteSamples[i] * inv * prefix[i];
    inv = inv * localSamples[i];
  }
  std::vector<Zp> fit(values.begin(), values.end() - 1);
  Poly num, den;
  if (!InterpolateRational(points, fit, remoteSize - localSize, &num, &den)) return false;
  // Every point the system did not use checks the fit.
  for (size_t i = (size_t)(Degree(num) + Degree(den)); i < n; ++i) {
    Zp dv = PolyEval(den, points[i]);
    if (dv.IsZero() || PolyEval(num, points[i]) != values[i] * dv) return false;
  }
  return FindRoots(num, remoteOnly) && FindRoots(den, localOnly);
}

}  // namespace recon
