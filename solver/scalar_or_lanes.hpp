// The operations the solver's shared steps (step_rules.hpp) are written in,
// for one problem and for lanes: the same names over a double with bool
// conditions, and over Doubles with Mask conditions (lane_vectors.hpp).
//
//   select(c, a, b)  a where c holds, else b (a constant may stand for either)
//   any(c)           whether c holds in some lane; for one problem, c itself
//   branch_if(c)     for one problem, c; for lanes, true: where the lanes
//                    compute both sides and select, the scalar run branches
//   abs, sqrt        per lane, correctly rounded like std::fabs and std::sqrt
//   nan_max, nan_min the solver's maximum and minimum that ignore a NaN
//   filled<T>(v)     v as a T: the double itself, or v in every lane
//   row_live(i, n)   whether row i is below the row count n of each lane
//   flag<B>(v)       the bool v as a condition B: v itself, or v in every lane
//
// and R's column order as the rules read it: PivotOrder for one problem,
// LanePivots<N> for lanes, with gather(f, j) = f(ipvt[j]) for an accessor f
// over free parameters and scatter(w, out): out[ipvt[j]] = w[j].
//
// Conditions combine with &, | and !, which mean the same for a bool and for
// a lane mask (&& and || would compare a mask with zero first).
// A step written with them branches for one problem where the lanes select:
// `if (branch_if(c)) v = select(c, w, v)` is `if (c) v = w` for one problem
// and `v = select(c, w, v)` for lanes, so each keeps the form it had before;
// `if (any(c))` lets the lanes skip work no lane needs as well.
//
// Included twice by a translation unit of lanes, like lane_kernels.hpp:
// first for one problem, compiled for the baseline with everything else,
// then after the target pragma (QUILLET_LANE_ISA defined) for the lanes.
#ifndef QUILLET_LANE_ISA
#ifndef QUILLET_SCALAR_OR_LANES_SCALAR
#define QUILLET_SCALAR_OR_LANES_SCALAR
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "solver/nan_minmax.hpp"

namespace quillet::solver {

inline double select(bool c, double a, double b) { return c ? a : b; }
inline std::int64_t select(bool c, std::int64_t a, std::int64_t b) { return c ? a : b; }
inline std::size_t select(bool c, std::size_t a, std::size_t b) { return c ? a : b; }
inline bool any(bool c) { return c; }
inline bool branch_if(bool c) { return c; }
inline double abs(double v) { return std::fabs(v); }
inline double sqrt(double v) { return std::sqrt(v); }
inline bool row_live(std::size_t i, std::size_t count) { return i < count; }

// One problem's count of rows, for passes that read no rows but its own:
// every row they read is live, and the compiler knows it.
struct OwnRows {
  std::size_t m;
};
inline bool row_live(std::size_t, OwnRows) { return true; }
inline std::size_t operator-(OwnRows rows, std::int64_t first) {
  return rows.m - static_cast<std::size_t>(first);
}

// The bits of a value and the value of bits; a count as a real.
inline std::int64_t bits_of(double v) { return std::bit_cast<std::int64_t>(v); }
inline double real_of(std::int64_t v) { return std::bit_cast<double>(v); }
inline std::uint64_t unsigned_of(std::int64_t v) { return static_cast<std::uint64_t>(v); }
inline std::int64_t signed_of(std::uint64_t v) { return static_cast<std::int64_t>(v); }
inline double to_real(std::size_t v) { return static_cast<double>(v); }
// A live row's component keeps its magnitude, another's is zero.
inline std::int64_t magnitude_bits(bool live) { return live ? INT64_MAX : 0; }

template <class T>
T filled(double v) {
  static_assert(sizeof(T) == sizeof(double), "one problem's values are doubles");
  return v;
}

template <class B>
B flag(bool v) {
  static_assert(sizeof(B) == sizeof(bool), "one problem's conditions are bools");
  return v;
}

struct PivotOrder {
  const std::size_t* ipvt;
  std::size_t n;

  template <class F>
  double gather(const F& f, std::size_t j) const {
    return f(ipvt[j]);
  }
  void scatter(const double* w, double* out) const {
    for (std::size_t j = 0; j < n; ++j) out[ipvt[j]] = w[j];
  }
};

}  // namespace quillet::solver
#endif
#else
#ifndef QUILLET_SCALAR_OR_LANES_LANES
#define QUILLET_SCALAR_OR_LANES_LANES
#include <array>

#include "solver/lane_vectors.hpp"

namespace quillet::solver::QUILLET_LANE_ISA {

inline Doubles select(Mask m, double a, Doubles b) { return m ? splat(a) : b; }
inline Doubles select(Mask m, Doubles a, double b) { return m ? a : splat(b); }
inline Doubles select(Mask m, double a, double b) { return m ? splat(a) : splat(b); }
inline Ints select(Mask m, std::int64_t a, Ints b) { return m ? splat_int(a) : b; }
inline bool branch_if(Mask) { return true; }

template <class T>
T filled(double v) {
  static_assert(sizeof(T) == sizeof(Doubles), "lane values are Doubles");
  return splat(v);
}

template <class B>
B flag(bool v) {
  static_assert(sizeof(B) == sizeof(Mask), "lane conditions are Masks");
  return splat_int(v ? -1 : 0);
}

// Each lane's own permutation of N columns.
template <int N>
struct LanePivots {
  const std::array<Ints, N>* ipvt;

  template <class F>
  Doubles gather(const F& f, std::size_t j) const {
    const Ints index = (*ipvt)[j];
    Doubles out = f(0);
    for (int k = 1; k < N; ++k) out = index == k ? f(static_cast<std::size_t>(k)) : out;
    return out;
  }
  void scatter(const Doubles* w, Doubles* out) const {
    for (int k = 0; k < N; ++k) {
      Doubles v = out[k];
      for (int j = 0; j < N; ++j) v = (*ipvt)[j] == k ? w[j] : v;
      out[k] = v;
    }
  }
};

}  // namespace quillet::solver::QUILLET_LANE_ISA
#endif
#endif
