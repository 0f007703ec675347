// The line model in lanes of four (AVX2): each lane's residuals and
// derivative columns are the scalar model's to the bit, for windows of
// different lengths side by side and models with every kind of tie, a
// baseline and a fixed parameter.
#if defined(__x86_64__)
#include <gtest/gtest.h>
#include <immintrin.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <vector>

#include "lines/line_residuals.hpp"
#include "lines/line_spectra_test_support.hpp"
#include "solver/euclid_norm.hpp"

#pragma GCC target("avx2")
#define QUILLET_LANE_ISA avx2
#define QUILLET_LANE_WIDTH 4
#include "lines/line_lanes.hpp"

namespace quillet::lines {
namespace {

using avx2::Doubles;
using avx2::LineLanes;

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

// Four windows of different lengths from `truth`, each lane at its own
// point near it; every lane's residuals and columns against the scalar
// model's, evaluated at that lane's point.
template <int N>
void expect_lanes_match_scalar(const LineModel& model, const std::vector<double>& truth) {
  ASSERT_FALSE(check_line_model(model).has_value());
  const LineLayout layout(model);
  ASSERT_EQ(layout.free_count(), static_cast<std::size_t>(N));
  // The solver position of each free parameter, in order.
  std::vector<std::size_t> free_solver;
  for (std::size_t j = 0; j < layout.solver_count(); ++j) {
    if (!model.fixed[layout.param_of(j)]) free_solver.push_back(j);
  }
  constexpr std::array<std::size_t, 4> kLengths = {61, 17, 88, 40};
  constexpr std::size_t kRows = 88;
  LineLanes<N> lanes(layout, kRows);
  std::array<testing::Window, 4> windows;
  std::array<std::vector<double>, 4> points;
  typename LineLanes<N>::Params p{};
  for (int k = 0; k < 4; ++k) {
    const auto n = kLengths[static_cast<std::size_t>(k)];
    windows[static_cast<std::size_t>(k)] =
        testing::noisy_window(model, truth, n, -110.0 + 3.0 * k, 220.0 / static_cast<double>(n),
                              0.1, static_cast<std::uint64_t>(k) + 20);
    const testing::Window& w = windows[static_cast<std::size_t>(k)];
    // Each lane's own point, fixed parameters included (their values
    // differ from lane to lane too).
    std::vector<double> point(layout.solver_count());
    for (std::size_t j = 0; j < point.size(); ++j) {
      point[j] = truth[layout.param_of(j)] * (1.0 + 0.01 * (k + 1));
    }
    points[static_cast<std::size_t>(k)] = point;
    lanes.load(k, w.x, w.y, w.error, point);
    for (int f = 0; f < N; ++f) {
      avx2::lane(p[static_cast<std::size_t>(f)], k) =
          point[free_solver[static_cast<std::size_t>(f)]];
    }
  }
  const avx2::Mask all = avx2::splat_int(-1);
  // new[], not std::vector: a vector type's alignment does not survive as a
  // template argument, and the lanes' stores need all of it.
  const std::unique_ptr<Doubles[]> r(new Doubles[kRows]());
  const std::unique_ptr<Doubles[]> storage(new Doubles[N * kRows]());
  std::array<Doubles*, N> columns{};
  for (int f = 0; f < N; ++f) columns[static_cast<std::size_t>(f)] = storage.get() + f * kRows;
  // Twice over: the second pass reuses the terms the first kept.
  for (int pass = 0; pass < 2; ++pass) {
    lanes.evaluate(all, p, r.get(), kRows);
    lanes.evaluate_with_derivs(all, p, columns, kRows);
  }

  for (int k = 0; k < 4; ++k) {
    const testing::Window& w = windows[static_cast<std::size_t>(k)];
    const std::size_t m = w.x.size();
    LineScratch scratch(model.components, m);
    LineResiduals scalar(layout, w.x, w.y, w.error, scratch);
    const std::vector<double>& point = points[static_cast<std::size_t>(k)];
    std::vector<double> expected(m), expected_d(m);
    const std::size_t nsolver = layout.solver_count();
    std::vector<std::vector<double>> cols(nsolver, std::vector<double>(m, 0.0));
    std::vector<std::span<double>> slots(nsolver);
    for (const std::size_t j : free_solver) slots[j] = cols[j];
    scalar.evaluate(point, expected);
    scalar.evaluate_with_derivs(point, expected_d, slots);
    for (std::size_t i = 0; i < m; ++i) {
      ASSERT_EQ(bits(avx2::lane(r[i], k)), bits(expected[i])) << "lane " << k << " row " << i;
      for (int f = 0; f < N; ++f) {
        const std::size_t j = free_solver[static_cast<std::size_t>(f)];
        ASSERT_EQ(bits(avx2::lane(columns[static_cast<std::size_t>(f)][i], k)), bits(cols[j][i]))
            << "lane " << k << " row " << i << " parameter " << j;
      }
    }
  }
}

class LineLanesAvx2 : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!__builtin_cpu_supports("avx2")) GTEST_SKIP() << "no AVX2 on this processor";
  }
};

TEST_F(LineLanesAvx2, ThreeFreeComponents) {
  expect_lanes_match_scalar<9>(testing::make_model(3, -1),
                               {3.0, -60.0, 8.0, 2.0, 0.0, 10.0, 1.5, 50.0, 6.0});
}

TEST_F(LineLanesAvx2, QuadraticBaselineAndAFixedCentre) {
  expect_lanes_match_scalar<8>(testing::make_model(2, 2, {4}),
                               {3.0, -30.0, 8.0, 2.0, 40.0, 10.0, 0.2, 1e-3, -2e-5});
}

TEST_F(LineLanesAvx2, TiedTripletOnASlope) {
  LineModel triplet = testing::make_model(3, 1);
  triplet.ties[0] = {.amplitude_ref = 2,
                     .amplitude_ratio = 1.0f / 3.0f,
                     .centre_ref = 1,
                     .centre_offset = -45.0f,
                     .sigma_ref = 1};
  triplet.ties[2] = {.centre_ref = 1, .centre_offset = 60.0f, .sigma_ref = 1};
  expect_lanes_match_scalar<6>(triplet,
                               {1.0, -45.0, 9.0, 5.0, 0.0, 9.0, 3.0, 60.0, 9.0, 0.3, 1e-3});
}

}  // namespace
}  // namespace quillet::lines
#endif
