#include "solver/run_state.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace quillet::solver {
namespace {

// Alignment the block must have so that every region carved from it is
// aligned for its type.
constexpr std::size_t kBlockAlign = std::max(
    {alignof(double), alignof(std::size_t), alignof(std::span<double>), alignof(ColumnSquares)});

// Lays regions out one after another, each aligned for its type. Over a null
// base it only measures, so that the size a run asks for and the layout it
// carves come from the same code and cannot drift apart.
class BlockCarver {
 public:
  explicit BlockCarver(std::byte* base) : base_(base) {}

  template <class T>
  std::span<T> take(std::size_t count) {
    static_assert(alignof(T) <= kBlockAlign);
    used_ = (used_ + alignof(T) - 1) / alignof(T) * alignof(T);
    std::span<T> region;
    // The block was created as an array of std::byte, which provides storage
    // for (and implicitly creates) the objects viewed here.
    if (base_ != nullptr) region = {reinterpret_cast<T*>(base_ + used_), count};
    used_ += count * sizeof(T);
    return region;
  }

  std::size_t used() const { return used_; }

 private:
  std::byte* base_;
  std::size_t used_ = 0;
};

// The layout of a run: widest alignment first, so that no padding is needed.
void carve(BlockCarver& block, RunState& s) {
  const std::size_t m = s.m;
  const std::size_t n = s.nfree;
  const std::size_t np = s.npar;

  s.deriv_slots = block.take<std::span<double>>(np);

  s.column_squares = block.take<ColumnSquares>(n);
  s.ifree = block.take<std::size_t>(n);
  s.ipvt = block.take<std::size_t>(n);

  s.x = block.take<double>(n);
  s.xnew = block.take<double>(np);
  s.fvec = block.take<double>(m);
  s.fjac = block.take<double>(m * n);
  s.qtf = block.take<double>(n);
  s.diag = block.take<double>(np);
  // The four work buffers, each under the names of its purposes (run_state.hpp).
  s.rdiag = s.lm_step = block.take<double>(n);
  s.forward_fvec = block.take<double>(m);
  // (Empty while measuring.)
  s.acnorm = s.trial_x = s.scaled_x = s.covariance_work =
      s.forward_fvec.first(std::min(n, s.forward_fvec.size()));
  s.scaled_start = s.scaled_step = s.r_step = block.take<double>(n);
  s.full_qtf = s.jac_fvec = s.trial_fvec = block.take<double>(m);
  s.refnorm = block.take<double>(n);
  s.sdiag = block.take<double>(n);
  s.lm_w1 = block.take<double>(n);
  s.lm_w2 = block.take<double>(n);
  s.lower = block.take<double>(n);
  s.upper = block.take<double>(n);
  s.step = block.take<double>(n);
  s.rel_step = block.take<double>(n);
  s.deriv_rel_tol = block.take<double>(n);
  s.deriv_abs_tol = block.take<double>(n);
  s.xerror = block.take<double>(np);
  s.covar = block.take<double>(np * np);

  s.has_lower = block.take<bool>(n);
  s.has_upper = block.take<bool>(n);
  s.deriv_debug = block.take<bool>(n);
  s.side = block.take<DerivSide>(n);
}

}  // namespace

RunStorage::RunStorage(std::size_t bytes, std::span<std::byte> lent) {
  const bool lent_fits = lent.size() >= bytes;
  const bool lent_aligned = reinterpret_cast<std::uintptr_t>(lent.data()) % kBlockAlign == 0;
  if (lent_fits && lent_aligned) {
    bytes_ = lent.first(bytes);
  } else {
    owned_.reset(new (std::nothrow) std::byte[bytes]);
    // Without its work memory a run cannot proceed, and the solver reports
    // no such error: the process ends.
    if (!owned_) std::abort();
    bytes_ = {owned_.get(), bytes};
  }
  if (!bytes_.empty()) std::memset(bytes_.data(), 0, bytes_.size());
}

std::size_t workspace_bytes(std::size_t m, std::size_t npar) {
  // Every parameter free is the largest layout for these sizes.
  RunState sizes;
  sizes.m = m;
  sizes.npar = npar;
  sizes.nfree = npar;
  BlockCarver measure(nullptr);
  carve(measure, sizes);
  return measure.used();
}

RunState make_run_state(std::size_t m, std::span<const ParamConstraint> constraints,
                        std::span<std::byte> lent) {
  RunState s;
  s.m = m;
  s.npar = constraints.size();
  s.nfree = static_cast<std::size_t>(
      std::ranges::count_if(constraints, [](const ParamConstraint& c) { return !c.fixed; }));

  BlockCarver measure(nullptr);
  carve(measure, s);
  s.storage = RunStorage(measure.used(), lent);
  BlockCarver block(s.storage.bytes().data());
  carve(block, s);
  std::uninitialized_fill(s.deriv_slots.begin(), s.deriv_slots.end(), std::span<double>{});

  std::size_t j = 0;
  for (std::size_t p = 0; p < constraints.size(); ++p) {
    const ParamConstraint& c = constraints[p];
    if (c.fixed) continue;
    s.ifree[j] = p;
    s.has_lower[j] = c.has_lower;
    s.has_upper[j] = c.has_upper;
    s.lower[j] = c.lower;
    s.upper[j] = c.upper;
    s.step[j] = c.step;
    s.rel_step[j] = c.rel_step;
    s.side[j] = c.side;
    s.deriv_debug[j] = c.deriv_debug;
    s.deriv_rel_tol[j] = c.deriv_rel_tol;
    s.deriv_abs_tol[j] = c.deriv_abs_tol;
    s.qanylim = s.qanylim || c.has_lower || c.has_upper;
    ++j;
  }
  return s;
}

}  // namespace quillet::solver
