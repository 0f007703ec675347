// The line batch: its checks (one case per message, in their order), the
// bits of every row whatever the pool's size, and the scale carried back.
#include "spectrum/fit_lines_batch.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "spectrum/worker_pool.hpp"

namespace quillet {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr FitTolerances kTolerances{1e-6f, 1e-6f, 1e-6f, 2000};

// N rows of M channels, each two lines on a constant: the arrays of a
// two-component batch with a constant baseline (P = 7), windows covering
// the rows.
struct Batch {
  std::size_t rows, columns;
  std::vector<float> spectra, velocity, noise, initial, lower, upper, scale;
  std::vector<std::int32_t> windows;
  std::vector<std::uint8_t> fixed = std::vector<std::uint8_t>(7, 0);
  std::vector<std::int32_t> sigma_ref{-1, 0};

  Batch(std::size_t n, std::size_t m) : rows(n), columns(m) {
    std::mt19937_64 rng(11);
    std::normal_distribution<double> gauss(0.0, 0.1);
    for (std::size_t j = 0; j < m; ++j) velocity.push_back(-100.0f + 2.0f * static_cast<float>(j));
    for (std::size_t i = 0; i < n; ++i) {
      const double shift = 3.0 * std::sin(static_cast<double>(i));
      for (const float v : velocity) {
        const double a = (v - (-20.0 + shift)) / 6.0, b = (v - (25.0 + shift)) / 6.0;
        spectra.push_back(static_cast<float>(3.0 * std::exp(-0.5 * a * a) +
                                             1.5 * std::exp(-0.5 * b * b) + 0.2 + gauss(rng)));
        noise.push_back(0.1f);
      }
      windows.insert(windows.end(),
                     {static_cast<std::int32_t>(i % 5), static_cast<std::int32_t>(m)});
      initial.insert(initial.end(), {2.0f, -15.0f, 5.0f, 1.0f, 20.0f, 5.0f, 0.0f});
      lower.insert(lower.end(), {0.0f, -40.0f, 1.0f, 0.0f, 5.0f, 1.0f, -kInf});
      upper.insert(upper.end(), {10.0f, 0.0f, 30.0f, 10.0f, 45.0f, 30.0f, kInf});
      scale.push_back(1.0f);
    }
  }

  LinesBatchArrays arrays() const {
    const auto r = static_cast<std::int64_t>(rows), c = static_cast<std::int64_t>(columns);
    LinesBatchArrays a{
        .spectra = {spectra.data(), 2, {r, c}},
        .velocity = {velocity.data(), 1, {c, 1}},
        .noise = {noise.data(), 2, {r, c}},
        .windows = {windows.data(), 2, {r, 2}},
        .initial = {initial.data(), 2, {r, 7}},
        .lower = {lower.data(), 2, {r, 7}},
        .upper = {upper.data(), 2, {r, 7}},
        .fixed = BasicArrayView<std::uint8_t>{fixed.data(), 1, {7, 1}},
        .centre_ref = std::nullopt,
        .centre_offset = std::nullopt,
        .amplitude_ref = std::nullopt,
        .amplitude_ratio = std::nullopt,
        .sigma_ref = BasicArrayView<std::int32_t>{sigma_ref.data(), 1, {2, 1}},
        .scale = ArrayView{scale.data(), 1, {r, 1}},
    };
    return a;
  }
};

struct CheckCase {
  std::string name;
  std::function<void(Batch&, LinesBatchArrays&, std::int64_t& k, std::int64_t& baseline)> change;
  const char* message;
  // Printed by name: the bytes of the record would show its padding.
  friend void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.name; }
};

std::vector<CheckCase> check_cases() {
  using A = LinesBatchArrays;
  using I = std::int64_t;
  return {
      {"components", [](Batch&, A&, I& k, I&) { k = 9; }, "ncomponents must be between 1 and 8"},
      {"baseline", [](Batch&, A&, I&, I& b) { b = 3; }, "baseline must be -1 (none), 0, 1 or 2"},
      {"velocity", [](Batch&, A& a, I&, I&) { a.velocity.shape[0] -= 1; },
       "velocity length must match spectra columns"},
      {"noise",
       [](Batch&, A& a, I&, I&) {
         a.noise.shape = {a.noise.shape[1], a.noise.shape[0]};
       },
       "noise shape must match spectra shape"},
      {"windows", [](Batch&, A& a, I&, I&) { a.windows.shape[1] = 3; },
       "windows must have shape (spectra rows, 2)"},
      {"params_shape", [](Batch&, A&, I&, I& b) { b = 1; },
       "initial, lower and upper must have shape (spectra rows, P), P = 3 ncomponents + "
       "baseline + 1"},
      {"fixed_length", [](Batch&, A& a, I&, I&) { a.fixed->shape[0] = 6; },
       "fixed must hold one flag per parameter (P of them)"},
      {"tie_length", [](Batch&, A& a, I&, I&) { a.sigma_ref->shape[0] = 3; },
       "centre_ref, centre_offset, amplitude_ref, amplitude_ratio and sigma_ref must hold one "
       "value per component"},
      {"layout", [](Batch&, A& a, I&, I&) { a.upper.c_contiguous = false; },
       "every array must be C-contiguous (numpy.ascontiguousarray)"},
      {"tie_to_itself", [](Batch& t, A&, I&, I&) { t.sigma_ref[1] = 1; },
       "a component cannot be tied to itself"},
      {"window_beyond", [](Batch& t, A&, I&, I&) { t.windows[3] += 1; },
       "windows must hold 0 <= lo <= hi <= spectra columns in every row"},
      {"window_reversed", [](Batch& t, A&, I&, I&) { t.windows[2] = t.windows[3] + 1; },
       "windows must hold 0 <= lo <= hi <= spectra columns in every row"},
      {"scale", [](Batch& t, A&, I&, I&) { t.scale[1] = 0.0f; },
       "scale values must be finite and positive"},
      {"initial", [](Batch& t, A&, I&, I&) { t.initial[8] = kInf; },
       "initial values of untied parameters must be finite"},
      {"nan_bound", [](Batch& t, A&, I&, I&) { t.lower[9] = std::nanf(""); },
       "bounds must not be NaN (use -inf or inf for no bound)"},
      {"reversed_bounds", [](Batch& t, A&, I&, I&) { t.lower[7] = 11.0f; },
       "lower must be below upper for every free parameter (fix a parameter with fixed=)"},
      {"sigma_bound", [](Batch& t, A&, I&, I&) { t.lower[2] = 0.0f; },
       "the lower bound of a free sigma must be finite and positive"},
      {"fixed_sigma", [](Batch& t, A&, I&, I&) { t.fixed[2] = 1, t.initial[9] = -1.0f; },
       "a fixed sigma must be positive"},
      // Accepted: bounds of tied and fixed parameters are not read.
      {"tied_bounds_ignored", [](Batch& t, A&, I&, I&) { t.lower[12] = std::nanf(""); }, nullptr},
      {"fixed_bounds_ignored", [](Batch& t, A&, I&, I&) { t.fixed[6] = 1, t.lower[6] = 5.0f; },
       nullptr},
  };
}

