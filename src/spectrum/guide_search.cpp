#include "spectrum/guide_search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>

namespace quillet {
namespace {

constexpr double kMinusInf = -std::numeric_limits<double>::infinity();

// The index of the largest of n values, as an array argmax finds it: the
// first NaN if there is one, else the first of equal maxima (0 for n = 0).
template <class Value>
std::size_t first_argmax(std::size_t n, Value&& value_at) {
  if (n == 0) return 0;
  double best = value_at(0);
  std::size_t index = 0;
  if (std::isnan(best)) return 0;
  for (std::size_t j = 1; j < n; ++j) {
    const double v = value_at(j);
    if (std::isnan(v)) return j;
    if (v > best) {
      best = v;
      index = j;
    }
  }
  return index;
}

}  // namespace

std::size_t guide_scratch_size(std::size_t channels) { return 4 * channels; }

template <class T>
float guide_of_row(std::span<const float> row, const T* sigma, std::size_t pixel_stride,
                   const GuideSearch& search, std::span<double> scratch) {
  const std::size_t m = row.size();
  if (search.axis.size() != m || search.inside.size() != m || scratch.size() < 4 * m) {
    throw std::logic_error("guide search buffers do not match the row");
  }
  double* const value = scratch.data();  // the pixel where usable, else 0
  double* const weight = value + m;      // 1 / sigma^2 where usable and inside, else 0
  double* const sum_vw = weight + m;     // running sums of value * weight
  double* const sum_w = sum_vw + m;      // and of weight
  bool has_data = false;
  double running_vw = 0.0;
  double running_w = 0.0;
  // One sigma for the whole row is one weight for the whole row.
  const auto weight_of = [](double s) { return std::isfinite(s) && s > 0.0 ? 1.0 / (s * s) : 0.0; };
  const double row_weight = pixel_stride == 0 && m > 0 ? weight_of(sigma[0]) : 0.0;
  for (std::size_t j = 0; j < m; ++j) {
    const double x = static_cast<double>(row[j]);
    const double pixel_weight =
        pixel_stride == 0 ? row_weight : weight_of(static_cast<double>(sigma[j * pixel_stride]));
    const double w = std::isfinite(x) ? pixel_weight : 0.0;
    value[j] = w > 0.0 ? x : 0.0;
    // A pixel outside is weighed by 0.0 rather than dropped: an infinite
    // weight there turns NaN and spoils the running sums, as it always has.
    weight[j] = w * (search.inside[j] != 0 ? 1.0 : 0.0);
    has_data = has_data || weight[j] > 0.0;
    // The running sums stay in registers: the first term as it is, each
    // later one added to the sum before it.
    const double vw = value[j] * weight[j];
    running_vw = j == 0 ? vw : running_vw + vw;
    running_w = j == 0 ? weight[j] : running_w + weight[j];
    sum_vw[j] = running_vw;
    sum_w[j] = running_w;
  }
  if (!has_data) return std::numeric_limits<float>::quiet_NaN();

  const std::size_t h = search.half;
  // The sum over channels [j - h, j + h] is the running sum at its last
  // channel (the row's last, past the end) less the one before its first
  // (0.0, before the start).
  auto window_sum = [&](const double* running, std::size_t j) {
    const double upper = running[std::min(j + h, m - 1)];
    return upper - (j >= h + 1 ? running[j - h - 1] : 0.0);
  };
  const std::size_t peak = first_argmax(m, [&](std::size_t j) {
    return weight[j] > 0.0 ? window_sum(sum_vw, j) / window_sum(sum_w, j) : kMinusInf;
  });
  double guide = search.axis[peak];

  if (!std::isnan(search.snap_radius)) {
    bool any = false;
    const std::size_t brightest = first_argmax(m, [&](std::size_t j) {
      const bool near = std::fabs(search.axis[j] - guide) <= search.snap_radius;
      const bool usable = near && weight[j] > 0.0;
      any = any || usable;
      return usable ? value[j] : kMinusInf;
    });
    if (any) guide = search.axis[brightest];
  }
  return static_cast<float>(guide);
}

template <class T>
void guide_rows(std::span<const float> spectra, std::size_t columns, GuideNoise<T> noise,
                const GuideSearch& search, std::span<float> guides, WorkerPool& pool) {
  if (spectra.size() != guides.size() * columns) {
    throw std::logic_error("guide buffers do not match the rows");
  }
  const std::size_t scratch_size = guide_scratch_size(columns);
  pool.for_each_participant(guides.size(), [&](WorkerPool::Claims& claims) {
    const auto scratch = std::make_unique_for_overwrite<double[]>(scratch_size);
    const std::span<double> work(scratch.get(), scratch_size);
    while (const std::optional<std::size_t> i = claims.next()) {
      guides[*i] =
          guide_of_row(spectra.subspan(*i * columns, columns), noise.sigma + *i * noise.row_stride,
                       noise.pixel_stride, search, work);
    }
  });
}

template float guide_of_row<float>(std::span<const float>, const float*, std::size_t,
                                   const GuideSearch&, std::span<double>);
template float guide_of_row<double>(std::span<const float>, const double*, std::size_t,
                                    const GuideSearch&, std::span<double>);
template void guide_rows<float>(std::span<const float>, std::size_t, GuideNoise<float>,
                                const GuideSearch&, std::span<float>, WorkerPool&);
template void guide_rows<double>(std::span<const float>, std::size_t, GuideNoise<double>,
                                 const GuideSearch&, std::span<float>, WorkerPool&);

}  // namespace quillet
