// The NIST StRD nonlinear regression problems, fitted from both certified
// starting points with finite-difference Jacobians and scored in digits of
// agreement (log relative error, LRE) with the certified parameters and
// standard deviations.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "solver/solver.hpp"
#include "solver/testing/curve_model.hpp"

namespace quillet::solver {
namespace {

using std::exp;
using std::pow;
using testing::CurveModel;

constexpr double kPi = std::numbers::pi;

// The models, as the files state them; x2 is Nelson's second predictor.
#define CURVE(expr) [](const double* b, double x, [[maybe_unused]] double x2) { return expr; }
constexpr auto kExpRise = CURVE(b[0] * (1 - exp(-b[1] * x)));
constexpr auto kChwirut = CURVE(exp(-b[0] * x) / (b[1] + b[2] * x));
constexpr auto kThreeExp =
    CURVE(b[0] * exp(-b[1] * x) + b[2] * exp(-b[3] * x) + b[4] * exp(-b[5] * x));
constexpr auto kGaussPair =
    CURVE(b[0] * exp(-b[1] * x) + b[2] * exp(-(x - b[3]) * (x - b[3]) / (b[4] * b[4])) +
          b[5] * exp(-(x - b[6]) * (x - b[6]) / (b[7] * b[7])));
constexpr auto kCubicRatio = CURVE((b[0] + b[1] * x + b[2] * x * x + b[3] * x * x * x) /
                                   (1 + b[4] * x + b[5] * x * x + b[6] * x * x * x));
constexpr auto kEnso =
    CURVE(b[0] + b[1] * std::cos(2 * kPi * x / 12) + b[2] * std::sin(2 * kPi * x / 12) +
          b[4] * std::cos(2 * kPi * x / b[3]) + b[5] * std::sin(2 * kPi * x / b[3]) +
          b[7] * std::cos(2 * kPi * x / b[6]) + b[8] * std::sin(2 * kPi * x / b[6]));

struct Problem {
  const char* name;
  testing::Curve f;
  double floor1, floor2;  // least digits from start 1 and from start 2
};

// Floors: the least digits of agreement (parameters, standard deviations,
// residual sum of squares) that both derivative sides must reach, about one
// digit below what they achieve. Lanczos1 is exact data: its residual sum of
// squares (1.4e-25) is rounding noise, and so are the digits of its standard
// deviations. BoxBOD from start 1 (b1 = 1, b2 = 1; higher difficulty) fails:
// the first steps drive b2 so large that exp(-b2 x) underflows at every
// sample, the model flattens to the constant b1, and the gradient test stops
// on that plateau (status 4) far from the solution.
const Problem kProblems[] = {
    {"Misra1a", kExpRise, 6, 6},
    {"Chwirut2", kChwirut, 6, 5},
    {"Chwirut1", kChwirut, 6, 6},
    {"Lanczos3", kThreeExp, 3, 3},
    {"Gauss1", kGaussPair, 6, 6},
    {"Gauss2", kGaussPair, 6, 6},
    {"DanWood", CURVE(b[0] * pow(x, b[1])), 6, 6},
    {"Misra1b", CURVE(b[0] * (1 - pow(1 + b[1] * x / 2, -2))), 6, 5},
    {"Kirby2", CURVE((b[0] + b[1] * x + b[2] * x * x) / (1 + b[3] * x + b[4] * x * x)), 6, 5},
    {"Hahn1", kCubicRatio, 5, 5},
    {"Nelson", CURVE(b[0] - b[1] * x * exp(-b[2] * x2)), 5, 5},
    {"MGH17", CURVE(b[0] + b[1] * exp(-x * b[3]) + b[2] * exp(-x * b[4])), 5, 5},
    {"Lanczos1", kThreeExp, 2, 2},
    {"Lanczos2", kThreeExp, 4, 3},
    {"Gauss3", kGaussPair, 5, 5},
    {"Misra1c", CURVE(b[0] * (1 - pow(1 + 2 * b[1] * x, -0.5))), 5, 5},
    {"Misra1d", CURVE(b[0] * b[1] * x / (1 + b[1] * x)), 6, 5},
    {"Roszman1", CURVE(b[0] - b[1] * x - std::atan(b[2] / (x - b[3])) / kPi), 5, 5},
    {"ENSO", kEnso, 5, 5},
    {"MGH09", CURVE(b[0] * (x * x + x * b[1]) / (x * x + x * b[2] + b[3])), 5, 5},
    {"Thurber", kCubicRatio, 5, 5},
    {"BoxBOD", kExpRise, 0, 7},
    {"Rat42", CURVE(b[0] / (1 + exp(b[1] - b[2] * x))), 6, 6},
    {"MGH10", CURVE(b[0] * exp(b[1] / (x + b[2]))), 4, 4},
    {"Eckerle4", CURVE((b[0] / b[1]) * exp(-0.5 * ((x - b[2]) / b[1]) * ((x - b[2]) / b[1]))), 7,
     6},
    {"Rat43", CURVE(b[0] / pow(1 + exp(b[1] - b[2] * x), 1 / b[3])), 5, 5},
    {"Bennett5", CURVE(b[0] * pow(b[1] + x, -1 / b[2])), 4, 3},
};
#undef CURVE

struct Certified {
  CurveModel model;
  std::vector<double> start1, start2, value, sd;
  double rss = 0;
};

// Reads the certified values ("b1 = start1 start2 value sd") and the data
// rows ("y x" or "y x1 x2") of one StRD file. Nelson's model is for log y.
Certified read_problem(const Problem& problem) {
  std::ifstream in(std::string(QUILLET_NIST_DIR) + "/" + problem.name + ".dat");
  Certified c{CurveModel{problem.f}, {}, {}, {}, {}};
  std::string line;
  bool in_data = false;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string first, second;
    words >> first >> second;
    if (in_data && !first.empty()) {
      std::istringstream row(line);
      double y = 0, x = 0, x2 = 0;
      row >> y >> x;
      c.model.y.push_back(std::string(problem.name) == "Nelson" ? std::log(y) : y);
      c.model.x.push_back(x);
      if (row >> x2) c.model.x2.push_back(x2);
    } else if (first == "Residual" && second == "Sum") {
      c.rss = std::stod(line.substr(line.find(':') + 1));
    } else if (first == "Data:" && second == "y") {
      in_data = true;
    } else if (first.size() >= 2 && first[0] == 'b' && std::isdigit(first[1]) && second == "=") {
      double s1, s2, value, sd;
      words >> s1 >> s2 >> value >> sd;
      c.start1.push_back(s1), c.start2.push_back(s2), c.value.push_back(value), c.sd.push_back(sd);
    }
  }
  // This copy of Roszman1.dat gives b1 as 1.20196866396E-0; the certified
  // value is 2.0196866396E-01, at which the certified residual sum of squares
  // and standard deviations are met (the fit meets the first to eleven
  // digits, the second to six).
  if (std::string(problem.name) == "Roszman1") c.value[0] = 2.0196866396E-01;
  return c;
}

// Digits of agreement of x with the certified c, at most 11 (the certified
// values carry eleven).
double lre(double x, double c) {
  const double digits = x == c ? 11 : -std::log10(std::fabs(x - c) / std::fabs(c));
  return std::isnan(digits) ? 0 : std::clamp(digits, 0.0, 11.0) + 0.0;  // no "-0.00"
}

class NistTest : public ::testing::TestWithParam<Problem> {};

TEST_P(NistTest, AgreesWithCertifiedValues) {
  const Problem& problem = GetParam();
  Certified c = read_problem(problem);
  const std::size_t n = c.model.y.size();
  const std::size_t p = c.value.size();
  ASSERT_GT(n, p) << problem.name;

  SolverConfig config;
  config.ftol = config.xtol = 1e-15;
  config.gtol = 1e-15;
  config.max_iter = 100000;
  config.max_fev = MaxFev::at_most(1000000);
  for (const DerivSide side : {DerivSide::Auto, DerivSide::Both}) {
    for (const int start : {1, 2}) {
      std::vector<double> b = start == 1 ? c.start1 : c.start2;
      const std::vector<ParamConstraint> constraints(p, ParamConstraint{.side = side});
      const auto r = solve(c.model, config, constraints, std::span<double>(b));
      ASSERT_TRUE(r.has_value()) << problem.name;
      const double rss_digits = lre(r->bestnorm, c.rss);
      double value_digits = 11, sd_digits = 11;
      for (std::size_t k = 0; k < p; ++k) {
        const double sd = std::sqrt(r->covar[k * p + k] * r->bestnorm / static_cast<double>(n - p));
        value_digits = std::min(value_digits, lre(b[k], c.value[k]));
        sd_digits = std::min(sd_digits, lre(sd, c.sd[k]));
      }
      std::printf(
          "%-9s %-4s start %d  status %d  nfev %5llu  LRE values %5.2f  sd %5.2f  rss %5.2f\n",
          problem.name, side == DerivSide::Auto ? "auto" : "both", start,
          static_cast<int>(r->status), static_cast<unsigned long long>(r->nfev), value_digits,
          sd_digits, rss_digits);
      const double digits = std::min({value_digits, sd_digits, rss_digits});
      EXPECT_GE(digits, start == 1 ? problem.floor1 : problem.floor2)
          << problem.name << " start " << start;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Nist, NistTest, ::testing::ValuesIn(kProblems),
                         [](const auto& tc) { return std::string(tc.param.name); });

// The very bits of a few runs, from one certified start each with
// one-sided differences and everyday tolerances: the status, the counts and
// every bit of the solution and the chi-square. A fault in any step the
// runs share with the lanes (the factorisation, the damped solves, the
// Levenberg-Marquardt parameter, the step bound, the acceptance) changes
// them, where comparing two paths that share the fault could not see it.
struct Pinned {
  const char* name;
  int start;
  SolverStatus status;
  std::uint64_t niter, nfev;
  std::vector<std::uint64_t> x;
  std::uint64_t bestnorm;
};

void PrintTo(const Pinned& p, std::ostream* out) { *out << p.name << " start " << p.start; }

const Pinned kPinned[] = {
    {"Misra1a",
     1,
     SolverStatus::FtolReached,
     16,
     53,
     {0x406dde25ea0551d6, 0x3f42070bf2646a42},
     0x3fbfe2998e30070a},
    {"MGH09",
     2,
     SolverStatus::FtolReached,
     22,
     108,
     {0x3fc8ade515433292, 0x3fc87c0118146f2b, 0x3fbf80a88293772a, 0x3fc16a85347f06c4},
     0x3f342716830beeda},
    {"Lanczos3",
     2,
     SolverStatus::FtolReached,
     10,
     75,
     {0x3fb639976aa04696, 0x3fee8f32b4ed6d45, 0x3feb021be63c59fb, 0x40079cdd7aaf35a3,
      0x3ff95233ef249c7e, 0x4013f2075e520f34},
     0x3e514e42ac403169},
    {"Gauss1",
     1,
     SolverStatus::FtolReached,
     6,
     47,
     {0x4058b1ce3530d259, 0x3f857f989b8acc9a, 0x40591f5aa049e259, 0x4050deca86f4bf91,
      0x40372138d3e8a0b4, 0x4051ffa5f00c95a1, 0x40665ff006fa81f8, 0x403263af003824c8},
     0x40948f49fa1f4f76},
    {"BoxBOD",
     2,
     SolverStatus::FtolReached,
     11,
     32,
     {0x406ab9e6cf1cf058, 0x3fe182f7cbe239b9},
     0x4092400916ef9bc0},
    {"Eckerle4",
     1,
     SolverStatus::FtolReached,
     17,
     68,
     {0x3ff8dec068d36cc6, 0x40105af6d15714cc, 0x407c38a8d4aca462},
     0x3f57fabc73e082e2},
};

class NistPinned : public ::testing::TestWithParam<Pinned> {};

TEST_P(NistPinned, RunsKeepTheirBits) {
  const Pinned& pinned = GetParam();
  const Problem& problem = *std::ranges::find_if(
      kProblems, [&](const Problem& p) { return std::string(p.name) == pinned.name; });
  Certified c = read_problem(problem);
  std::vector<double> b = pinned.start == 1 ? c.start1 : c.start2;
  SolverConfig config;
  config.ftol = config.xtol = 1e-10;
  config.gtol = 1e-10;
  const std::vector<ParamConstraint> constraints(b.size(), ParamConstraint{});
  const auto r = solve(c.model, config, constraints, std::span<double>(b));
  ASSERT_TRUE(r.has_value());
  std::string got = "status " + std::to_string(static_cast<int>(r->status)) + ", niter " +
                    std::to_string(r->niter) + ", nfev " + std::to_string(r->nfev) + ", x {";
  char hex[32];
  for (const double v : b) {
    std::snprintf(hex, sizeof hex, "0x%016" PRIx64 ", ", std::bit_cast<std::uint64_t>(v));
    got += hex;
  }
  std::snprintf(hex, sizeof hex, "0x%016" PRIx64, std::bit_cast<std::uint64_t>(r->bestnorm));
  got += "}, bestnorm " + std::string(hex);
  EXPECT_EQ(r->status, pinned.status) << got;
  EXPECT_EQ(r->niter, pinned.niter) << got;
  EXPECT_EQ(r->nfev, pinned.nfev) << got;
  ASSERT_EQ(b.size(), pinned.x.size()) << got;
  for (std::size_t k = 0; k < b.size(); ++k) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(b[k]), pinned.x[k]) << "b" << k + 1 << ": " << got;
  }
  EXPECT_EQ(std::bit_cast<std::uint64_t>(r->bestnorm), pinned.bestnorm) << got;
}

INSTANTIATE_TEST_SUITE_P(Nist, NistPinned, ::testing::ValuesIn(kPinned), [](const auto& tc) {
  return std::string(tc.param.name) + "Start" + std::to_string(tc.param.start);
});

}  // namespace
}  // namespace quillet::solver
