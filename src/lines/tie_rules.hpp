// How a tied parameter follows its reference, written once for one fit
// (Real a double) and for lanes (Real Doubles, one window per lane): the
// same operations on the same operands whichever type it runs on, so a lane
// takes the very bits the scalar fit takes. Always inlined, so that a lane's
// copy is compiled with the lanes' instruction set.
//
// Included inside a namespace, not at file scope: quillet::lines by
// line_model.cpp, and the lanes' quillet::lines::QUILLET_LANE_ISA by
// line_lanes.hpp. The includer has included line_model.hpp at file scope
// before.

// Forms every tied parameter of `params` (all of the model's, the untied
// ones in place) from its reference: centre = the reference's centre +
// offset, amplitude = ratio x the reference's amplitude, sigma = the
// reference's sigma. Ties are one level deep, so the references are untied
// and the order of the components does not matter.
template <class Real>
[[gnu::always_inline]] inline void follow_ties(const LineModel& model, Real* params) {
  for (std::size_t k = 0; k < model.components; ++k) {
    const ComponentTies& tie = model.ties[k];
    if (tie.amplitude_ref != kUntied) {
      const auto ref = static_cast<std::size_t>(tie.amplitude_ref);
      params[param_index(k, Attribute::Amplitude)] =
          static_cast<double>(tie.amplitude_ratio) * params[param_index(ref, Attribute::Amplitude)];
    }
    if (tie.centre_ref != kUntied) {
      const auto ref = static_cast<std::size_t>(tie.centre_ref);
      params[param_index(k, Attribute::Centre)] =
          params[param_index(ref, Attribute::Centre)] + static_cast<double>(tie.centre_offset);
    }
    if (tie.sigma_ref != kUntied) {
      const auto ref = static_cast<std::size_t>(tie.sigma_ref);
      params[param_index(k, Attribute::Sigma)] = params[param_index(ref, Attribute::Sigma)];
    }
  }
}
