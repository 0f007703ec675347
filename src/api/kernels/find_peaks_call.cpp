// The kernel function `find_peaks`: the peak each row's fit is built round
// (the brightest pixel near its guide) and its count of finite pixels, the
// rows shared out on the batch's worker pool with the interpreter lock
// released.
#include <array>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>

#include "api/argument_binding.hpp"
#include "api/argument_conversion.hpp"
#include "api/exceptions.hpp"
#include "api/interpreter_lock_release.hpp"
#include "api/module_functions.hpp"
#include "api/py_ref.hpp"
#include "api/result_arrays.hpp"
#include "api/run_body.hpp"
#include "spectrum/row_peaks.hpp"

namespace quillet::api {
namespace {

constexpr std::array<const char*, 5> kParameters{"spectra", "velocity", "guides", "radius",
                                                 "velocity_range"};
const Signature kSignature{"find_peaks", kParameters, 5};

struct PeakInputs {
  std::span<const float> spectra;
  std::span<const float> guides;
  std::size_t columns = 0;
  RowPeakSearch search;
};

std::expected<PeakInputs, DomainError> check_inputs(const ArrayView& spectra,
                                                    const ArrayView& velocity,
                                                    const ArrayView& guides, float radius,
                                                    float velocity_range) {
  const auto rows = spectra.flat();
  const auto axis = velocity.flat();
  const auto centres = guides.flat();
  if (!rows || !axis || !centres) {
    return std::unexpected(DomainError{"spectra, velocity and guides must be C-contiguous"});
  }
  if (velocity.shape[0] > spectra.shape[1]) {
    return std::unexpected(DomainError{"velocity has more values than the rows have channels"});
  }
  if (guides.shape[0] != spectra.shape[0]) {
    return std::unexpected(DomainError{"guides must hold one value per row"});
  }
  return PeakInputs{*rows, *centres, static_cast<std::size_t>(spectra.shape[1]),
                    RowPeakSearch{*axis, radius, velocity_range}};
}

PyObject* find_peaks_call(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  BoundArguments bound;
  if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) return nullptr;
  const ArgumentConverter convert(kSignature, bound);
  ArrayArgument spectra;
  ArrayArgument velocity;
  ArrayArgument guides;
  float radius = 0.0f;
  float velocity_range = 0.0f;
  if (!convert.array(0, 2, spectra) || !convert.array(1, 1, velocity) ||
      !convert.array(2, 1, guides) || !convert.real(3, radius) ||
      !convert.real(4, velocity_range)) {
    return nullptr;
  }
  const std::optional<PeakInputs> input = run_body([&] {
    return check_inputs(spectra.view, velocity.view, guides.view, radius, velocity_range);
  });
  if (!input) return nullptr;

  const std::size_t rows = input->guides.size();
  std::unique_ptr<std::int32_t[]> channel;
  std::unique_ptr<float[]> value;
  std::unique_ptr<std::int32_t[]> finite;
  if (!guard_internal_faults([&] {
        channel = std::make_unique_for_overwrite<std::int32_t[]>(rows);
        value = std::make_unique_for_overwrite<float[]>(rows);
        finite = std::make_unique_for_overwrite<std::int32_t[]>(rows);
        const RowPeakOutputs out{{channel.get(), rows}, {value.get(), rows}, {finite.get(), rows}};
        WorkerPool& pool = process_pool();
        const InterpreterLockRelease unlocked;
        row_peaks(input->spectra, input->columns, input->guides, input->search, out, pool);
      })) {
    return nullptr;
  }
  // Each array is built only once the one before it is; the buffers of
  // those not built are freed with their owners.
  PyRef channels = int32_array(std::move(channel), rows);
  PyRef values = channels ? float32_array(std::move(value), rows) : PyRef{};
  PyRef counts = values ? int32_array(std::move(finite), rows) : PyRef{};
  PyRef triple =
      counts ? PyRef::steal(PyTuple_Pack(3, channels.get(), values.get(), counts.get())) : PyRef{};
  if (!triple) raise_result_build_fault();
  return triple.release();
}

}  // namespace

PyMethodDef find_peaks_method = {
    "find_peaks", as_method(&find_peaks_call), METH_FASTCALL | METH_KEYWORDS,
    "find_peaks(spectra, velocity, guides, radius, velocity_range)\n"
    "--\n"
    "\n"
    "The peak the batch fit takes for each row of a 2-D C-contiguous float32\n"
    "array, and the row's finite pixels, over its first len(velocity) channels.\n"
    "\n"
    "The peak is the brightest pixel within radius of the row's guide (float32\n"
    "arithmetic, the first of equal maxima), accepted when positive and within\n"
    "velocity_range of the guide. Returns (channel int32, value float32, finite\n"
    "int32), each (N,): channel -1 and value NaN where no peak is accepted. The\n"
    "rows run in parallel with the interpreter lock released."};

}  // namespace quillet::api
