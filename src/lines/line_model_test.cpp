// The model's structural checks, one case per message, and the map between
// model and solver parameters.
#include "lines/line_model.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "lines/line_spectra_test_support.hpp"

namespace quillet::lines {
namespace {

using testing::make_model;

struct ModelCase {
  std::string name;
  LineModel model;
  const char* message;  // null: accepted
  // Printed by name: the bytes of the record would show its padding.
  friend void PrintTo(const ModelCase& c, std::ostream* os) { *os << c.name; }
};

std::vector<ModelCase> model_cases() {
  std::vector<ModelCase> cases;
  cases.push_back({"one_gaussian", make_model(1, -1), nullptr});
  cases.push_back({"eight_and_quadratic", make_model(8, 2), nullptr});
  cases.push_back({"no_components", make_model(0, -1), "ncomponents must be between 1 and 8"});
  cases.push_back({"nine_components", make_model(9, -1), "ncomponents must be between 1 and 8"});
  cases.push_back({"cubic", make_model(1, 3), "baseline must be -1 (none), 0, 1 or 2"});
  cases.push_back({"order_minus_two", make_model(1, -2), "baseline must be -1 (none), 0, 1 or 2"});
  LineModel self = make_model(2, -1);
  self.ties[1].centre_ref = 1;
  cases.push_back({"tie_to_itself", self, "a component cannot be tied to itself"});
  LineModel chain = make_model(3, -1);
  chain.ties[1].sigma_ref = 0;
  chain.ties[2].sigma_ref = 1;
  cases.push_back({"tie_to_a_tied_one", chain,
                   "ties are one level deep: tie to the reference component, not to a tied one"});
  LineModel other_attribute = make_model(3, -1);
  other_attribute.ties[1].sigma_ref = 0;
  other_attribute.ties[2].centre_ref = 1;  // component 1's centre is its own
  cases.push_back({"tie_to_a_component_tied_elsewhere", other_attribute, nullptr});
  LineModel beyond = make_model(2, -1);
  beyond.ties[0].amplitude_ref = 2;
  cases.push_back(
      {"reference_beyond", beyond, "a tie's reference must be -1 (untied) or a component index"});
  LineModel fixed_and_tied = make_model(2, -1, {3});
  fixed_and_tied.ties[1].amplitude_ref = 0;
  cases.push_back({"fixed_and_tied", fixed_and_tied,
                   "a tied parameter cannot also be fixed; fix its reference instead"});
  LineModel nan_offset = make_model(2, -1);
  nan_offset.ties[1].centre_ref = 0;
  nan_offset.ties[1].centre_offset = std::nanf("");
  cases.push_back({"nan_offset", nan_offset, "centre offsets of tied components must be finite"});
  LineModel inf_ratio = make_model(2, -1);
  inf_ratio.ties[1].amplitude_ref = 0;
  inf_ratio.ties[1].amplitude_ratio = INFINITY;
  cases.push_back(
      {"infinite_ratio", inf_ratio, "amplitude ratios of tied components must be finite"});
  cases.push_back({"all_fixed", make_model(1, 0, {0, 1, 2, 3}),
                   "every parameter is fixed or tied: at least one must be free"});
  return cases;
}

class LineModelCheck : public ::testing::TestWithParam<ModelCase> {};

TEST_P(LineModelCheck, GivesItsMessage) {
  const ModelCase& c = GetParam();
  const auto error = check_line_model(c.model);
  if (c.message == nullptr) {
    EXPECT_FALSE(error.has_value()) << error->message;
  } else {
    ASSERT_TRUE(error.has_value());
    EXPECT_STREQ(error->message, c.message);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, LineModelCheck, ::testing::ValuesIn(model_cases()),
                         [](const auto& test) { return test.param.name; });

// A second line tied to the first in all three attributes (ratio 0.5,
// offset 12.5 km/s) and a fixed constant baseline: the solver sees the
// first line's three parameters and the baseline, which it holds fixed.
TEST(LineLayout, MapsSolverParametersAndFormsTiedOnes) {
  LineModel model = make_model(2, 0, {6});
  model.ties[1] = {.amplitude_ref = 0,
                   .amplitude_ratio = 0.5f,
                   .centre_ref = 0,
                   .centre_offset = 12.5f,
                   .sigma_ref = 0};
  const LineLayout layout(model);
  EXPECT_EQ(layout.param_count(), 7u);
  EXPECT_EQ(layout.solver_count(), 4u);
  EXPECT_EQ(layout.free_count(), 3u);
  EXPECT_EQ(layout.param_of(3), 6u);
  for (const std::size_t p : {3, 4, 5}) {
    EXPECT_TRUE(layout.tied(p));
    EXPECT_EQ(layout.reference_of(p), p - 3);
  }
  std::vector<double> params(7);
  layout.expand(std::vector<double>{4.0, 100.0, 7.0, 0.25}, params);
  EXPECT_EQ(params, (std::vector<double>{4.0, 100.0, 7.0, 2.0, 112.5, 7.0, 0.25}));
}

}  // namespace
}  // namespace quillet::lines
