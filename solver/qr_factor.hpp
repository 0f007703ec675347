#pragma once

#include <cstddef>
#include <span>

#include "solver/square_sum.hpp"

namespace quillet::solver {

// Householder QR factorisation with column pivoting of the m x nfree matrix
// `fjac` (column-major, leading dimension m), in place: J P = Q R.
//
// On return column j of the factored matrix is column ipvt[j] of the input;
// rows 0..j-1 of column j hold R above its diagonal, rows j..m-1 the
// Householder vector v_j (H_j = I - v_j v_j^T / v_j[j]); `rdiag` holds the
// diagonal of R, `acnorm` the norms of the input columns in input order.
// `refnorm` and `squares` are scratch (nfree values each): the norm each
// column was last computed at, and the squares each later column keeps
// between steps, which make the next step's column norm without a pass of
// its own. Always pivots; never allocates.
void qr_factor(std::size_t m, std::size_t nfree, std::span<double> fjac,
               std::span<std::size_t> ipvt, std::span<double> rdiag, std::span<double> acnorm,
               std::span<double> refnorm, std::span<ColumnSquares> squares);

// qr_factor followed by form_qtf (below), with the same results to the bit,
// in one pass: each reflection is applied to `work` as soon as it is formed
// (the first reads fvec), its products with the later columns and with
// `work` taken side by side. Needs nfree <= m, as the driver guarantees.
void qr_factor_qtf(std::size_t m, std::size_t nfree, std::span<double> fjac,
                   std::span<std::size_t> ipvt, std::span<double> rdiag, std::span<double> acnorm,
                   std::span<double> refnorm, std::span<ColumnSquares> squares,
                   std::span<const double> fvec, std::span<double> work, std::span<double> qtf);

// Applies Q^T to `fvec` (m values) into `work` (m values, Q^T fvec in full),
// copies its first nfree components into `qtf`, and writes `rdiag` back onto
// the diagonal of `fjac`, so that its leading nfree x nfree upper triangle is
// R. `fvec` is left unchanged.
void form_qtf(std::size_t m, std::size_t nfree, std::span<double> fjac,
              std::span<const double> rdiag, std::span<const double> fvec, std::span<double> work,
              std::span<double> qtf);

}  // namespace quillet::solver
