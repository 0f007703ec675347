#pragma once

#include <cstddef>
#include <span>

namespace quillet::solver {

// Overwrites the leading n x n block of `fjac` (leading dimension m), which
// holds R of the last factorisation, with V = (J^T J)^-1 indexed by free
// position. Pivots (in pivot order) from the first with |R[k,k]| <=
// covtol * |R[0,0]| on are cut: their rows and columns of V are zero.
// Needs n >= 1; `scratch` holds at least n values. Never allocates.
void covariance(std::size_t n, std::span<double> fjac, std::size_t m,
                std::span<const std::size_t> ipvt, double covtol, std::span<double> scratch);

}  // namespace quillet::solver
