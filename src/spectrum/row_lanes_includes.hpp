// Every header the lane code includes, for the translation units of the
// lanes to include before they switch the instruction set on: an inline
// function of a shared header compiled after the switch could be linked in
// place of the baseline one and run where the instructions do not exist.
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <utility>
#include <variant>

#include "gaussian/fit_bounded_gaussian.hpp"
#include "gaussian/gaussian_solver_setup.hpp"
#include "gaussian/gaussian_uncertainties.hpp"
#include "lines/fit_line_model.hpp"
#include "lines/line_model.hpp"
#include "solver/driver_steps.hpp"
#include "solver/euclid_norm.hpp"
#include "solver/scalar_or_lanes.hpp"
#include "solver/solver_types.hpp"
#include "solver/step_constants.hpp"
#include "spectrum/batch_rows.hpp"
#include "spectrum/fit_lines_batch.hpp"
#include "spectrum/fit_spectrum_window.hpp"
#include "spectrum/lane_path.hpp"
#include "spectrum/row_fault_injection.hpp"
#include "spectrum/row_lanes_entries.hpp"
#include "spectrum/window_samples.hpp"
#include "spectrum/worker_pool.hpp"
