// Line-batch rows in lanes against the scalar path, bit for bit: every
// output of every row, for models of every baseline order, ties and fixed
// parameters, on batches of hostile rows (non-finite samples, empty and
// too-short windows, zero noise, starts outside or on their bounds, lines at
// the window's edge, windows of different lengths side by side), with any
// number of threads. Paths this processor lacks are skipped.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "spectrum/fit_lines_batch.hpp"
#include "spectrum/lane_path.hpp"
#include "spectrum/worker_pool.hpp"

namespace quillet {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct ModelCase {
  std::string name;
  std::size_t k = 1;
  int baseline = -1;
  std::vector<std::size_t> fixed{};
  // Per component; empty: untied.
  std::vector<std::int32_t> centre_ref{}, amplitude_ref{}, sigma_ref{};
  std::vector<float> centre_offset{}, amplitude_ratio{};
  std::size_t columns = 110;
  std::size_t rows = 61;  // not a multiple of any lane width
  friend void PrintTo(const ModelCase& c, std::ostream* os) { *os << c.name; }
};

std::size_t free_count(const ModelCase& c) {
  std::size_t tied = 0;
  for (const auto* refs : {&c.centre_ref, &c.amplitude_ref, &c.sigma_ref}) {
    for (const std::int32_t r : *refs) tied += r >= 0;
  }
  return 3 * c.k + static_cast<std::size_t>(c.baseline + 1) - c.fixed.size() - tied;
}

// A batch of `c.rows` rows whose row i is hostile in the way i % 12 picks.
struct Batch {
  std::size_t rows, columns, width;
  std::vector<float> spectra, velocity, noise, initial, lower, upper, scale;
  std::vector<std::int32_t> windows;
  std::vector<std::uint8_t> fixed;
  ModelCase model;

