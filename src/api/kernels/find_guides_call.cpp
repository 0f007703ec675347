// The kernel function `find_guides`: each row's guide from the row itself
// (the peak of the row smoothed by a weighted boxcar, moved to the
// brightest pixel near it), the rows shared out on the batch's worker pool
// with the interpreter lock released.
#include <array>
#include <cmath>
#include <cstdint>
#include <expected>
#include <limits>
#include <memory>
#include <optional>
#include <span>

#include "api/argument_binding.hpp"
#include "api/argument_conversion.hpp"
#include "api/exceptions.hpp"
#include "api/interpreter_lock_release.hpp"
#include "api/module_functions.hpp"
#include "api/result_arrays.hpp"
#include "api/run_body.hpp"
#include "spectrum/guide_search.hpp"

namespace quillet::api {
namespace {

constexpr std::array<const char*, 6> kParameters{"spectra", "velocity", "noise",
                                                 "inside",  "half",     "snap_radius"};
const Signature kSignature{"find_guides", kParameters, 5};

// The rows, the search and the noise's layout, checked against each other.
struct GuideInputs {
  std::span<const float> spectra;
  std::size_t rows = 0;
  std::size_t columns = 0;
  GuideSearch search;
  std::size_t noise_row_stride = 0;
  std::size_t noise_pixel_stride = 0;
};

std::expected<GuideInputs, DomainError> check_inputs(
    const ArrayView& spectra, const BasicArrayView<double>& velocity, std::int64_t noise_ndim,
    std::array<std::int64_t, 2> noise_shape, bool noise_flat,
    const BasicArrayView<std::uint8_t>& inside, std::int64_t half, double snap_radius) {
  const auto rows = spectra.flat();
  const auto axis = velocity.flat();
  const auto flags = inside.flat();
  if (!rows) return std::unexpected(DomainError{"spectra must be a C-contiguous float32 array"});
  if (!axis || !flags || !noise_flat) {
    return std::unexpected(DomainError{"velocity, noise and inside must be C-contiguous"});
  }
  const std::int64_t n = spectra.shape[0];
  const std::int64_t m = spectra.shape[1];
  if (velocity.shape[0] != m || inside.shape[0] != m) {
    return std::unexpected(DomainError{"velocity and inside need one value per channel"});
  }
  const bool per_row = noise_ndim == 1 && noise_shape[0] == n;
  const bool per_pixel = noise_ndim == 2 && noise_shape[0] == n && noise_shape[1] == m;
  if (!per_row && !per_pixel) {
    return std::unexpected(DomainError{"noise must hold one value per row or one per pixel"});
  }
  if (half < 0) return std::unexpected(DomainError{"half must be 0 or more"});
  GuideInputs out;
  out.spectra = *rows;
  out.rows = static_cast<std::size_t>(n);
  out.columns = static_cast<std::size_t>(m);
  out.search = GuideSearch{*axis, *flags, static_cast<std::size_t>(half), snap_radius};
  out.noise_row_stride = per_row ? 1 : out.columns;
  out.noise_pixel_stride = per_row ? 0 : 1;
  return out;
}

PyObject* find_guides_call(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
  BoundArguments bound;
  if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) return nullptr;
  const ArgumentConverter convert(kSignature, bound);
  ArrayArgument spectra;
  BasicArrayArgument<double> velocity;
  ArrayArgument noise32;
  BasicArrayArgument<double> noise64;
  BasicArrayArgument<std::uint8_t> inside;
  std::int64_t half = 0;
  double snap_radius = std::numeric_limits<double>::quiet_NaN();
  if (!convert.array(0, 2, spectra) || !convert.float64_array(1, 1, velocity) ||
      !convert.float_array_of_either(2, noise32, noise64) || !convert.flag_array(3, 1, inside) ||
      !convert.int64(4, half)) {
    return nullptr;
  }
  if (!convert.absent(5) && !convert.real64(5, snap_radius)) return nullptr;

  const bool wide = static_cast<bool>(noise64.array);
  const std::int64_t noise_ndim = wide ? noise64.view.ndim : noise32.view.ndim;
  const std::array<std::int64_t, 2> noise_shape = wide ? noise64.view.shape : noise32.view.shape;
  const bool noise_flat = wide ? noise64.view.flat().has_value() : noise32.view.flat().has_value();
  const std::optional<GuideInputs> input = run_body([&] {
    return check_inputs(spectra.view, velocity.view, noise_ndim, noise_shape, noise_flat,
                        inside.view, half, snap_radius);
  });
  if (!input) return nullptr;

  std::unique_ptr<float[]> guides;
  if (!guard_internal_faults([&] {
        guides = std::make_unique_for_overwrite<float[]>(input->rows);
        const std::span<float> out(guides.get(), input->rows);
        WorkerPool& pool = process_pool();
        const InterpreterLockRelease unlocked;
        if (wide) {
          const GuideNoise<double> noise{noise64.view.data, input->noise_row_stride,
                                         input->noise_pixel_stride};
          guide_rows(input->spectra, input->columns, noise, input->search, out, pool);
        } else {
          const GuideNoise<float> noise{noise32.view.data, input->noise_row_stride,
                                        input->noise_pixel_stride};
          guide_rows(input->spectra, input->columns, noise, input->search, out, pool);
        }
      })) {
    return nullptr;
  }
  PyRef result = float32_array(std::move(guides), input->rows);
  if (!result) raise_result_build_fault();
  return result.release();
}

}  // namespace

PyMethodDef find_guides_method = {
    "find_guides", as_method(&find_guides_call), METH_FASTCALL | METH_KEYWORDS,
    "find_guides(spectra, velocity, noise, inside, half, snap_radius=None)\n"
    "--\n"
    "\n"
    "The guide velocity of each row of a 2-D C-contiguous float32 array.\n"
    "\n"
    "velocity: float64 (M,); noise: float32 or float64, one sigma per row (N,)\n"
    "or per pixel (N, M); inside: bool (M,), the channels the guide may lie on;\n"
    "half: the boxcar spans 2 half + 1 channels. A pixel is usable where it and\n"
    "its sigma are finite and the sigma positive, weighed 1 / sigma^2. The\n"
    "guide is the velocity of the usable channel inside where the weighted\n"
    "boxcar mean is largest (the first of equal maxima), then, with a\n"
    "snap_radius, of the brightest usable pixel inside within it of that.\n"
    "Returns float32 (N,); NaN for a row with no usable pixel inside. The rows\n"
    "run in parallel with the interpreter lock released."};

}  // namespace quillet::api