class CheckLinesBatch : public ::testing::TestWithParam<CheckCase> {};

TEST_P(CheckLinesBatch, GivesTheFirstFailedChecksMessage) {
  Batch batch(4, 60);
  LinesBatchArrays arrays = batch.arrays();
  std::int64_t k = 2, baseline = 0;
  GetParam().change(batch, arrays, k, baseline);
  const auto checked = check_lines_batch(arrays, k, baseline, kTolerances);
  if (GetParam().message == nullptr) {
    EXPECT_TRUE(checked.has_value()) << checked.error().message;
    return;
  }
  ASSERT_FALSE(checked.has_value());
  EXPECT_STREQ(checked.error().message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Cases, CheckLinesBatch, ::testing::ValuesIn(check_cases()),
                         [](const auto& test) { return test.param.name; });

std::vector<std::uint32_t> bits_of(const std::unique_ptr<float[]>& buffer, std::size_t count) {
  std::vector<std::uint32_t> out(count);
  for (std::size_t i = 0; i < count; ++i) out[i] = std::bit_cast<std::uint32_t>(buffer[i]);
  return out;
}

TEST(FitLinesRows, PoolSizeChangesNoBit) {
  const Batch batch(64, 100);
  const auto input = check_lines_batch(batch.arrays(), 2, 0, kTolerances);
  ASSERT_TRUE(input.has_value());
  std::vector<std::vector<std::uint32_t>> results;
  for (const std::size_t threads : {1, 2, 5}) {
    WorkerPool pool(threads);
    LinesBatchOutput out = allocate_lines_output(input->rows, 7);
    fit_lines_rows(*input, out, pool);
    for (std::size_t i = 0; i < input->rows; ++i) ASSERT_EQ(out.stats[5 * i + 4], 0.0f) << i;
    std::vector<std::uint32_t> all = bits_of(out.params, 64 * 7);
    for (const auto& part : {bits_of(out.errors, 64 * 7), bits_of(out.stats, 64 * 5)}) {
      all.insert(all.end(), part.begin(), part.end());
    }
    results.push_back(all);
  }
  EXPECT_EQ(results[0], results[1]);
  EXPECT_EQ(results[0], results[2]);
}

// Spectra and noise twice as large with scale 2 are the same samples: the
// same fit, amplitudes, baseline and their errors exactly doubled; an empty
// window is flagged 3 with its counts.
TEST(FitLinesRows, ScaleIsCarriedBackAndEmptyWindowsFlagged) {
  Batch batch(6, 80);
  batch.windows[2] = batch.windows[3] = 40;  // row 1: [40, 40)
  Batch twice = batch;
  for (float& v : twice.spectra) v *= 2.0f;
  for (float& v : twice.noise) v *= 2.0f;
  for (float& v : twice.scale) v = 2.0f;
  WorkerPool pool(2);
  std::vector<LinesBatchOutput> outs;
  for (const Batch* b : {&batch, &twice}) {
    const auto input = check_lines_batch(b->arrays(), 2, 0, kTolerances);
    ASSERT_TRUE(input.has_value());
    outs.push_back(allocate_lines_output(6, 7));
    fit_lines_rows(*input, outs.back(), pool);
  }
  for (std::size_t i = 0; i < 6; ++i) {
    const float* stats = outs[0].stats.get() + 5 * i;
    if (i == 1) {
      EXPECT_EQ(stats[4], 3.0f);
      EXPECT_EQ(stats[2], 0.0f);
      EXPECT_EQ(stats[3], 6.0f);
      EXPECT_TRUE(std::isnan(stats[0]) && std::isnan(outs[0].params[7]));
      continue;
    }
    ASSERT_EQ(stats[4], 0.0f);
    for (std::size_t p = 0; p < 7; ++p) {
      const float factor = p % 3 == 0 || p == 6 ? 2.0f : 1.0f;
      EXPECT_EQ(outs[1].params[7 * i + p], factor * outs[0].params[7 * i + p]) << i << " " << p;
      EXPECT_EQ(outs[1].errors[7 * i + p], factor * outs[0].errors[7 * i + p]) << i << " " << p;
    }
    EXPECT_EQ(outs[1].stats[5 * i + 1], stats[1]);
  }
}

}  // namespace
}  // namespace quillet
