// A line model: K Gaussian components and an optional polynomial baseline,
// with fixed parameters and ties between components, and the map between
// the model's parameters and the solver's.
//
// Parameter order, the one every array of a line fit uses: per component
// (amplitude, centre, sigma), components in order, then the baseline
// coefficients c0, c1, c2 (as many as the order asks). The baseline is
// c0 + c1 t + c2 t^2 with t = v - v_ref, v_ref the midpoint of the first and
// last fitted samples' velocities, so that c0 is the level under the middle
// of the window and c1, c2 are per km/s and per (km/s)^2.
//
// A tie makes one attribute of a component follow the same attribute of a
// reference component: centre_k = centre_ref + offset, amplitude_k = ratio x
// amplitude_ref, sigma_k = sigma_ref. Ties are one level deep (a reference
// is never tied itself in that attribute). A tied parameter is not a
// parameter of the solver: the solver sees every untied parameter (fixed
// ones included, which it keeps out of its iteration itself), and the
// derivative of a tied parameter flows into its reference's column.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "gaussian/domain_error.hpp"

namespace quillet::lines {

inline constexpr std::size_t kMaxComponents = 8;
inline constexpr int kMaxBaselineOrder = 2;
inline constexpr std::size_t kMaxParams =
    3 * kMaxComponents + static_cast<std::size_t>(kMaxBaselineOrder) + 1;

// No reference: the attribute is the component's own parameter.
inline constexpr std::int32_t kUntied = -1;

// The attributes of a component, in parameter order within the component.
enum class Attribute : std::uint8_t { Amplitude = 0, Centre = 1, Sigma = 2 };

struct ComponentTies {
  std::int32_t amplitude_ref = kUntied;
  float amplitude_ratio = 1.0f;
  std::int32_t centre_ref = kUntied;
  float centre_offset = 0.0f;  // km/s, added to the reference's centre
  std::int32_t sigma_ref = kUntied;

  std::int32_t ref(Attribute a) const {
    switch (a) {
      case Attribute::Amplitude:
        return amplitude_ref;
      case Attribute::Centre:
        return centre_ref;
      case Attribute::Sigma:
        return sigma_ref;
    }
    return kUntied;
  }
};

// The model shared by every row of a fit.
struct LineModel {
  std::size_t components = 1;
  int baseline = -1;  // polynomial order 0, 1 or 2; -1 for none
  std::array<bool, kMaxParams> fixed{};
  std::array<ComponentTies, kMaxComponents> ties{};

  std::size_t baseline_terms() const { return static_cast<std::size_t>(baseline + 1); }
  std::size_t param_count() const { return 3 * components + baseline_terms(); }
};

inline constexpr std::size_t param_index(std::size_t component, Attribute a) {
  return 3 * component + static_cast<std::size_t>(a);
}

// The first thing wrong with the model's structure (component count,
// baseline order, ties, fixed and tied at once, nothing left free), or
// nothing. Offsets and ratios of ties must be finite.
std::optional<DomainError> check_line_model(const LineModel& model);

// Where each model parameter comes from during a fit, for a checked model.
class LineLayout {
 public:
  explicit LineLayout(const LineModel& model);

  const LineModel& model() const { return model_; }
  std::size_t param_count() const { return npar_; }
  // Parameters the solver sees (the untied ones) and, of those, the free ones.
  std::size_t solver_count() const { return nsolver_; }
  std::size_t free_count() const { return nfree_; }
  // The model parameter of solver parameter j.
  std::size_t param_of(std::size_t j) const { return param_of_[j]; }
  // The solver parameter of model parameter p, or -1 when p is tied.
  std::int32_t solver_of(std::size_t p) const { return solver_of_[p]; }
  bool tied(std::size_t p) const { return solver_of_[p] < 0; }
  // The model parameter a tied parameter p follows.
  std::size_t reference_of(std::size_t p) const;

  // All model parameters from the solver's: untied ones copied, tied ones
  // formed from their references (centre + offset, ratio x amplitude, sigma).
  void expand(std::span<const double> solver, std::span<double> params) const;

 private:
  LineModel model_;
  std::size_t npar_ = 0;
  std::size_t nsolver_ = 0;
  std::size_t nfree_ = 0;
  std::array<std::size_t, kMaxParams> param_of_{};
  std::array<std::int32_t, kMaxParams> solver_of_{};
};

}  // namespace quillet::lines
