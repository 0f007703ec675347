#include "bench_inputs.hpp"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

namespace quillet::bench {
namespace {

[[noreturn]] void die(const std::string& message) {
  std::fprintf(stderr, "benchmark input: %s\n", message.c_str());
  std::exit(2);
}

std::map<std::string, std::string> read_meta(const std::filesystem::path& dir) {
  std::ifstream in(dir / "meta.txt");
  if (!in) die("cannot open " + (dir / "meta.txt").string());
  std::map<std::string, std::string> meta;
  std::string key, value;
  while (in >> key >> value) meta[key] = value;
  return meta;
}

const std::string& field(const std::map<std::string, std::string>& meta, const std::string& key) {
  const auto found = meta.find(key);
  if (found == meta.end()) die("meta.txt lacks " + key);
  return found->second;
}

float real(const std::map<std::string, std::string>& meta, const std::string& key) {
  return std::stof(field(meta, key));
}

long long integer(const std::map<std::string, std::string>& meta, const std::string& key) {
  return std::stoll(field(meta, key));
}

std::vector<float> read_floats(const std::filesystem::path& file, std::size_t count) {
  std::vector<float> values(count);
  std::ifstream in(file, std::ios::binary);
  in.read(reinterpret_cast<char*>(values.data()),
          static_cast<std::streamsize>(count * sizeof(float)));
  if (!in || static_cast<std::size_t>(in.gcount()) != count * sizeof(float)) {
    die("cannot read " + std::to_string(count) + " floats from " + file.string());
  }
  return values;
}

volatile float g_kept = 0.0f;

}  // namespace

SurveyInput read_survey(const std::filesystem::path& dir) {
  const auto meta = read_meta(dir);
  SurveyInput s;
  s.rows = static_cast<std::size_t>(integer(meta, "rows"));
  s.columns = static_cast<std::size_t>(integer(meta, "columns"));
  s.params = SpectrumFitParams{
      .velocity_range = real(meta, "velocity_range"),
      .npix = static_cast<std::int32_t>(integer(meta, "npix")),
      .npix_slack = static_cast<std::int32_t>(integer(meta, "npix_slack")),
      .dv = real(meta, "dv"),
      .width_min = real(meta, "width_min"),
      .sg_xpixels = integer(meta, "sg_xpixels"),
      .amplitude_rel_min = real(meta, "amplitude_rel_min"),
      .amplitude_rel_max = real(meta, "amplitude_rel_max"),
      .width_max = real(meta, "width_max"),
      .width_guess = real(meta, "width_guess"),
      .tolerances = {.xtol = 1e-6f, .ftol = 1e-6f, .gtol = 1e-6f, .max_iter = 2000},
  };
  s.spectra = read_floats(dir / "spectra.f32", s.rows * s.columns);
  s.noise = read_floats(dir / "noise.f32", s.rows * s.columns);
  s.axis = read_floats(dir / "axis.f32", s.columns);
  s.guides = read_floats(dir / "guides.f32", s.rows);
  s.axis.resize(static_cast<std::size_t>(s.params.sg_xpixels));
  return s;
}

SurveyInput survey_from_arguments(int argc, char** argv, int arguments, const char* usage) {
  if (argc != arguments + 1) {
    std::fprintf(stderr, "usage: %s %s\n", argv[0], usage);
    std::exit(2);
  }
  return read_survey(argv[1]);
}

GaussianWindows read_gaussian_windows(const std::filesystem::path& dir) {
  const auto meta = read_meta(dir);
  GaussianWindows w;
  w.count = static_cast<std::size_t>(integer(meta, "gauss_count"));
  w.samples = static_cast<std::size_t>(integer(meta, "gauss_samples"));
  const std::size_t n = w.count * w.samples;
  w.x = read_floats(dir / "gauss_x.f32", n);
  w.y = read_floats(dir / "gauss_y.f32", n);
  w.error = read_floats(dir / "gauss_error.f32", n);
  w.start = read_floats(dir / "gauss_start.f32", w.count * 9);
  return w;
}

ArrayView view_of(std::span<const float> data) {
  return ArrayView{
      .data = data.data(),
      .ndim = 1,
      .shape = {static_cast<std::int64_t>(data.size()), 1},
      .aligned = true,
      .c_contiguous = true,
  };
}

void keep(float value) { g_kept = g_kept + value; }

}  // namespace quillet::bench
