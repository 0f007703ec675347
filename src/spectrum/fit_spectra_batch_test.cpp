#include "spectrum/fit_spectra_batch.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "gaussian/fit_result.hpp"
#include "spectrum/fit_spectrum_window.hpp"
#include "testing/example_spectrum_params.hpp"

namespace quillet {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

constexpr const char* kPixels = "n_pixels must be positive";
constexpr const char* kTolPositive = "xtol, ftol, gtol, and max_iter must be positive";
constexpr const char* kColumns = "spectra columns must be at least sg_xpixels";
constexpr const char* kNoiseShape = "spec_noise shape must match spectra shape";
constexpr const char* kGuides = "guide_velocities length must match spectra rows";
constexpr const char* kAxisLength = "dopp_slit must be at least sg_xpixels long";
constexpr const char* kSpectraLayout = "spectra must be a C-contiguous float32 array";
constexpr const char* kAxisLayout = "dopp_slit must be a contiguous float32 array";
constexpr const char* kNoiseLayout = "spec_noise must be a C-contiguous float32 array";
constexpr const char* kGuidesLayout = "guide_velocities must be a contiguous float32 array";

// Four views of a batch of 4 rows by 120 columns over storage large enough
// for every shape the cases give them; 100 pixels are used (the example
// settings), and the axis holds 110.
struct BatchViews {
  std::vector<float> storage = std::vector<float>(4096, 1.0f);
  ArrayView spectra{storage.data(), 2, {4, 120}};
  ArrayView dopp_slit{storage.data(), 1, {110, 1}};
  ArrayView spec_noise{storage.data(), 2, {4, 120}};
  ArrayView guides{storage.data(), 1, {4, 1}};
  SpectrumFitParams params = example_spectrum_params();
};

struct CheckCase {
  const char* name;
  void (*spoil)(BatchViews&);
  const char* expected;  // nullptr: the batch passes
};

class CheckBatch : public testing::TestWithParam<CheckCase> {};

TEST_P(CheckBatch, ReportsTheFirstFailedCheck) {
  BatchViews views;
  GetParam().spoil(views);
  const auto checked =
      check_batch(views.spectra, views.dopp_slit, views.spec_noise, views.guides, views.params);
  if (GetParam().expected == nullptr) {
    EXPECT_TRUE(checked.has_value()) << checked.error().message;
  } else {
    ASSERT_FALSE(checked.has_value());
    EXPECT_EQ(std::string(checked.error().message), GetParam().expected);
  }
}

using V = BatchViews;

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckBatch,
    testing::Values(
        CheckCase{"Valid", [](V&) {}, nullptr},
        CheckCase{"ColumnsEqualPixels",
                  [](V& v) { v.spectra.shape[1] = v.spec_noise.shape[1] = 100; }, nullptr},
        CheckCase{"PixelsZeroWithEveryArrayEmpty",
                  [](V& v) {
                    v.params.sg_xpixels = 0;
                    v.spectra.shape = v.spec_noise.shape = {0, 0};
                    v.dopp_slit.shape[0] = v.guides.shape[0] = 0;
                  },
                  kPixels},
        CheckCase{"ToleranceBeforeNoiseShape",
                  [](V& v) {
                    v.params.tolerances.xtol = 0.0f;
                    v.spec_noise.shape[0] = 3;
                  },
                  kTolPositive},
        CheckCase{"TooFewColumns", [](V& v) { v.spectra.shape[1] = v.spec_noise.shape[1] = 99; },
                  kColumns},
        CheckCase{"TooFewColumnsBeforeNoiseShape", [](V& v) { v.spectra.shape[1] = 99; }, kColumns},
        CheckCase{"NoiseRowsDiffer", [](V& v) { v.spec_noise.shape[0] = 5; }, kNoiseShape},
        CheckCase{"NoiseColumnsDiffer", [](V& v) { v.spec_noise.shape[1] = 121; }, kNoiseShape},
        CheckCase{"NoiseTransposed",
                  [](V& v) {
                    v.spec_noise.shape = {120, 4};
                  },
                  kNoiseShape},
        CheckCase{"NoiseShapeBeforeGuides",
                  [](V& v) {
                    v.spec_noise.shape[1] = 119;
                    v.guides.shape[0] = 3;
                  },
                  kNoiseShape},
        CheckCase{"GuidesOneTooMany", [](V& v) { v.guides.shape[0] = 5; }, kGuides},
        CheckCase{"GuidesBeforeAxisLength",
                  [](V& v) {
                    v.guides.shape[0] = 3;
                    v.dopp_slit.shape[0] = 99;
                  },
                  kGuides},
        CheckCase{"AxisTooShort", [](V& v) { v.dopp_slit.shape[0] = 99; }, kAxisLength},
        CheckCase{"AxisLengthBeforeLayout",
                  [](V& v) {
                    v.dopp_slit.shape[0] = 99;
                    v.spectra.c_contiguous = false;
                  },
                  kAxisLength},
        CheckCase{"SpectraNotContiguous", [](V& v) { v.spectra.c_contiguous = false; },
                  kSpectraLayout},
        CheckCase{"SpectraLayoutBeforeAxisLayout",
                  [](V& v) {
                    v.spectra.c_contiguous = false;
                    v.dopp_slit.aligned = false;
                  },
                  kSpectraLayout},
        CheckCase{"AxisNotAligned", [](V& v) { v.dopp_slit.aligned = false; }, kAxisLayout},
        CheckCase{"AxisLayoutBeforeNoiseLayout",
                  [](V& v) {
                    v.dopp_slit.c_contiguous = false;
                    v.spec_noise.c_contiguous = false;
                  },
                  kAxisLayout},
        CheckCase{"NoiseNotContiguous", [](V& v) { v.spec_noise.c_contiguous = false; },
                  kNoiseLayout},
        CheckCase{"NoiseLayoutBeforeGuidesLayout",
                  [](V& v) {
                    v.spec_noise.aligned = false;
                    v.guides.c_contiguous = false;
                  },
                  kNoiseLayout},
        CheckCase{"GuidesNotAligned", [](V& v) { v.guides.aligned = false; }, kGuidesLayout},
        CheckCase{"EmptyArraysPassWhateverTheirFlags",
                  [](V& v) {
                    v.spectra.shape[0] = v.spec_noise.shape[0] = 0;
                    v.guides.shape[0] = 0;
                    v.spectra.c_contiguous = v.spec_noise.aligned = v.guides.aligned = false;
                    v.spectra.data = nullptr;
                  },
                  nullptr},
        CheckCase{"EmptyBatchStillNeedsColumns",
                  [](V& v) {
                    v.spectra.shape = v.spec_noise.shape = {0, 99};
                    v.guides.shape[0] = 0;
                  },
                  kColumns},
        CheckCase{"EmptyBatchStillNeedsAxis",
                  [](V& v) {
                    v.spectra.shape[0] = v.spec_noise.shape[0] = 0;
                    v.guides.shape[0] = 0;
                    v.dopp_slit.shape[0] = 0;
                  },
                  kAxisLength}),
    [](const testing::TestParamInfo<CheckCase>& param_info) {
      return std::string(param_info.param.name);
    });

