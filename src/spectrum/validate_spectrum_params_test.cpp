#include "spectrum/validate_spectrum_params.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>

#include "testing/example_spectrum_params.hpp"

namespace quillet {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

constexpr const char* kPixels = "n_pixels must be positive";
constexpr const char* kFinite = "fit parameters must be finite";
constexpr const char* kRange = "velocity_range must be non-negative";
constexpr const char* kNpix = "npix must be positive";
constexpr const char* kSlack = "npix_slack must be non-negative";
constexpr const char* kDv = "dv must be positive";
constexpr const char* kWidths =
    "width_min, width_max, and width_guess must define positive increasing widths";
constexpr const char* kAmplitude = "amplitude_rel_min must be less than amplitude_rel_max";
constexpr const char* kTolFinite = "xtol, ftol, and gtol must be finite";
constexpr const char* kTolPositive = "xtol, ftol, gtol, and max_iter must be positive";

struct Case {
  const char* name;
  void (*spoil)(SpectrumFitParams&);
  const char* expected;  // nullptr: the settings are valid
};

std::string case_name(const testing::TestParamInfo<Case>& param_info) {
  return param_info.param.name;
}

class ValidateSpectrumParams : public testing::TestWithParam<Case> {};

TEST_P(ValidateSpectrumParams, ReportsFirstFailedCheck) {
  SpectrumFitParams params = example_spectrum_params();
  GetParam().spoil(params);
  const std::optional<DomainError> error = validate_spectrum_params(params);
  if (GetParam().expected == nullptr) {
    EXPECT_FALSE(error.has_value()) << error->message;
  } else {
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(std::string(error->message), GetParam().expected);
  }
}

using P = SpectrumFitParams;

INSTANTIATE_TEST_SUITE_P(
    SingleChecks, ValidateSpectrumParams,
    testing::Values(
        Case{"Valid", [](P&) {}, nullptr},
        Case{"ZeroPixels", [](P& p) { p.sg_xpixels = 0; }, kPixels},
        Case{"NegativePixels", [](P& p) { p.sg_xpixels = -1; }, kPixels},
        Case{"NaNVelocityRange", [](P& p) { p.velocity_range = kNaN; }, kFinite},
        Case{"InfiniteDv", [](P& p) { p.dv = kInf; }, kFinite},
        Case{"NegInfWidthMin", [](P& p) { p.width_min = -kInf; }, kFinite},
        Case{"NaNAmplitudeMin", [](P& p) { p.amplitude_rel_min = kNaN; }, kFinite},
        Case{"InfAmplitudeMax", [](P& p) { p.amplitude_rel_max = kInf; }, kFinite},
        Case{"InfWidthMax", [](P& p) { p.width_max = kInf; }, kFinite},
        Case{"NaNWidthGuess", [](P& p) { p.width_guess = kNaN; }, kFinite},
        Case{"NegativeVelocityRange", [](P& p) { p.velocity_range = -1.0f; }, kRange},
        Case{"ZeroVelocityRange", [](P& p) { p.velocity_range = 0.0f; }, nullptr},
        Case{"NegativeZeroVelocityRange", [](P& p) { p.velocity_range = -0.0f; }, nullptr},
        Case{"ZeroNpix", [](P& p) { p.npix = 0; }, kNpix},
        Case{"NegativeSlack", [](P& p) { p.npix_slack = -1; }, kSlack},
        Case{"ZeroSlack", [](P& p) { p.npix_slack = 0; }, nullptr},
        Case{"ZeroDv", [](P& p) { p.dv = 0.0f; }, kDv},
        Case{"NegativeDv", [](P& p) { p.dv = -10.0f; }, kDv},
        Case{"ZeroWidthMin", [](P& p) { p.width_min = 0.0f; }, kWidths},
        Case{"EqualWidthBounds", [](P& p) { p.width_min = p.width_max; }, kWidths},
        Case{"SwappedWidthBounds", [](P& p) { p.width_min = 300.0f; }, kWidths},
        Case{"ZeroWidthGuess", [](P& p) { p.width_guess = 0.0f; }, kWidths},
        Case{"WidthGuessAboveMax", [](P& p) { p.width_guess = 1000.0f; }, nullptr},
        Case{"WidthGuessBelowMin", [](P& p) { p.width_guess = 0.5f; }, nullptr},
        Case{"EqualAmplitudeBounds", [](P& p) { p.amplitude_rel_min = 2.0f; }, kAmplitude},
        Case{"SignedAmplitudeBounds", [](P& p) { p.amplitude_rel_min = -1.0f; }, nullptr},
        Case{"InfiniteXtol", [](P& p) { p.tolerances.xtol = kInf; }, kTolFinite},
        Case{"NaNGtol", [](P& p) { p.tolerances.gtol = kNaN; }, kTolFinite},
        Case{"ZeroXtol", [](P& p) { p.tolerances.xtol = 0.0f; }, kTolPositive},
        Case{"NegativeFtol", [](P& p) { p.tolerances.ftol = -1e-6f; }, kTolPositive},
        Case{"ZeroGtol", [](P& p) { p.tolerances.gtol = 0.0f; }, kTolPositive},
        Case{"ZeroMaxIter", [](P& p) { p.tolerances.max_iter = 0; }, kTolPositive},
        Case{"NegativeMaxIter", [](P& p) { p.tolerances.max_iter = -5; }, kTolPositive}),
    case_name);

// Where two checks fail, the earlier one in the order speaks.
INSTANTIATE_TEST_SUITE_P(TwoFailures, ValidateSpectrumParams,
                         testing::Values(Case{"PixelsBeforeFinite",
                                              [](P& p) {
                                                p.sg_xpixels = 0;
                                                p.dv = kNaN;
                                              },
                                              kPixels},
                                         Case{"FiniteBeforeSign",
                                              [](P& p) {
                                                p.dv = kInf;
                                                p.velocity_range = -1.0f;
                                              },
                                              kFinite},
                                         Case{"RangeBeforeNpix",
                                              [](P& p) {
                                                p.velocity_range = -1.0f;
                                                p.npix = 0;
                                              },
                                              kRange},
                                         Case{"NpixBeforeSlack",
                                              [](P& p) {
                                                p.npix = 0;
                                                p.npix_slack = -1;
                                              },
                                              kNpix},
                                         Case{"SlackBeforeDv",
                                              [](P& p) {
                                                p.npix_slack = -1;
                                                p.dv = 0.0f;
                                              },
                                              kSlack},
                                         Case{"DvBeforeWidths",
                                              [](P& p) {
                                                p.dv = 0.0f;
                                                p.width_min = 0.0f;
                                              },
                                              kDv},
                                         Case{"WidthsBeforeAmplitude",
                                              [](P& p) {
                                                p.width_guess = -1.0f;
                                                p.amplitude_rel_min = 3.0f;
                                              },
                                              kWidths},
                                         Case{"AmplitudeBeforeTolerances",
                                              [](P& p) {
                                                p.amplitude_rel_min = 3.0f;
                                                p.tolerances.xtol = kNaN;
                                              },
                                              kAmplitude},
                                         Case{"TolerancesFiniteBeforePositive",
                                              [](P& p) {
                                                p.tolerances.xtol = kInf;
                                                p.tolerances.max_iter = 0;
                                              },
                                              kTolFinite},
                                         Case{"SettingsBeforeTolerances",
                                              [](P& p) {
                                                p.width_min = 0.0f;
                                                p.tolerances.max_iter = 0;
                                              },
                                              kWidths}),
                         case_name);

}  // namespace
}  // namespace quillet
