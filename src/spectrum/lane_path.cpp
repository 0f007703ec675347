#include "spectrum/lane_path.hpp"

#include <cstdlib>
#include <stdexcept>
#include <string_view>

#include "spectrum/row_lanes_entries.hpp"

namespace quillet {

bool row_path_runs_here(RowPath path) {
  switch (path) {
    case RowPath::Scalar:
      return true;
    // libgcc's test also asks the operating system whether it saves the
    // vector registers. A set this build left out runs nowhere.
    case RowPath::Avx2:
#if QUILLET_HAS_LANES && QUILLET_LANES_AVX2
      return __builtin_cpu_supports("avx2");
#else
      return false;
#endif
    case RowPath::Avx512:
#if QUILLET_HAS_LANES && QUILLET_LANES_AVX512
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
#else
      return false;
#endif
  }
  return false;
}

namespace {

RowPath widest_row_path() {
  if (row_path_runs_here(RowPath::Avx512)) return RowPath::Avx512;
  if (row_path_runs_here(RowPath::Avx2)) return RowPath::Avx2;
  return RowPath::Scalar;
}

}  // namespace

std::optional<RowPath> row_path_named(const char* value) {
  const std::string_view name = value == nullptr ? std::string_view{} : value;
  if (name.empty()) return widest_row_path();
  if (name == "scalar") return RowPath::Scalar;
  if (name == "avx2") return RowPath::Avx2;
  if (name == "avx512") return RowPath::Avx512;
  return std::nullopt;
}

RowPath process_row_path() {
  static const RowPath path = [] {
    const std::optional<RowPath> named = row_path_named(std::getenv("QUILLET_LANES"));
    return named && row_path_runs_here(*named) ? *named : widest_row_path();
  }();
  return path;
}

void fit_rows_in_lanes(RowPath path, const BatchInput& input, AxisOrder order, BatchOutput& output,
                       WorkerPool::Claims& claims) {
#if QUILLET_HAS_LANES && QUILLET_LANES_AVX512
  if (path == RowPath::Avx512) return avx512::fit_rows_in_lanes(input, order, output, claims);
#endif
#if QUILLET_HAS_LANES && QUILLET_LANES_AVX2
  if (path == RowPath::Avx2) return avx2::fit_rows_in_lanes(input, order, output, claims);
#endif
  throw std::logic_error("rows handed to lanes this build or processor does not have");
}

void fit_line_rows_in_lanes(RowPath path, const LinesBatchInput& input, LinesBatchOutput& output,
                            WorkerPool::Claims& claims) {
#if QUILLET_HAS_LANES && QUILLET_LANES_AVX512
  if (path == RowPath::Avx512) return avx512::fit_line_rows_in_lanes(input, output, claims);
#endif
#if QUILLET_HAS_LANES && QUILLET_LANES_AVX2
  if (path == RowPath::Avx2) return avx2::fit_line_rows_in_lanes(input, output, claims);
#endif
  throw std::logic_error("line rows handed to lanes this build or processor does not have");
}

}  // namespace quillet