  explicit Batch(const ModelCase& c)
      : rows(c.rows),
        columns(c.columns),
        width(3 * c.k + static_cast<std::size_t>(c.baseline + 1)),
        fixed(width, 0),
        model(c) {
    for (const std::size_t p : c.fixed) fixed[p] = 1;
    std::mt19937_64 rng(7 + c.k);
    std::normal_distribution<double> gauss(0.0, 1.0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double dv = 240.0 / static_cast<double>(columns);
    for (std::size_t j = 0; j < columns; ++j) {
      velocity.push_back(static_cast<float>(-120.0 + dv * static_cast<double>(j)));
    }
    for (std::size_t i = 0; i < rows; ++i) {
      const std::size_t kind = i % 12;
      std::vector<double> truth(width);
      for (std::size_t k = 0; k < c.k; ++k) {
        const double spread =
            c.k == 1 ? 0.0 : -60.0 + 120.0 * static_cast<double>(k) / static_cast<double>(c.k - 1);
        truth[3 * k] = 1.0 + 2.0 * unit(rng);
        truth[3 * k + 1] = spread + 4.0 * gauss(rng);
        truth[3 * k + 2] = 4.0 + 4.0 * unit(rng);
      }
      if (kind == 6) truth[1] = 100.0;  // the first line at the window's edge
      for (std::size_t b = 3 * c.k; b < width; ++b)
        truth[b] = 0.3 / std::pow(60.0, static_cast<double>(b - 3 * c.k));
      // Windows of different lengths side by side.
      std::int32_t lo = static_cast<std::int32_t>((i * 7) % 13);
      std::int32_t hi = static_cast<std::int32_t>(columns - (i * 5) % 17);
      if (kind == 7) hi = lo + static_cast<std::int32_t>(free_count(c)) - 1;  // one too few
      windows.insert(windows.end(), {lo, hi});
      const float row_scale = i % 3 == 0 ? 2.5f : 1.0f;
      scale.push_back(row_scale);
      for (std::size_t j = 0; j < columns; ++j) {
        const double v = velocity[j];
        const double vref =
            0.5 * (static_cast<double>(velocity[static_cast<std::size_t>(lo)]) +
                   static_cast<double>(
                       velocity[std::max<std::size_t>(static_cast<std::size_t>(hi), 1) - 1]));
        double y = 0.0;
        for (std::size_t k = 0; k < c.k; ++k) {
          const double z = (v - truth[3 * k + 1]) / truth[3 * k + 2];
          y += truth[3 * k] * std::exp(-0.5 * z * z);
        }
        double power = 1.0;
        for (std::size_t b = 3 * c.k; b < width; ++b, power *= v - vref) y += truth[b] * power;
        double n = 0.1;
        if (kind == 9) n = 0.0;   // noiseless: the fit can meet its data exactly
        if (kind == 10) y = 0.0;  // no line at all
        float value = static_cast<float>((y + n * gauss(rng)) * row_scale);
        float sigma = static_cast<float>((kind == 9 ? 0.05 : 0.1) * row_scale);
        if (kind == 1 && j % 9 == 4) value = kNaN;
        if (kind == 2 && j % 11 == 3) value = j % 2 == 0 ? kInf : -kInf;
        if (kind == 3) value = kNaN;  // an all-NaN window
        if (kind == 4 && j % 5 == 0) sigma = 0.0f;
        if (kind == 11 && j % 7 == 0) sigma = -1.0f;
        spectra.push_back(value);
        noise.push_back(sigma);
      }
      for (std::size_t p = 0; p < width; ++p) {
        float start, low, high;
        if (p < 3 * c.k) {
          const double t = truth[p];
          switch (p % 3) {
            case 0:
              start = static_cast<float>(0.8 * t), low = 0.0f;
              high = i % 2 == 0 ? static_cast<float>(10.0 * t) : kInf;
              break;
            case 1:
              start = static_cast<float>(t + 3.0), low = static_cast<float>(t - 25.0);
              high = static_cast<float>(t + 25.0);
              break;
            default:
              start = static_cast<float>(1.3 * t), low = 1.0f, high = 40.0f;
              break;
          }
        } else {
          start = 0.0f;
          low = i % 2 == 0 ? -5.0f : -kInf;
          high = i % 4 == 1 ? 5.0f : kInf;
        }
        if (kind == 5 && p == 0) start = high == kInf ? -3.0f : 2.0f * high;  // outside
        if (kind == 8 && p % 3 == 1 && p < 3 * c.k) start = low;              // on a bound
        initial.push_back(start);
        lower.push_back(low);
        upper.push_back(high);
      }
    }
  }

  LinesBatchArrays arrays() const {
    const auto r = static_cast<std::int64_t>(rows), cols = static_cast<std::int64_t>(columns);
    const auto w = static_cast<std::int64_t>(width), k = static_cast<std::int64_t>(model.k);
    const auto ints = [&](const std::vector<std::int32_t>& v) {
      return v.empty() ? std::nullopt
                       : std::optional(BasicArrayView<std::int32_t>{v.data(), 1, {k, 1}});
    };
    const auto floats = [&](const std::vector<float>& v) {
      return v.empty() ? std::nullopt : std::optional(ArrayView{v.data(), 1, {k, 1}});
    };
    return LinesBatchArrays{
        .spectra = {spectra.data(), 2, {r, cols}},
        .velocity = {velocity.data(), 1, {cols, 1}},
        .noise = {noise.data(), 2, {r, cols}},
        .windows = {windows.data(), 2, {r, 2}},
        .initial = {initial.data(), 2, {r, w}},
        .lower = {lower.data(), 2, {r, w}},
        .upper = {upper.data(), 2, {r, w}},
        .fixed = BasicArrayView<std::uint8_t>{fixed.data(), 1, {w, 1}},
        .centre_ref = ints(model.centre_ref),
        .centre_offset = floats(model.centre_offset),
        .amplitude_ref = ints(model.amplitude_ref),
        .amplitude_ratio = floats(model.amplitude_ratio),
        .sigma_ref = ints(model.sigma_ref),
        .scale = ArrayView{scale.data(), 1, {r, 1}},
    };
  }
};

std::vector<std::uint32_t> all_bits(const LinesBatchOutput& out) {
  std::vector<std::uint32_t> bits;
  const auto add = [&](const std::unique_ptr<float[]>& buffer, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) bits.push_back(std::bit_cast<std::uint32_t>(buffer[i]));
  };
  add(out.params, out.rows * out.width);
  add(out.errors, out.rows * out.width);
  add(out.stats, out.rows * kLineStatsWidth);
  return bits;
}

class LineRowLanes : public ::testing::TestWithParam<std::tuple<ModelCase, RowPath>> {};

TEST_P(LineRowLanes, EveryPoolGivesTheScalarBits) {
  const RowPath path = std::get<1>(GetParam());
  if (!row_path_runs_here(path)) GTEST_SKIP() << "this processor lacks the path";
  const Batch batch(std::get<0>(GetParam()));
  const auto checked = check_lines_batch(batch.arrays(), static_cast<std::int64_t>(batch.model.k),
                                         batch.model.baseline, {1e-8f, 1e-8f, 1e-8f, 200});
  ASSERT_TRUE(checked.has_value()) << checked.error().message;
  // The batch's own limit, one and two iterations, and none (one Jacobian
  // only, which the batch's checks keep from its callers).
  for (const std::int64_t max_iter : {200, 1, 2, 0}) {
    LinesBatchInput input = *checked;
    input.tolerances.max_iter = max_iter;
    WorkerPool one(1);
    LinesBatchOutput reference = allocate_lines_output(input.rows, batch.width);
    fit_lines_rows(input, reference, one, RowPath::Scalar);
    // The batch reaches the outcomes it is meant to: most rows converge
    // with the batch's limit, some stop at a tight one, and the empty and
    // short windows are flagged.
    std::set<float> flags;
    std::size_t converged = 0;
    for (std::size_t i = 0; i < input.rows; ++i) {
      flags.insert(reference.stats[kLineStatsWidth * i + 4]);
      converged += reference.stats[kLineStatsWidth * i + 4] == 0.0f;
    }
    EXPECT_TRUE(flags.contains(3.0f));
    if (max_iter == 200) {
      EXPECT_GT(2 * converged, input.rows);
    }
    if (max_iter <= 1) {
      EXPECT_TRUE(flags.contains(2.0f));
    }
    const std::vector<std::uint32_t> expected = all_bits(reference);
    for (const std::size_t threads : {1, 3}) {
      WorkerPool pool(threads);
      LinesBatchOutput out = allocate_lines_output(input.rows, batch.width);
      fit_lines_rows(input, out, pool, path);
      const std::vector<std::uint32_t> got = all_bits(out);
      ASSERT_EQ(got.size(), expected.size());
      for (std::size_t n = 0; n < got.size(); ++n) {
        ASSERT_EQ(got[n], expected[n])
            << "max_iter " << max_iter << ", threads " << threads << ", entry " << n;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Models, LineRowLanes,
    ::testing::Combine(
        ::testing::Values(
            ModelCase{.name = "OneGaussian", .k = 1},
            ModelCase{.name = "GaussianOnAConstant", .k = 1, .baseline = 0},
            ModelCase{.name = "GaussianFixedSigmaOnAParabola", .k = 1, .baseline = 2, .fixed = {2}},
            ModelCase{.name = "TwoOnASlope", .k = 2, .baseline = 1},
            ModelCase{.name = "TwoSharingSigma", .k = 2, .baseline = 0, .sigma_ref = {-1, 0}},
            ModelCase{.name = "TiedTripletOnASlope",
                      .k = 3,
                      .baseline = 1,
                      .centre_ref = {1, -1, 1},
                      .amplitude_ref = {2, -1, -1},
                      .sigma_ref = {1, -1, 1},
                      .centre_offset = {-45.0f, 0.0f, 60.0f},
                      .amplitude_ratio = {1.0f / 3.0f, 1.0f, 1.0f}},
            ModelCase{.name = "ThreeOnAParabola", .k = 3, .baseline = 2},
            ModelCase{.name = "FourWithFixedCentres", .k = 4, .baseline = 2, .fixed = {1, 7, 13}},
            // 15 free parameters: more than the lanes take, so the scalar way.
            ModelCase{.name = "FiveFree", .k = 5, .baseline = -1, .columns = 160},
            ModelCase{.name = "SixSharingSigmaFixedCentres",
                      .k = 6,
                      .baseline = 0,
                      .fixed = {1, 4, 7, 10, 13, 16},
                      .sigma_ref = {-1, 0, 0, 0, 0, 0},
                      .columns = 160}),
        ::testing::Values(RowPath::Avx2, RowPath::Avx512)),
    [](const auto& test) {
      return std::get<0>(test.param).name +
             (std::get<1>(test.param) == RowPath::Avx2 ? "Avx2" : "Avx512");
    });

// The very bits of a tied model's batch, on every path this processor runs:
// a digest of every output of every row, and the chi-square of the first
// rows as they stand. The paths against each other cannot see a fault in a
// step they share (the ties, the factorisation, the damped solves, the
// Levenberg-Marquardt parameter, the acceptance); this can.
std::uint64_t digest(const std::vector<std::uint32_t>& bits) {
  std::uint64_t h = 0xcbf29ce484222325ull;  // FNV-1a
  for (const std::uint32_t b : bits) {
    for (int byte = 0; byte < 4; ++byte) {
      h ^= (b >> (8 * byte)) & 0xffu;
      h *= 0x100000001b3ull;
    }
  }
  return h;
}

TEST(LineRowsPinned, ATiedTripletKeepsItsBitsOnEveryPath) {
  const ModelCase c{.name = "TiedTripletOnASlope",
                    .k = 3,
                    .baseline = 1,
                    .centre_ref = {1, -1, 1},
                    .amplitude_ref = {2, -1, -1},
                    .sigma_ref = {1, -1, 1},
                    .centre_offset = {-45.0f, 0.0f, 60.0f},
                    .amplitude_ratio = {1.0f / 3.0f, 1.0f, 1.0f}};
  const Batch batch(c);
  const auto input = check_lines_batch(batch.arrays(), 3, 1, {1e-8f, 1e-8f, 1e-8f, 200});
  ASSERT_TRUE(input.has_value()) << input.error().message;
  constexpr std::uint64_t kDigest = 0x588ce10b6199173e;
  constexpr std::array<std::uint32_t, 3> kChi2 = {0x450fd620, 0x449c8912, 0x44e3dd99};
  WorkerPool pool(1);
  for (const RowPath path : {RowPath::Scalar, RowPath::Avx2, RowPath::Avx512}) {
    if (!row_path_runs_here(path)) continue;
    LinesBatchOutput out = allocate_lines_output(input->rows, batch.width);
    fit_lines_rows(*input, out, pool, path);
    EXPECT_EQ(digest(all_bits(out)), kDigest) << "path " << static_cast<int>(path);
    for (std::size_t i = 0; i < kChi2.size(); ++i) {
      EXPECT_EQ(std::bit_cast<std::uint32_t>(out.stats[kLineStatsWidth * i]), kChi2[i])
          << "path " << static_cast<int>(path) << ", row " << i;
    }
  }
}

// Windows longer than the lanes hold go the scalar way beside the others.
TEST(LineRowLanesLongWindows, GoTheScalarWayBesideShortOnes) {
  ModelCase c{.name = "long", .k = 1, .baseline = 0, .columns = kMaxLaneSamples + 40, .rows = 9};
  Batch batch(c);
  for (std::size_t i = 0; i < batch.rows; ++i) {
    batch.windows[2 * i] = i % 2 == 0 ? 0 : static_cast<std::int32_t>(kMaxLaneSamples / 2);
    batch.windows[2 * i + 1] = static_cast<std::int32_t>(batch.columns - i);
  }
  const auto input = check_lines_batch(batch.arrays(), 1, 0, {1e-8f, 1e-8f, 1e-8f, 200});
  ASSERT_TRUE(input.has_value()) << input.error().message;
  ASSERT_GT(input->longest_window, kMaxLaneSamples);
  WorkerPool pool(2);
  LinesBatchOutput reference = allocate_lines_output(input->rows, batch.width);
  fit_lines_rows(*input, reference, pool, RowPath::Scalar);
  for (const RowPath path : {RowPath::Avx2, RowPath::Avx512}) {
    if (!row_path_runs_here(path)) continue;
    LinesBatchOutput out = allocate_lines_output(input->rows, batch.width);
    fit_lines_rows(*input, out, pool, path);
    EXPECT_EQ(all_bits(out), all_bits(reference)) << static_cast<int>(path);
  }
}

}  // namespace
}  // namespace quillet
