#include "solver/lm_parameter.hpp"

#include <cmath>

#include "solver/euclid_norm.hpp"
#include "solver/scalar_or_lanes.hpp"
#include "solver/solver_types.hpp"
#include "solver/step_constants.hpp"

namespace quillet::solver {
#include "solver/step_rules.hpp"
// Included after the step rules it is written in.
#include "solver/lm_rules.hpp"

namespace {

// The damped factor's strict lower triangle, kept below R in fjac.
struct LowerOfFjac {
  double* fjac;
  std::size_t m;
  double& operator()(std::size_t i, std::size_t j) const { return fjac[i + m * j]; }
};

}  // namespace

void newton_scaled_step(std::size_t n, std::span<const std::size_t> ipvt,
                        std::span<const std::size_t> ifree, std::span<const double> diag,
                        std::span<const double> v, double vnorm, std::span<double> out) {
  newton_scaled_step(
      PivotOrder{ipvt.data(), n}, [&](std::size_t l) { return diag[ifree[l]]; }, v.data(), vnorm,
      out.data(), n);
}

void qr_solve(std::size_t n, std::span<double> fjac, std::size_t m,
              std::span<const std::size_t> ipvt, std::span<const double> damp,
              std::span<const double> qtb, std::span<double> u, std::span<double> sdiag,
              std::span<double> w) {
  LowerOfFjac lower{fjac.data(), m};
  damped_solve<std::int64_t>(lower, lower, PivotOrder{ipvt.data(), n}, damp.data(), qtb.data(),
                             u.data(), sdiag.data(), w.data(), n);
}

void lm_parameter(std::size_t n, std::span<double> fjac, std::size_t m,
                  std::span<const std::size_t> ipvt, std::span<const std::size_t> ifree,
                  std::span<const double> diag, std::span<const double> qtf, double delta,
                  double& par, std::span<double> u, std::span<double> sdiag, std::span<double> w1,
                  std::span<double> w2) {
  LowerOfFjac fjac_at{fjac.data(), m};
  lm_parameter_search<std::int64_t>(
      true, fjac_at, fjac_at, PivotOrder{ipvt.data(), n},
      [&](std::size_t j) { return diag[ifree[j]]; }, qtf.data(), delta, par, u.data(), u.data(),
      sdiag.data(), w1.data(), w2.data(), n,
      [&](const double* v, bool) {
        return euclid_norm({v, n});
      });
}

}  // namespace quillet::solver
