// The model reuses the exponential terms of the last (centre, sigma) it saw
// and runs its arithmetic several samples at a time; neither may change a
// bit of any residual or derivative. Each value is checked against the
// formula written out per sample.
#include "gaussian/gaussian_residuals.hpp"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "gaussian/gaussian_uncertainties.hpp"

namespace quillet {
namespace {

struct Samples {
  std::vector<float> x, y, error;
};

Samples noisy_line(std::size_t n) {
  Samples s;
  for (std::size_t i = 0; i < n; ++i) {
    const auto fi = static_cast<float>(i);
    s.x.push_back(-7.0f + 0.37f * fi);
    s.y.push_back(2.5f * std::exp(-0.02f * (fi - 0.4f * static_cast<float>(n)) *
                                  (fi - 0.4f * static_cast<float>(n))) +
                  0.03f * std::sin(3.1f * fi));
    s.error.push_back(0.04f + 0.01f * static_cast<float>(i % 4));
  }
  return s;
}

// One sample's values, by the model's formulas, one operation at a time.
struct Expected {
  double r_plain, r_with_derivs, d_amplitude, d_centre, d_sigma;
};

Expected by_formula(const Samples& s, std::size_t i, const std::array<double, 3>& p) {
  const double x = s.x[i], y = s.y[i], e = s.error[i];
  const double z = (x - p[1]) / p[2];
  const double g = std::exp(z * -0.5 * z);
  const double w = 1.0 / e;
  return {(y - g * p[0]) / e, (y - p[0] * g) * w, -g * w, z * -p[0] * g * w / p[2],
          w * (z * -p[0] * z * g) / p[2]};
}

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

// A sequence of calls such as a solver run makes: a trial, the Jacobian at
// the same point, a new amplitude at the same centre and sigma, a new centre,
// a sigma differing in its last bit, and a return to an earlier point.
const std::vector<std::array<double, 3>> kPoints = {
    {2.0, 0.3, 1.5},
    {2.0, 0.3, 1.5},
    {2.7, 0.3, 1.5},
    {2.7, 0.31, 1.5},
    {2.7, 0.31, std::nextafter(1.5, 2.0)},
    {2.0, 0.3, 1.5},
};

class ModelBits : public testing::TestWithParam<std::size_t> {};

TEST_P(ModelBits, EveryValueIsTheFormulasWhateverCameBefore) {
  const Samples s = noisy_line(GetParam());
  const std::size_t m = s.x.size();
  const GaussianResiduals model(s.x, s.y, s.error);
  std::vector<double> plain(m), with_derivs(m), da(m), dm(m), ds(m), dm_alone(m, 7.0);
  for (std::size_t call = 0; call < kPoints.size(); ++call) {
    const std::array<double, 3>& p = kPoints[call];
    // Alternate which operation sees a point first.
    if (call % 2 == 0) model.evaluate(p, plain);
    model.evaluate_with_derivs(p, with_derivs,
                               std::array{std::span(da), std::span(dm), std::span(ds)});
    if (call % 2 == 1) model.evaluate(p, plain);
    // Only the centre's slot: the partial path.
    std::vector<double> r_alone(m);
    model.evaluate_with_derivs(
        p, r_alone, std::array{std::span<double>{}, std::span(dm_alone), std::span<double>{}});
    for (std::size_t i = 0; i < m; ++i) {
      const Expected want = by_formula(s, i, p);
      ASSERT_EQ(bits(plain[i]), bits(want.r_plain)) << "call " << call << " sample " << i;
      ASSERT_EQ(bits(with_derivs[i]), bits(want.r_with_derivs))
          << "call " << call << " sample " << i;
      ASSERT_EQ(bits(da[i]), bits(want.d_amplitude)) << "call " << call << " sample " << i;
      ASSERT_EQ(bits(dm[i]), bits(want.d_centre)) << "call " << call << " sample " << i;
      ASSERT_EQ(bits(ds[i]), bits(want.d_sigma)) << "call " << call << " sample " << i;
      ASSERT_EQ(bits(r_alone[i]), bits(want.r_with_derivs)) << "call " << call << " sample " << i;
      ASSERT_EQ(bits(dm_alone[i]), bits(want.d_centre)) << "call " << call << " sample " << i;
    }
  }
}

// The terms the model hands out for the uncertainties are the formula's,
// whether remembered from the last evaluation or computed afresh, and the
// uncertainties from them equal those computed from scratch, bit for bit.
TEST(ModelTerms, GiveTheUncertaintiesOfAFreshComputation) {
  const Samples s = noisy_line(21);
  const GaussianResiduals model(s.x, s.y, s.error);
  std::vector<double> r(s.x.size());
  for (std::size_t call = 0; call < kPoints.size(); ++call) {
    const std::array<double, 3>& p = kPoints[call];
    if (call % 2 == 0) model.evaluate(p, r);  // remembered, or not
    const GaussianResiduals::Terms terms = model.terms(p);
    ASSERT_EQ(terms.z.size(), s.x.size());
    for (std::size_t i = 0; i < s.x.size(); ++i) {
      const double z = (static_cast<double>(s.x[i]) - p[1]) / p[2];
      ASSERT_EQ(bits(terms.z[i]), bits(z));
      ASSERT_EQ(bits(terms.g[i]), bits(std::exp(z * -0.5 * z)));
      ASSERT_EQ(bits(terms.w[i]), bits(1.0 / static_cast<double>(s.error[i])));
    }
    for (const double chi2 : {0.0, 17.0}) {
      const auto fresh = gaussian_uncertainties(s.x, s.error, p, chi2);
      const auto reused = gaussian_uncertainties(p, chi2, terms.w, terms.z, terms.g);
      for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(std::bit_cast<std::uint32_t>(reused[k]), std::bit_cast<std::uint32_t>(fresh[k]));
      }
    }
  }
  // A window too long to remember has no terms to hand out.
  const Samples long_line = noisy_line(GaussianResiduals::kRememberedSamples + 1);
  const GaussianResiduals long_model(long_line.x, long_line.y, long_line.error);
  EXPECT_TRUE(long_model.terms(kPoints[0]).z.empty());
}

// Windows that fit the remembered terms, one that fills them exactly, and
// longer ones that are computed in pieces.
INSTANTIATE_TEST_SUITE_P(Lengths, ModelBits,
                         testing::Values(3, 21, GaussianResiduals::kRememberedSamples,
                                         GaussianResiduals::kRememberedSamples + 1, 300));

}  // namespace
}  // namespace quillet
