#pragma once

#include "api/py_ref.hpp"

namespace quillet::api {

// The definitions of the three module functions, each kept beside its call
// wrapper. Vector calls with keywords; the docstrings carry the signatures.
extern PyMethodDef fit_single_spectrum_method;
extern PyMethodDef fit_gaussian_f32_method;
extern PyMethodDef fit_spectra_batch_guided_method;

// A vector-call wrapper as the method table stores it.
template <class Wrapper>
PyCFunction as_method(Wrapper* wrapper) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wrapper));
}

}  // namespace quillet::api
