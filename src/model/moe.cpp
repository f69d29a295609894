#include "model/moe.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <string>

#include "tensor/error.h"
#include "tensor/half.h"
#include "tensor/kernels.h"
#include "tensor/parallel.h"

namespace model {

namespace {

// Upper bound on the floats of one chunk's per-token buffers (64 MiB each): the gathered rows and
// expert outputs (tokens x k x H) and the activations (tokens x (k I + shared width)). A longer
// prompt is routed in chunks of tokens, each expert's weights read once per chunk.
constexpr size_t kMaxChunkFloats = size_t{16} << 20;

// Row blocks of an expert's projections are multiples of this many weight rows: whole groups of
// the GEMV kernel's rows, and whole 64-byte lines of f32 outputs.
constexpr size_t kRowGrain = 16;

// One MLP over a group of rows: a routed expert over the chunk's rows routed to it (gathered in
// slot order), or the shared expert over all of the chunk's rows.
struct Group {
  const Mlp* mlp;
  const float* x;  // (rows, H) inputs
  size_t rows;
  size_t act;   // offset of the group's (rows, I) block in the activation buffers
  size_t tile;  // offset of the group's (rows, H) block in the output tiles
  float* out;   // output row of input row m: out + (dest ? dest[m] : m) * H
  const uint32_t* dest;
  size_t order;  // place in a sequential run: the expert id; the shared expert last
};

// Output rows [r0, r1) of one group's projections: the unit of work that a free thread takes.
struct Piece {
  uint32_t group, r0, r1;
  size_t work;
};

// Cuts each group's output rows (its inner width for gate/up, H for down) into pieces of about
// equal work, so that the pieces of all groups together balance over the threads: the few
// experts of a decode step become a few dozen row blocks, all of them read at once, while in a
// prompt small experts stay whole and run side by side and large ones are cut. Largest pieces
// first, so that the last ones taken are small. Returns whether the whole is worth splitting
// over threads.
bool cut(const std::vector<Group>& groups, bool down, size_t H, std::vector<Piece>& pieces) {
  auto rows_of = [&](const Group& g) { return down ? H : g.mlp->inner(); };
  auto work_per_row = [&](const Group& g) {
    return down ? g.rows * g.mlp->inner() : 2 * g.rows * H;
  };
  size_t total_rows = 0, total_work = 0;
  for (const Group& g : groups) {
    total_rows += rows_of(g);
    total_work += rows_of(g) * work_per_row(g);
  }
  pieces.clear();
  // The pieces' widths are the products' N. Products with few rows give every output the same
  // bits at any width, so their cut may follow the pool size; larger ones go through sgemm, whose
  // rounding follows N, so theirs is taken from the shapes alone.
  bool exact = true;
  for (const Group& g : groups)
    exact = exact && tl::kernels::row_split_exact(g.rows, g.mlp->gate_proj.dtype());
  const size_t per_row = total_rows == 0 ? 0 : (total_work + total_rows - 1) / total_rows;
  const size_t blocks = total_rows == 0 ? 1
                        : exact         ? tl::parallel::blocks_for(total_rows, per_row)
                                        : tl::parallel::shape_blocks(total_rows, per_row);
  const double per_block = static_cast<double>(total_work) / static_cast<double>(blocks);
  for (size_t i = 0; i < groups.size(); ++i) {
    // A group without output rows still gets its (empty) piece: its product checks the dtype.
    const size_t R = rows_of(groups[i]), per_row = work_per_row(groups[i]);
    const size_t units = std::max<size_t>(1, (R + kRowGrain - 1) / kRowGrain);
    const double share = per_block > 0 ? static_cast<double>(R * per_row) / per_block : 1.0;
    const size_t p = std::clamp<size_t>(static_cast<size_t>(share + 0.5), 1, units);
    for (size_t j = 0; j < p; ++j) {
      const size_t r0 = std::min(R, units * j / p * kRowGrain);
      const size_t r1 = std::min(R, units * (j + 1) / p * kRowGrain);
      pieces.push_back({static_cast<uint32_t>(i), static_cast<uint32_t>(r0),
                        static_cast<uint32_t>(r1), (r1 - r0) * per_row});
    }
  }
  std::stable_sort(pieces.begin(), pieces.end(),
                   [](const Piece& a, const Piece& b) { return a.work > b.work; });
  return blocks > 1;
}

// Runs body(piece) for every piece (over the threads when `split`), recording each failure.
template <class F>
void run_pieces(const std::vector<Piece>& pieces, bool split, std::vector<std::exception_ptr>& errs,
                const F& body) {
  errs.assign(pieces.size(), nullptr);
  auto one = [&](size_t i) {
    try {
      body(pieces[i]);
    } catch (...) {
      errs[i] = std::current_exception();
    }
  };
  if (split) {
    tl::parallel::run(pieces.size(), [&](size_t i) { one(i); });
  } else {
    for (size_t i = 0; i < pieces.size(); ++i) one(i);
  }
}

// The failed piece that a sequential loop over the groups would have met first (lowest group
// order, then lowest row), or pieces.size() when none failed.
size_t first_failure(const std::vector<Piece>& pieces, const std::vector<Group>& groups,
                     const std::vector<std::exception_ptr>& errs) {
  size_t best = pieces.size();
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (!errs[i]) continue;
    if (best == pieces.size()) {
      best = i;
      continue;
    }
    const size_t oi = groups[pieces[i].group].order, ob = groups[pieces[best].group].order;
    if (oi < ob || (oi == ob && pieces[i].r0 < pieces[best].r0)) best = i;
  }
  return best;
}

// acc = acc + y * w in the model dtype (the product rounded, then the sum); y is scratch.
void accumulate_weighted(float* acc, float* y, float w, size_t H, tl::DType d) {
  const float wd = rnd(w, d);  // the weight as the affine map converts it (exact f32 value)
  for (size_t i = 0; i < H; ++i) y[i] *= wd;
  tl::kernels::round_to_dtype(y, H, d);
  for (size_t i = 0; i < H; ++i) acc[i] += y[i];
  tl::kernels::round_to_dtype(acc, H, d);
}

// One token, after its gate/up products: output rows [r0, r1) of every group's down product, then
// the combine of those rows (see MoE::forward), in one region cut into row blocks. Every step of
// the combine is element-wise, so a block combines its own rows as soon as it has them, with the
// values of a pass over whole rows. Each group writes its output row straight to its place
// (`out` of the group, row dest[0]); groups run in order within a block, and the failure that a
// sequential loop would meet first (lowest group order, then lowest row) is rethrown.
void down_and_combine_one(const std::vector<Group>& groups, const float* acts, float* ranked,
                          const float* shared_out, const float* wts, size_t H, size_t k,
                          tl::DType d, float* out) {
  size_t inner = 0;  // down multiply-adds per output row, over all groups
  for (const Group& g : groups) inner += g.mlp->inner();
  const size_t units = (H + kRowGrain - 1) / kRowGrain;
  // Per unit of kRowGrain rows: the first failure of the block that starts there, and its group.
  thread_local std::vector<std::exception_ptr> tl_errs;
  thread_local std::vector<size_t> tl_failed;
  std::vector<std::exception_ptr>& errs = tl_errs;
  std::vector<size_t>& failed = tl_failed;
  errs.assign(units, nullptr);
  failed.assign(units, 0);
  tl::parallel::for_ranges(
      H, inner,
      [&](size_t r0, size_t r1) {
        for (size_t i = 0; i < groups.size(); ++i) {
          const Group& g = groups[i];
          try {
            linear_rows(g.mlp->down_proj, acts + g.act, 1, r0, r1,
                        g.out + (g.dest ? g.dest[0] : 0) * H + r0);
          } catch (...) {
            errs[r0 / kRowGrain] = std::current_exception();
            failed[r0 / kRowGrain] = g.order;
            return;
          }
        }
        const size_t w = r1 - r0;
        float* acc = out + r0;
        std::fill(acc, acc + w, 0.0f);
        for (size_t j = 0; j < k; ++j) accumulate_weighted(acc, ranked + j * H + r0, wts[j], w, d);
        if (shared_out) {  // added last, without any routing weight
          for (size_t i = 0; i < w; ++i) acc[i] += shared_out[r0 + i];
          tl::kernels::round_to_dtype(acc, w, d);
        }
      },
      kRowGrain);
  size_t first = units;
  for (size_t u = 0; u < units; ++u)
    if (errs[u] && (first == units || failed[u] < failed[first])) first = u;
  if (first < units) std::rethrow_exception(errs[first]);
}

}  // namespace

