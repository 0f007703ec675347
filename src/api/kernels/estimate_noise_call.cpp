// The kernel function `estimate_noise`: the DER_SNR noise of each row of a
// 2-D float32 array, the rows shared out on the batch's worker pool with the
// interpreter lock released.
#include <array>
#include <memory>
#include <optional>

#include "api/argument_binding.hpp"
#include "api/argument_conversion.hpp"
#include "api/exceptions.hpp"
#include "api/interpreter_lock_release.hpp"
#include "api/module_functions.hpp"
#include "api/result_arrays.hpp"
#include "api/run_body.hpp"
#include "spectrum/der_snr.hpp"

namespace quillet::api {
namespace {

constexpr std::array<const char*, 1> kParameters{"spectra"};
const Signature kSignature{"estimate_noise", kParameters, 1};

PyObject* estimate_noise_call(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
  BoundArguments bound;
  if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) return nullptr;
  const ArgumentConverter convert(kSignature, bound);
  ArrayArgument spectra;
  if (!convert.array(0, 2, spectra)) return nullptr;

  const std::optional<NoiseRows> input = run_body([&] { return check_noise_rows(spectra.view); });
  if (!input) return nullptr;

  std::unique_ptr<double[]> noise;
  // The rows are read from the array's memory with the lock released: the
  // ArrayArgument keeps the array alive until this function returns.
  if (!guard_internal_faults([&] {
        noise = std::make_unique_for_overwrite<double[]>(input->rows);
        WorkerPool& pool = process_pool();
        const InterpreterLockRelease unlocked;
        der_snr_rows(*input, {noise.get(), input->rows}, pool);
      })) {
    return nullptr;
  }
  PyRef result = float64_array(std::move(noise), input->rows);
  if (!result) raise_result_build_fault();
  return result.release();
}

}  // namespace

PyMethodDef estimate_noise_method = {
    "estimate_noise", as_method(&estimate_noise_call), METH_FASTCALL | METH_KEYWORDS,
    "estimate_noise(spectra)\n"
    "--\n"
    "\n"
    "DER_SNR noise (one sigma) of each row of a 2-D C-contiguous float32 array.\n"
    "\n"
    "Returns a float64 array of shape (N,): 1.482602 / sqrt(6) times the median\n"
    "of |2 f_i - f_(i-2) - f_(i+2)| over the row, each difference formed in\n"
    "float32. NaN differences (a NaN pixel, or infinities that cancel) take no\n"
    "part; a row of fewer than five pixels or with no difference left gets NaN.\n"
    "The rows run in parallel with the interpreter lock released."};

}  // namespace quillet::api
