#include "spectrum/fit_lines_batch.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>

#include "gaussian/check_tolerances.hpp"
#include "gaussian/fit_result.hpp"
#include "gaussian/reduced_chi2.hpp"
#include "lines/fit_line_model.hpp"
#include "spectrum/lane_path.hpp"
#include "spectrum/window_samples.hpp"
#include "spectrum/worker_pool.hpp"

namespace quillet {
namespace {

using lines::Attribute;
using lines::LineModel;

template <class T>
bool has_shape(const BasicArrayView<T>& view, std::int64_t rows, std::int64_t columns) {
  return view.shape[0] == rows && view.shape[1] == columns;
}

template <class T>
bool holds(const std::optional<BasicArrayView<T>>& view, std::int64_t count) {
  return !view || view->element_count() == count;
}

// The flat sequence of an array that passes the contiguity test, into `out`;
// false when it fails.
template <class T>
bool flatten(const BasicArrayView<T>& view, std::span<const T>& out) {
  const std::optional<std::span<const T>> flat = view.flat();
  if (flat) out = *flat;
  return flat.has_value();
}

template <class T>
bool flatten(const std::optional<BasicArrayView<T>>& view, std::span<const T>& out) {
  return !view || flatten(*view, out);
}

// The per-row checks: windows within the row, starts finite, bounds not NaN
// and increasing for free parameters, sigmas positive, scales positive.
std::optional<DomainError> check_rows(const LinesBatchInput& in) {
  const lines::LineLayout layout(in.model);
  const std::size_t width = in.model.param_count();
  for (std::size_t i = 0; i < in.rows; ++i) {
    const std::int32_t lo = in.windows[2 * i];
    const std::int32_t hi = in.windows[2 * i + 1];
    if (lo < 0 || lo > hi || static_cast<std::size_t>(hi) > in.columns) {
      return DomainError{"windows must hold 0 <= lo <= hi <= spectra columns in every row"};
    }
    if (!in.scale.empty() && !(std::isfinite(in.scale[i]) && in.scale[i] > 0.0f)) {
      return DomainError{"scale values must be finite and positive"};
    }
    for (std::size_t p = 0; p < width; ++p) {
      if (layout.tied(p)) continue;
      const float initial = in.initial[i * width + p];
      const float lower = in.lower[i * width + p];
      const float upper = in.upper[i * width + p];
      const bool sigma = p < 3 * in.model.components && p % 3 == 2;
      if (!std::isfinite(initial)) {
        return DomainError{"initial values of untied parameters must be finite"};
      }
      if (in.model.fixed[p]) {
        if (sigma && !(initial > 0.0f)) return DomainError{"a fixed sigma must be positive"};
        continue;
      }
      if (std::isnan(lower) || std::isnan(upper)) {
        return DomainError{"bounds must not be NaN (use -inf or inf for no bound)"};
      }
      if (!(lower < upper)) {
        return DomainError{
            "lower must be below upper for every free parameter (fix a parameter with fixed=)"};
      }
      if (sigma && !(std::isfinite(lower) && lower > 0.0f)) {
        return DomainError{"the lower bound of a free sigma must be finite and positive"};
      }
    }
  }
  return std::nullopt;
}

}  // namespace

std::expected<LinesBatchInput, DomainError> check_lines_batch(const LinesBatchArrays& a,
                                                              std::int64_t ncomponents,
                                                              std::int64_t baseline,
                                                              const FitTolerances& tolerances) {
  if (ncomponents < 1 || ncomponents > static_cast<std::int64_t>(lines::kMaxComponents)) {
    return std::unexpected(DomainError{"ncomponents must be between 1 and 8"});
  }
  if (baseline < -1 || baseline > lines::kMaxBaselineOrder) {
    return std::unexpected(DomainError{"baseline must be -1 (none), 0, 1 or 2"});
  }
  if (const std::optional<DomainError> error = check_tolerances(tolerances)) {
    return std::unexpected(*error);
  }
  LinesBatchInput in;
  in.model.components = static_cast<std::size_t>(ncomponents);
  in.model.baseline = static_cast<int>(baseline);
  in.tolerances = tolerances;
  const std::int64_t rows = a.spectra.shape[0];
  const std::int64_t columns = a.spectra.shape[1];
  const auto width = static_cast<std::int64_t>(in.model.param_count());

  if (a.velocity.element_count() != columns) {
    return std::unexpected(DomainError{"velocity length must match spectra columns"});
  }
  if (!has_shape(a.noise, rows, columns)) {
    return std::unexpected(DomainError{"noise shape must match spectra shape"});
  }
  if (!has_shape(a.windows, rows, 2)) {
    return std::unexpected(DomainError{"windows must have shape (spectra rows, 2)"});
  }
  if (!has_shape(a.initial, rows, width) || !has_shape(a.lower, rows, width) ||
      !has_shape(a.upper, rows, width)) {
    return std::unexpected(DomainError{
        "initial, lower and upper must have shape (spectra rows, P), P = 3 ncomponents + "
        "baseline + 1"});
  }
  if (!holds(a.fixed, width)) {
    return std::unexpected(DomainError{"fixed must hold one flag per parameter (P of them)"});
  }
  if (!holds(a.centre_ref, ncomponents) || !holds(a.centre_offset, ncomponents) ||
      !holds(a.amplitude_ref, ncomponents) || !holds(a.amplitude_ratio, ncomponents) ||
      !holds(a.sigma_ref, ncomponents)) {
    return std::unexpected(DomainError{
        "centre_ref, centre_offset, amplitude_ref, amplitude_ratio and sigma_ref must hold one "
        "value per component"});
  }
  if (!holds(a.scale, rows)) {
    return std::unexpected(DomainError{"scale length must match spectra rows"});
  }

  std::span<const std::uint8_t> fixed;
  std::span<const std::int32_t> centre_ref, amplitude_ref, sigma_ref;
  std::span<const float> centre_offset, amplitude_ratio;
  if (!flatten(a.spectra, in.spectra) || !flatten(a.velocity, in.velocity) ||
      !flatten(a.noise, in.noise) || !flatten(a.windows, in.windows) ||
      !flatten(a.initial, in.initial) || !flatten(a.lower, in.lower) ||
      !flatten(a.upper, in.upper) || !flatten(a.fixed, fixed) ||
      !flatten(a.centre_ref, centre_ref) || !flatten(a.centre_offset, centre_offset) ||
      !flatten(a.amplitude_ref, amplitude_ref) || !flatten(a.amplitude_ratio, amplitude_ratio) ||
      !flatten(a.sigma_ref, sigma_ref) || !flatten(a.scale, in.scale)) {
    return std::unexpected(
        DomainError{"every array must be C-contiguous (numpy.ascontiguousarray)"});
  }
  in.rows = static_cast<std::size_t>(rows);
  in.columns = static_cast<std::size_t>(columns);

  for (std::size_t p = 0; p < fixed.size(); ++p) in.model.fixed[p] = fixed[p] != 0;
  for (std::size_t k = 0; k < in.model.components; ++k) {
    lines::ComponentTies& tie = in.model.ties[k];
    if (!centre_ref.empty()) tie.centre_ref = centre_ref[k];
    if (!centre_offset.empty()) tie.centre_offset = centre_offset[k];
    if (!amplitude_ref.empty()) tie.amplitude_ref = amplitude_ref[k];
    if (!amplitude_ratio.empty()) tie.amplitude_ratio = amplitude_ratio[k];
    if (!sigma_ref.empty()) tie.sigma_ref = sigma_ref[k];
  }
  if (const std::optional<DomainError> error = lines::check_line_model(in.model)) {
    return std::unexpected(*error);
  }
  if (const std::optional<DomainError> error = check_rows(in)) return std::unexpected(*error);
  for (std::size_t i = 0; i < in.rows; ++i) {
    in.longest_window = std::max(
        in.longest_window, static_cast<std::size_t>(in.windows[2 * i + 1] - in.windows[2 * i]));
  }
  return in;
}

LinesBatchOutput allocate_lines_output(std::size_t rows, std::size_t width) {
  // rows * width floats must be countable before they can be allocated.
  if (width != 0 && rows > std::numeric_limits<std::size_t>::max() / (width + kLineStatsWidth)) {
    throw std::bad_array_new_length();
  }
  LinesBatchOutput out{
      .params = std::make_unique_for_overwrite<float[]>(rows * width),
      .errors = std::make_unique_for_overwrite<float[]>(rows * width),
      .stats = std::make_unique_for_overwrite<float[]>(rows * kLineStatsWidth),
      .rows = rows,
      .width = width,
  };
  std::fill_n(out.params.get(), rows * width, kResultNaN);
  std::fill_n(out.errors.get(), rows * width, kResultNaN);
  std::fill_n(out.stats.get(), rows * kLineStatsWidth, kResultNaN);
  return out;
}

LineRow collect_line_row(const LinesBatchInput& in, std::size_t i, SampleBuffers& samples) {
  const std::size_t width = in.model.param_count();
  const auto lo = static_cast<std::size_t>(in.windows[2 * i]);
  LineRow row;
  row.window = static_cast<std::size_t>(in.windows[2 * i + 1]) - lo;
  row.scale = in.scale.empty() ? 1.0f : in.scale[i];
  row.start = {in.initial.subspan(i * width, width), in.lower.subspan(i * width, width),
               in.upper.subspan(i * width, width)};
  const std::size_t offset = i * in.columns + lo;
  samples.make_room(row.window);
  samples.collect(in.velocity.data() + lo, in.spectra.data() + offset, in.noise.data() + offset,
                  row.window, row.scale);
  return row;
}

// Row i's outcome into its rows of the three buffers: amplitudes, baseline
// coefficients and their errors carried back by the row's scale.
void write_line_row(const LinesBatchInput& in, LinesBatchOutput& out, std::size_t i, float scale,
                    const lines::LineFit& fit) {
  float* const stats = out.stats.get() + i * kLineStatsWidth;
  stats[2] = static_cast<float>(fit.samples);
  stats[3] = static_cast<float>(fit.nfree);
  stats[4] = static_cast<float>(fit.flag);
  if (fit.flag != lines::LineFlag::Success) return;
  const float chi2 = static_cast<float>(fit.chi2);
  stats[0] = chi2;
  stats[1] = reduced_chi2(chi2, fit.samples, fit.nfree);
  const std::size_t width = out.width;
  const std::size_t lines_end = 3 * in.model.components;
  for (std::size_t p = 0; p < width; ++p) {
    const bool scaled = p >= lines_end || p % 3 == 0;
    const auto value = static_cast<float>(fit.params[p]);
    const auto error = static_cast<float>(fit.errors[p]);
    out.params[i * width + p] = scaled ? value * scale : value;
    out.errors[i * width + p] = scaled ? scale * error : error;
  }
}

void fit_lines_rows(const LinesBatchInput& in, LinesBatchOutput& out) {
  fit_lines_rows(in, out, process_pool());
}

void fit_lines_rows(const LinesBatchInput& in, LinesBatchOutput& out, WorkerPool& pool) {
  fit_lines_rows(in, out, pool, process_row_path());
}

void fit_lines_rows(const LinesBatchInput& in, LinesBatchOutput& out, WorkerPool& pool,
                    RowPath path) {
  if (out.rows != in.rows || out.width != in.model.param_count()) {
    throw std::logic_error("line batch output buffers do not match the batch");
  }
  const lines::LineLayout layout(in.model);
  const bool lanes = path != RowPath::Scalar && row_path_runs_here(path) && in.rows > 1 &&
                     layout.free_count() <= kMaxLineLaneParams;
  pool.for_each_participant(in.rows, [&](WorkerPool::Claims& claims) {
    if (lanes) return fit_line_rows_in_lanes(path, in, out, claims);
    // Each participant's storage, sized once for the batch's longest window.
    SampleBuffers samples;
    samples.make_room(in.longest_window);
    lines::LineFitter fitter(layout, in.tolerances, in.longest_window);
    while (const std::optional<std::size_t> next = claims.next()) {
      const std::size_t i = *next;
      const LineRow row = collect_line_row(in, i, samples);
      write_line_row(in, out, i, row.scale,
                     fitter.fit(samples.x(), samples.y(), samples.e(), row.start));
    }
  });
}

}  // namespace quillet