TEST(CheckBatch, HandsOverFlatViewsWithTheAxisCutToThePixelsUsed) {
  BatchViews views;
  const auto checked =
      check_batch(views.spectra, views.dopp_slit, views.spec_noise, views.guides, views.params);
  ASSERT_TRUE(checked.has_value());
  EXPECT_EQ(checked->rows, 4u);
  EXPECT_EQ(checked->columns, 120u);
  EXPECT_EQ(checked->spectra.size(), 480u);
  EXPECT_EQ(checked->spec_noise.size(), 480u);
  EXPECT_EQ(checked->guides.size(), 4u);
  EXPECT_EQ(checked->dopp_slit.data(), views.storage.data());
  EXPECT_EQ(checked->dopp_slit.size(), 100u);
}

TEST(AllocateBatchOutput, FillsFitsWithTheResultNaNAndWindowsWithZero) {
  const BatchOutput output = allocate_batch_output(3);
  ASSERT_EQ(output.rows, 3u);
  for (std::size_t k = 0; k < 3 * 8; ++k) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(output.fits[k]), 0x7fc00000u) << k;
  }
  for (std::size_t k = 0; k < 3 * 2; ++k) EXPECT_EQ(output.windows[k], 0) << k;
  EXPECT_EQ(allocate_batch_output(0).rows, 0u);
}

