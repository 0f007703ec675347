// The common case's pass of a Euclidean norm, for one vector (Real a
// double, Uint std::uint64_t) or for lanes (Doubles, Uints): the sum of
// squares, and the two magnitudes beside it that decide whether its square
// root is euclid_norm's result to the bit (norm_rules.hpp). Kept between
// the steps of a factorisation, so that the next step's column norm needs
// no pass of its own.
#pragma once

#include <cstdint>

namespace quillet::solver {

template <class Real, class Uint>
struct SquareSum {
  Real s2;
  Uint below_dwarf;  // min of D - p over the small components' patterns p
  Uint above_dwarf;  // min of p - D - 1 over those above rdwarf
};

// One problem's, as the factorisation keeps one per column.
using ColumnSquares = SquareSum<double, std::uint64_t>;

}  // namespace quillet::solver