void topk_2d(const float* probs, size_t n, size_t E, size_t k, float* weights, uint32_t* ids) {
  if (n > 0 && k > E)
    throw tl::InternalFailure("index out of bounds: the len is " + std::to_string(E) +
                              " but the index is " + std::to_string(E));
  thread_local std::vector<uint32_t> order;
  order.resize(E);
  for (size_t t = 0; t < n; ++t) {
    const float* p = probs + t * E;
    // Descending probability, NaN below every number, then ascending id: a total order, so the
    // partial sort gives exactly the first k entries of a stable descending sort.
    auto key = [p](uint32_t i) { return std::isnan(p[i]) ? -INFINITY : p[i]; };
    auto before = [&](uint32_t a, uint32_t b) {
      const float ka = key(a), kb = key(b);
      return ka > kb || (ka == kb && a < b);
    };
    for (size_t i = 0; i < E; ++i) order[i] = (uint32_t)i;
    std::partial_sort(order.begin(), order.begin() + k, order.end(), before);
    for (size_t j = 0; j < k; ++j) {
      ids[t * k + j] = order[j];
      weights[t * k + j] = p[order[j]];
    }
  }
}

MoE MoE::load(const Config& cfg, const tl::VarBuilder& vb) {
  if (!cfg.moe_config) throw tl::InternalFailure("MoE::load without moe_config");
  const MoeConfig& mc = *cfg.moe_config;
  MoE m;
  // Grows one expert at a time: an inflated count fails at its first missing tensor instead of
  // reserving memory up front.
  for (uint64_t j = 0; j < mc.n_routed_experts; ++j)
    m.experts.push_back(
        Mlp::load(cfg, vb.pp("experts." + std::to_string(j)), (size_t)mc.intermediate_size));
  if (mc.n_shared_experts)
    m.shared_experts = Mlp::load(cfg, vb.pp("shared_experts"),
                                 (size_t)(*mc.n_shared_experts * mc.intermediate_size));
  m.gate = vb.get({(size_t)mc.n_routed_experts, (size_t)cfg.hidden_size}, "gate.weight");
  m.num_experts_per_tok = mc.num_experts_per_tok;
  m.n_routed_experts = mc.n_routed_experts;
  m.routed_scaling_factor = mc.routed_scaling_factor;
  m.norm_topk_prob = mc.norm_topk_prob;
  return m;
}

