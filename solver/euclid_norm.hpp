#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

namespace quillet::solver {

// Component thresholds between the three ranges. A square of anything above
// rdwarf is a normal double, and rgiant / n components can be squared and
// summed n times without overflow. They are stored by bit pattern because the
// values every result is compared against are these exact doubles, not what
// 10 sqrt(1.5 DBL_MIN) and 0.1 sqrt(DBL_MAX) evaluate to (those differ in the
// ninth digit).
inline constexpr double kRdwarf = std::bit_cast<double>(std::uint64_t{0x20387EB19CE0551C});
inline constexpr double kRgiant = std::bit_cast<double>(std::uint64_t{0x5FB99999956F781C});

static_assert(kRdwarf == 1.8269129289596699e-153);
static_assert(kRgiant == 1.3407807799935083e+153);

// Euclidean norm of `x`, safe from overflow and underflow: components are
// summed in three ranges (small, intermediate, large), each scaled so that no
// square leaves the range of double. Every vector norm of the solver goes
// through it. A NaN component makes the result NaN unless a component of the
// same vector is large (>= rgiant / n), in which case the small sum is unused.
double euclid_norm(std::span<const double> x);

// norms[c] = euclid_norm of column c of the column-major `rows` x
// norms.size() block, bit for bit. Up to four columns are summed side by
// side, which overlaps their otherwise sequential sums.
void euclid_norm_columns(std::span<const double> block, std::size_t rows, std::span<double> norms);

}  // namespace quillet::solver
