#include "lines/line_model.hpp"

#include <cmath>

namespace quillet::lines {
#include "lines/tie_rules.hpp"

namespace {

constexpr std::array<Attribute, 3> kAttributes = {Attribute::Amplitude, Attribute::Centre,
                                                  Attribute::Sigma};

}  // namespace

std::optional<DomainError> check_line_model(const LineModel& model) {
  if (model.components < 1 || model.components > kMaxComponents) {
    return DomainError{"ncomponents must be between 1 and 8"};
  }
  if (model.baseline < -1 || model.baseline > kMaxBaselineOrder) {
    return DomainError{"baseline must be -1 (none), 0, 1 or 2"};
  }
  const auto count = static_cast<std::int32_t>(model.components);
  for (std::size_t k = 0; k < model.components; ++k) {
    const ComponentTies& tie = model.ties[k];
    for (const Attribute a : kAttributes) {
      const std::int32_t ref = tie.ref(a);
      if (ref == kUntied) continue;
      if (ref < 0 || ref >= count) {
        return DomainError{"a tie's reference must be -1 (untied) or a component index"};
      }
      if (static_cast<std::size_t>(ref) == k) {
        return DomainError{"a component cannot be tied to itself"};
      }
      if (model.ties[static_cast<std::size_t>(ref)].ref(a) != kUntied) {
        return DomainError{
            "ties are one level deep: tie to the reference component, not to a tied one"};
      }
      if (model.fixed[param_index(k, a)]) {
        return DomainError{"a tied parameter cannot also be fixed; fix its reference instead"};
      }
    }
    if (tie.centre_ref != kUntied && !std::isfinite(tie.centre_offset)) {
      return DomainError{"centre offsets of tied components must be finite"};
    }
    if (tie.amplitude_ref != kUntied && !std::isfinite(tie.amplitude_ratio)) {
      return DomainError{"amplitude ratios of tied components must be finite"};
    }
  }
  const LineLayout layout(model);
  if (layout.free_count() == 0) {
    return DomainError{"every parameter is fixed or tied: at least one must be free"};
  }
  return std::nullopt;
}

LineLayout::LineLayout(const LineModel& model) : model_(model), npar_(model.param_count()) {
  for (std::size_t p = 0; p < npar_; ++p) {
    const bool is_tied =
        p < 3 * model.components && model.ties[p / 3].ref(kAttributes[p % 3]) != kUntied;
    if (is_tied) {
      solver_of_[p] = -1;
      continue;
    }
    solver_of_[p] = static_cast<std::int32_t>(nsolver_);
    param_of_[nsolver_++] = p;
    if (!model.fixed[p]) ++nfree_;
  }
}

std::size_t LineLayout::reference_of(std::size_t p) const {
  const auto ref = static_cast<std::size_t>(model_.ties[p / 3].ref(kAttributes[p % 3]));
  return 3 * ref + p % 3;
}

void LineLayout::expand(std::span<const double> solver, std::span<double> params) const {
  for (std::size_t j = 0; j < nsolver_; ++j) params[param_of_[j]] = solver[j];
  follow_ties(model_, params.data());
}

}  // namespace quillet::lines
