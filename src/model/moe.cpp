#include "model/moe.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <string>

#include "tensor/error.h"
#include "tensor/half.h"
#include "tensor/kernels.h"

namespace model {

namespace {

// Upper bound on the floats kept for one chunk's expert outputs (tokens x k x H, 64 MiB): a
// longer prompt is routed in chunks of tokens, each expert's weights read once per chunk.
constexpr size_t kMaxRankedFloats = size_t{16} << 20;

// Experts with at most this many rows each run one per thread rather than one after another.
constexpr size_t kSpreadMaxRows = 4;

// acc = acc + y * w in the model dtype (the product rounded, then the sum); y is scratch.
void accumulate_weighted(float* acc, float* y, float w, size_t H, tl::DType d) {
  const float wd = rnd(w, d);  // the weight as the affine map converts it (exact f32 value)
  for (size_t i = 0; i < H; ++i) y[i] *= wd;
  tl::kernels::round_to_dtype(y, H, d);
  for (size_t i = 0; i < H; ++i) acc[i] += y[i];
  tl::kernels::round_to_dtype(acc, H, d);
}

// Softmax over one row in f32: the maximum starts at element 0 and is replaced by any larger
// element (a NaN at element 0 therefore wins and later NaNs are skipped), then exp(x - max) / sum.
void softmax_row(float* p, size_t E) {
  float mx = p[0];
  for (size_t i = 1; i < E; ++i)
    if (mx < p[i]) mx = p[i];
  float sum = 0.0f;
  for (size_t i = 0; i < E; ++i) {
    p[i] = expf(p[i] - mx);
    sum += p[i];
  }
  for (size_t i = 0; i < E; ++i) p[i] /= sum;
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
  for (size_t t = 0; t < n; ++t) softmax_row(probs + t * E, E);

  // Selection, then renormalisation (k >= 2 only) and scaling (always), in f32. More experts per
  // token than there are is refused before the (n, k) buffers are sized from k: a configured k
  // near 2^64 would otherwise ask for (or wrap to) an absurd allocation first.
  if (k > E)
    throw tl::InternalFailure("index out of bounds: the len is " + std::to_string(E) +
                              " but the index is " + std::to_string(E));
  // Integer and per-expert scratch, kept per calling thread so that its capacity is reused.
  // Bound to references here: inside the parallel region below, the names of thread_local
  // variables would denote each worker thread's own (empty) copies.
  thread_local std::vector<uint32_t> tl_ids, tl_start, tl_slots, tl_fill, tl_active;
  thread_local std::vector<std::exception_ptr> tl_errs;
  std::vector<uint32_t>& ids = tl_ids;
  std::vector<uint32_t>& start = tl_start;
  std::vector<uint32_t>& slots = tl_slots;
  std::vector<uint32_t>& fill = tl_fill;
  std::vector<uint32_t>& active = tl_active;
  std::vector<MoEScratch::Expert>& spare = scratch.side;
  std::vector<std::exception_ptr>& errs = tl_errs;
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

  // Routed experts. The tokens of a chunk are grouped by expert so that each chosen expert runs
  // once over all of its rows; the outputs are kept per (token, rank) and then summed per token
  // in rank order, exactly as a token-by-token loop would.
  for (size_t i = 0; i < n * H; ++i) out[i] = 0.0f;
  if (k > 0) {
    const size_t chunk = std::max<size_t>(1, kMaxRankedFloats / std::max<size_t>(1, k * H));
    for (size_t t0 = 0; t0 < n; t0 += chunk) {
      const size_t nt = std::min(chunk, n - t0);
      // Counting sort of the chunk's (token, rank) slots by expert id; within an expert the
      // slots stay in token order.
      start.assign(E + 1, 0);
      for (size_t i = 0; i < nt * k; ++i) ++start[ids[t0 * k + i] + 1];
      for (size_t e = 0; e < E; ++e) start[e + 1] += start[e];
      slots.resize(nt * k);
      fill.assign(start.begin(), start.end() - 1);
      for (size_t i = 0; i < nt * k; ++i) slots[fill[ids[t0 * k + i]]++] = (uint32_t)i;
      float* ranked = scratch.ranked.get(nt, k * H);  // (token, rank) -> expert output row
      // One expert over its rows: gather them, run the MLP, put each output row in its place.
      auto run_expert = [&](size_t e, MoEScratch::Expert& w) {
        const size_t c = start[e + 1] - start[e];
        float* gx = w.x.get(c, H);
        float* gy = w.y.get(c, H);
        for (size_t r = 0; r < c; ++r) {
          const size_t t = slots[start[e] + r] / k;
          std::copy(x + (t0 + t) * H, x + (t0 + t + 1) * H, gx + r * H);
        }
        experts[e].forward(gx, c, gy, w.mlp);
        for (size_t r = 0; r < c; ++r)
          std::copy(gy + r * H, gy + (r + 1) * H, ranked + (size_t)slots[start[e] + r] * H);
      };
      active.clear();
      size_t most = 0;
      for (size_t e = 0; e < E; ++e)
        if (start[e + 1] > start[e]) {
          active.push_back((uint32_t)e);
          most = std::max<size_t>(most, start[e + 1] - start[e]);
        }
      const size_t threads = (size_t)tl::kernels::num_threads();
      if (threads > 1 && most <= kSpreadMaxRows && 2 * active.size() >= threads) {
        // Few rows per expert (a decode step): each expert's products are matrix-vector passes
        // too small to share well between threads, so the experts themselves run side by side,
        // one per thread, each with its own scratch. Failures are collected and the one of the
        // lowest expert id is raised, as a sequential loop would.
        if (spare.size() < active.size()) spare.resize(active.size());
        errs.assign(active.size(), nullptr);
#pragma omp parallel for schedule(dynamic, 1)
        for (size_t a = 0; a < active.size(); ++a) {
          try {
            run_expert(active[a], spare[a]);
          } catch (...) {
            errs[a] = std::current_exception();
          }
        }
        for (const std::exception_ptr& e : errs)
          if (e) std::rethrow_exception(e);
      } else {
        for (uint32_t e : active) run_expert(e, scratch.expert);
      }
      for (size_t t = 0; t < nt; ++t)
        for (size_t j = 0; j < k; ++j)
          accumulate_weighted(out + (t0 + t) * H, ranked + (t * k + j) * H, wts[(t0 + t) * k + j],
                              H, d);
    }
  }

  // The shared expert over all rows, added last without any routing weight.
  if (shared_experts) {
    float* s = scratch.shared_out.get(n, H);
    shared_experts->forward(x, n, s, scratch.expert.mlp);
    for (size_t i = 0; i < n * H; ++i) out[i] += s[i];
    tl::kernels::round_to_dtype(out, n * H, d);
  }
}

}  // namespace model