TEST(AllocateBatchOutput, RefusesARowCountWhoseFloatCountWraps) {
  EXPECT_THROW(allocate_batch_output(std::numeric_limits<std::size_t>::max() / 8 + 1),
               std::bad_alloc);
}

// Rows of Gaussian lines at different centres on a 10 km/s axis, 100 pixels
// used out of 130 columns; the unused columns and the axis beyond pixel 100
// hold NaN, which would spoil any row that read them. Some rows are made to
// fail: a NaN guide, or a spectrum with no positive pixel.
struct LineBatch {
  static constexpr std::size_t kRows = 64;
  static constexpr std::size_t kColumns = 130;
  std::vector<float> spectra = std::vector<float>(kRows * kColumns, kNaN);
  std::vector<float> noise = std::vector<float>(kRows * kColumns, kNaN);
  std::vector<float> axis = std::vector<float>(kColumns, kNaN);
  std::vector<float> guides = std::vector<float>(kRows);
  SpectrumFitParams params = example_spectrum_params();

  LineBatch() {
    for (std::size_t k = 0; k < 100; ++k) axis[k] = -500.0f + 10.0f * static_cast<float>(k);
    for (std::size_t r = 0; r < kRows; ++r) {
      const double centre = -300.0 + 9.3 * static_cast<double>(r);
      for (std::size_t k = 0; k < 100; ++k) {
        const double z = (axis[k] - centre) / 25.0;
        const double wobble = 0.3 * std::sin(1.7 * static_cast<double>(k + r));
        const double value = 50.0 * std::exp(-0.5 * z * z) + wobble;
        spectra[r * kColumns + k] = static_cast<float>(r % 9 == 7 ? -1.0 - wobble * wobble : value);
        noise[r * kColumns + k] = 1.0f;
      }
      guides[r] = r % 9 == 4 ? kNaN : static_cast<float>(centre + 4.0);
    }
  }

  BatchInput input() const {
    const ArrayView spectra_view{spectra.data(), 2, {kRows, kColumns}};
    const ArrayView noise_view{noise.data(), 2, {kRows, kColumns}};
    const ArrayView axis_view{axis.data(), 1, {kColumns, 1}};
    const ArrayView guides_view{guides.data(), 1, {kRows, 1}};
    return check_batch(spectra_view, axis_view, noise_view, guides_view, params).value();
  }
};

TEST(FitBatchRows, RowIIsTheWindowFitOfRowIBitForBit) {
  const LineBatch batch;
  const BatchInput input = batch.input();
  BatchOutput output = allocate_batch_output(input.rows);
  fit_batch_rows(input, output);

  std::size_t successes = 0;
  for (std::size_t r = 0; r < LineBatch::kRows; ++r) {
    const std::span<const float> spectrum(batch.spectra.data() + r * LineBatch::kColumns, 100);
    const std::span<const float> noise(batch.noise.data() + r * LineBatch::kColumns, 100);
    const SpectrumFitOutcome alone =
        fit_spectrum_window(spectrum, std::span<const float>(batch.axis).first(100), noise,
                            batch.guides[r], batch.params);
    for (std::size_t v = 0; v < 8; ++v) {
      EXPECT_EQ(std::bit_cast<std::uint32_t>(output.fits[8 * r + v]),
                std::bit_cast<std::uint32_t>(alone.result.values[v]))
          << "row " << r << " value " << v;
    }
    EXPECT_EQ(output.windows[2 * r], alone.window.i_left) << "row " << r;
    EXPECT_EQ(output.windows[2 * r + 1], alone.window.i_right) << "row " << r;

    const float expected_flag = r % 9 == 4 || r % 9 == 7 ? kFlagNoLocalMax : kFlagSuccess;
    EXPECT_EQ(output.fits[8 * r + 7], expected_flag) << "row " << r;
    if (output.fits[8 * r + 7] == kFlagSuccess) ++successes;
  }
  EXPECT_EQ(successes, LineBatch::kRows - 14);
}

TEST(FitBatchRows, RefusesOutputBuffersOfAnotherRowCount) {
  const LineBatch batch;
  const BatchInput input = batch.input();
  BatchOutput output = allocate_batch_output(input.rows - 1);
  EXPECT_THROW(fit_batch_rows(input, output), std::logic_error);
}

}  // namespace
}  // namespace quillet