void MoE::forward(const float* x, size_t n, float* out, MoEScratch& scratch) const {
  const size_t E = gate.shape()[0], H = gate.shape()[1], k = num_experts_per_tok;
  const tl::DType d = gate.dtype();
  if (n == 0) return;
  if (experts.size() != E) throw tl::InternalFailure("MoE: expert count differs from router rows");

  // Router in f32: the input rows are exact in f32 and the stored router weight is widened.
  float* probs = scratch.probs.get(n, E);
  if (d == tl::DType::BF16) {
    float* g32 = scratch.router32.get(E, H);
    tl::kernels::load_as_f32(gate.data<uint8_t>(), d, g32, E * H);
    tl::kernels::matmul_xwt(x, n, H, g32, tl::DType::F32, E, probs);
  } else {
    tl::kernels::matmul_xwt(x, n, H, gate.data<uint8_t>(), d, E, probs);
  }
  if (E == 0) throw tl::Error("empty tensor for reduce");  // the softmax's max over no experts
  for (size_t t = 0; t < n; ++t) softmax_row(probs + t * E, E, E, tl::DType::F32);

  // Selection, then renormalisation (k >= 2 only) and scaling (always), in f32. More experts per
  // token than there are is refused before the (n, k) buffers are sized from k: a configured k
  // near 2^64 would otherwise ask for (or wrap to) an absurd allocation first.
  if (k > E)
    throw tl::InternalFailure("index out of bounds: the len is " + std::to_string(E) +
                              " but the index is " + std::to_string(E));
  // Integer scratch, kept per calling thread so that its capacity is reused. Bound to
  // references here: inside the parallel regions below, the names of thread_local variables would
  // denote each worker thread's own (empty) copies.
  thread_local std::vector<uint32_t> tl_ids, tl_start, tl_slots, tl_fill;
  thread_local std::vector<Group> tl_groups;
  thread_local std::vector<Piece> tl_up, tl_down;
  thread_local std::vector<std::exception_ptr> tl_errs_up, tl_errs_down;
  std::vector<uint32_t>& ids = tl_ids;
  std::vector<uint32_t>& start = tl_start;
  std::vector<uint32_t>& slots = tl_slots;
  std::vector<uint32_t>& fill = tl_fill;
  std::vector<Group>& groups = tl_groups;
  std::vector<Piece>& up_pieces = tl_up;
  std::vector<Piece>& down_pieces = tl_down;
  std::vector<std::exception_ptr>& errs_up = tl_errs_up;
  std::vector<std::exception_ptr>& errs_down = tl_errs_down;
  ids.resize(n * k);
  float* wts = scratch.weights.get(n, k);
  topk_2d(probs, n, E, k, wts, ids.data());
  if (k >= 2 && norm_topk_prob)
    for (size_t t = 0; t < n; ++t) {
      float s = 0.0f;
      for (size_t j = 0; j < k; ++j) s += wts[t * k + j];
      for (size_t j = 0; j < k; ++j) wts[t * k + j] /= s;
    }
  for (size_t i = 0; i < n * k; ++i) wts[i] = wts[i] * routed_scaling_factor + 0.0f;

  // Routed experts and the shared expert. The tokens of a chunk are grouped by expert so that
  // each chosen expert runs once over all of its rows. All experts' gate/up products run in one
  // parallel region and all down products in a second one, each cut into row blocks that free
  // threads take (see cut). The outputs are kept per (token, rank) and then summed per token in
  // rank order, the shared expert's output last, exactly as a token-by-token loop would.
  size_t Ir = 0;  // widest routed expert
  for (const Mlp& e : experts) Ir = std::max(Ir, e.inner());
  const size_t Is = shared_experts ? shared_experts->inner() : 0, ns = shared_experts ? 1 : 0;
  const size_t act_width = k * Ir + Is;  // activation floats per token
  const size_t chunk =
      std::max<size_t>(1, kMaxChunkFloats / std::max<size_t>({1, (k + ns) * H, act_width}));
  for (size_t t0 = 0; t0 < n; t0 += chunk) {
    const size_t nt = std::min(chunk, n - t0);
    // Counting sort of the chunk's (token, rank) slots by expert id; within an expert the slots
    // stay in token order.
    start.assign(E + 1, 0);
    for (size_t i = 0; i < nt * k; ++i) ++start[ids[t0 * k + i] + 1];
    for (size_t e = 0; e < E; ++e) start[e + 1] += start[e];
    slots.resize(nt * k);
    fill.assign(start.begin(), start.end() - 1);
    for (size_t i = 0; i < nt * k; ++i) slots[fill[ids[t0 * k + i]]++] = (uint32_t)i;

    float* rows = scratch.rows.get(nt, k * H);      // (nt * k, H) inputs in slot order
    float* ranked = scratch.ranked.get(nt, k * H);  // (token, rank) -> expert output row
    float* shared_out = shared_experts ? scratch.shared_out.get(nt, H) : nullptr;
    // One token: every chosen expert has the token's row as its only input row; no gathering.
    const bool one = nt == 1;
    if (!one)
      tl::parallel::for_ranges(nt * k, H, [&](size_t a, size_t b) {
        for (size_t i = a; i < b; ++i) {
          const float* src = x + (t0 + slots[i] / k) * H;
          std::copy(src, src + H, rows + i * H);
        }
      });
    groups.clear();
    size_t act = 0, tile = 0;
    for (size_t e = 0; e < E; ++e) {
      const size_t c = start[e + 1] - start[e];
      if (c == 0) continue;
      groups.push_back({&experts[e], one ? x + t0 * H : rows + start[e] * H, c, act, tile, ranked,
                        slots.data() + start[e], e});
      act += c * experts[e].inner();
      tile += c * H;
    }
    if (shared_experts)
      groups.push_back({&*shared_experts, x + t0 * H, nt, act, tile, shared_out, nullptr, E});
    // Gate and up outputs in blocks: piece [r0, r1) of a group with c rows is a (c, r1 - r0)
    // tile at offset act + c * r0. The activations silu(gate) * up go to `acts` row-major,
    // (c, I) per group, which is what the down product reads.
    float* gates = scratch.gate.get(nt, act_width);
    float* ups = scratch.up.get(nt, act_width);
    float* acts = scratch.act.get(nt, act_width);
    float* tiles = scratch.tiles.get(nt, (k + ns) * H);  // down outputs, tiled the same way

    const bool split_up = cut(groups, false, H, up_pieces);
    run_pieces(up_pieces, split_up, errs_up, [&](const Piece& p) {
      const Group& g = groups[p.group];
      const size_t c = g.rows, I = g.mlp->inner(), w = p.r1 - p.r0;
      float* gp = gates + g.act + c * p.r0;
      float* up = ups + g.act + c * p.r0;
      // Each piece runs on one thread (pieces are the split), so its products take wide tiles.
      linear_rows(g.mlp->gate_proj, g.x, c, p.r0, p.r1, gp, true);
      linear_rows(g.mlp->up_proj, g.x, c, p.r0, p.r1, up, true);
      silu_mul(gp, up, c * w, g.mlp->gate_proj.dtype());
      for (size_t m = 0; m < c; ++m)
        std::copy(gp + m * w, gp + (m + 1) * w, acts + g.act + m * I + p.r0);
    });
    // A sequential loop stops at its first failure: the down products of the experts before the
    // first failed gate/up product still run (one of them may fail first), the others do not.
    const size_t fail_up = first_failure(up_pieces, groups, errs_up);
    if (one && H > 0 && fail_up == up_pieces.size()) {
      down_and_combine_one(groups, acts, ranked, shared_out, wts + t0 * k, H, k, d, out + t0 * H);
      continue;
    }
    const bool split_down = cut(groups, true, H, down_pieces);
    if (fail_up < up_pieces.size()) {
      const size_t limit = groups[up_pieces[fail_up].group].order;
      down_pieces.erase(
          std::remove_if(down_pieces.begin(), down_pieces.end(),
                         [&](const Piece& p) { return groups[p.group].order >= limit; }),
          down_pieces.end());
    }
    run_pieces(down_pieces, split_down, errs_down, [&](const Piece& p) {
      const Group& g = groups[p.group];
      const size_t c = g.rows, w = p.r1 - p.r0;
      float* yp = tiles + g.tile + c * p.r0;
      linear_rows(g.mlp->down_proj, acts + g.act, c, p.r0, p.r1, yp, true);
      for (size_t m = 0; m < c; ++m)
        std::copy(yp + m * w, yp + (m + 1) * w, g.out + (g.dest ? g.dest[m] : m) * H + p.r0);
    });
    const size_t fail_down = first_failure(down_pieces, groups, errs_down);
    if (fail_down < down_pieces.size()) std::rethrow_exception(errs_down[fail_down]);
    if (fail_up < up_pieces.size()) std::rethrow_exception(errs_up[fail_up]);

    tl::parallel::for_ranges(nt, (k + ns) * H, [&](size_t a, size_t b) {
      for (size_t t = a; t < b; ++t) {
        float* acc = out + (t0 + t) * H;
        std::fill(acc, acc + H, 0.0f);
        for (size_t j = 0; j < k; ++j)
          accumulate_weighted(acc, ranked + (t * k + j) * H, wts[(t0 + t) * k + j], H, d);
        if (shared_out) {  // added last, without any routing weight
          for (size_t i = 0; i < H; ++i) acc[i] += shared_out[t * H + i];
          tl::kernels::round_to_dtype(acc, H, d);
        }
      }
    });
  }
}

}  // namespace model
