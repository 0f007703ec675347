// The constants of the solver's steps, with their reasons: one definition
// for the scalar steps (driver_steps.cpp, lm_parameter.cpp, qr_factor.cpp)
// and for the lanes (lane_solver.hpp), which must take the same decisions on
// the same values.
#pragma once

#include <limits>

namespace quillet::solver {

// A step is accepted when it achieves at least this fraction of the
// reduction the linear model predicted.
inline constexpr double kAcceptRatio = 1e-4;

// 1 - eps and 1 + eps: a trial value within a relative eps of a limit is
// snapped onto it, so that rounding in x + step cannot leave a parameter a
// hair inside (or outside) the limit it was meant to reach.
inline constexpr double kBelowOne = 0.9999999999999998;
inline constexpr double kAboveOne = 1.0000000000000002;

// How the step bound answers the ratio of actual to predicted reduction:
// at most a quarter of the prediction is a poor step and shrinks it; at
// least three quarters (or any step without damping) is a good one and lets
// it grow to twice the step taken, with half the damping.
inline constexpr double kPoorRatio = 0.25;
inline constexpr double kGoodRatio = 0.75;
// A poor step with a reduction still shrinks the bound by half; one that
// made things worse by the factor its quadratic model suggests.
inline constexpr double kHalfStep = 0.5;
// The bound never shrinks below a tenth per step, and a trial ten times
// worse than the current point counts as no reduction at all (actred -1).
inline constexpr double kTenth = 0.1;

// Smallest normal double, 2^-1022: the floor that keeps par and its upper
// bound positive when the data give zero.
inline constexpr double kMinNormal = std::numeric_limits<double>::min();

// A step whose scaled length is within this fraction of delta is taken as
// it is: the search for par needs no more accuracy than the trust region
// itself, which the driver resizes by factors of two and ten.
inline constexpr double kDeltaTolerance = 0.1;

// Damped solves allowed per call of the parameter search before the current
// par is taken as it is.
inline constexpr int kMaxSolves = 10;

// A downdated column norm is trusted only while it keeps a fair share of its
// reference value: once 0.05 (norm / reference)^2 falls below epsilon, the
// cancellation in sqrt(1 - t^2) has eaten most of its digits and the norm is
// recomputed from the column. The weight 0.05 makes the test fire while
// about a fifth of the digits remain, before they are all gone.
inline constexpr double kDowndateWeight = 0.05;
inline constexpr double kDowndateFloor = std::numeric_limits<double>::epsilon();

}  // namespace quillet::solver
