#include "model/attention.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "tensor/error.h"
#include "tensor/half.h"
#include "tensor/kernels.h"

namespace model {

namespace {

// Softmax over the first `n` entries of one score row, in d: max (first element wins unless a
// later one is larger, so a leading NaN propagates), x - max, exp, a sum, then division. The sum
// accumulates in f32 and is rounded once to d: rounding every partial sum in F16 would drop every
// term below half a unit of the running total (at 2048 keys each exp <= 1 is lost). Entries n.. are
// masked (minus infinity) and come out as exact zeros; they are written only when `row_len` > n.
void softmax_row(float* s, size_t n, size_t row_len, tl::DType d) {
  float m = s[0];
  for (size_t j = 1; j < n; ++j)
    if (m < s[j]) m = s[j];
  if (d == tl::DType::F32) {
    double sum = 0;
    for (size_t j = 0; j < n; ++j) {
      s[j] = expf(s[j] - m);
      sum += s[j];
    }
    const float fs = static_cast<float>(sum);
    for (size_t j = 0; j < n; ++j) s[j] = s[j] / fs;
  } else {
    for (size_t j = 0; j < n; ++j) s[j] = s[j] - m;
    tl::kernels::round_to_dtype(s, n, d);
    for (size_t j = 0; j < n; ++j) s[j] = expf(s[j]);
    tl::kernels::round_to_dtype(s, n, d);
    float sum = 0;
    for (size_t j = 0; j < n; ++j) sum += s[j];
    sum = rnd(sum, d);
    for (size_t j = 0; j < n; ++j) s[j] = s[j] / sum;
    tl::kernels::round_to_dtype(s, n, d);
  }
  for (size_t j = n; j < row_len; ++j) s[j] = 0.0f;
}

// Raw dot products -> scores in d: round(round(dot) * scale).
void scale_scores(float* s, size_t n, float scale, tl::DType d) {
  tl::kernels::round_to_dtype(s, n, d);
  for (size_t j = 0; j < n; ++j) s[j] = s[j] * scale;
  tl::kernels::round_to_dtype(s, n, d);
}

// o[i] = round(o[i] * sigmoid(g[i])), sigmoid = 1 / (exp(-g) + 1) with each step rounded in d.
void sigmoid_gate(float* o, const float* g, size_t n, tl::DType d) {
  constexpr size_t kChunk = 512;
  float t[kChunk];
  for (size_t i0 = 0; i0 < n; i0 += kChunk) {
    const size_t m = std::min(kChunk, n - i0);
    for (size_t i = 0; i < m; ++i) t[i] = expf(-g[i0 + i]);
    tl::kernels::round_to_dtype(t, m, d);
    for (size_t i = 0; i < m; ++i) t[i] = t[i] + 1.0f;
    tl::kernels::round_to_dtype(t, m, d);
    for (size_t i = 0; i < m; ++i) t[i] = 1.0f / t[i];
    tl::kernels::round_to_dtype(t, m, d);
    for (size_t i = 0; i < m; ++i) o[i0 + i] = o[i0 + i] * t[i];
    tl::kernels::round_to_dtype(o + i0, m, d);
  }
}

}  // namespace

Attention Attention::load(const Config& cfg, const tl::VarBuilder& vb, size_t num_heads,
                          size_t num_kv_heads, size_t head_dim, size_t rotary_dim, bool gated) {
  const size_t H = cfg.hidden_size;
  Attention a;
  if (cfg.use_qk_norm) {
    a.q_norm = RmsNorm::load(head_dim, cfg.norm_eps, vb.pp("q_norm"));
    a.k_norm = RmsNorm::load(head_dim, cfg.norm_eps, vb.pp("k_norm"));
  }
  // Head counts times head widths must not wrap: a wrapped product (2^62 heads of width 4 is 0)
  // can match a file's empty projection, and the forward pass would then walk 2^62 heads through
  // zero-sized buffers. No file can hold a tensor that large, so an overflow is refused.
  auto rows = [&](size_t heads, size_t factor, const char* proj) {
    size_t n = 0;
    if (__builtin_mul_overflow(heads, head_dim, &n) || __builtin_mul_overflow(n, factor, &n))
      throw tl::Error("shape overflow for " + vb.pp(proj).path("weight") + ": " +
                      std::to_string(heads) + " heads of width " + std::to_string(head_dim));
    return n;
  };
  a.q_proj = load_linear(H, rows(num_heads, gated ? 2 : 1, "q_proj"), cfg.attention_qkv_bias,
                         vb.pp("q_proj"));
  a.k_proj =
      load_linear(H, rows(num_kv_heads, 1, "k_proj"), cfg.attention_qkv_bias, vb.pp("k_proj"));
  a.v_proj =
      load_linear(H, rows(num_kv_heads, 1, "v_proj"), cfg.attention_qkv_bias, vb.pp("v_proj"));
  a.o_proj = load_linear(rows(num_heads, 1, "o_proj"), H, cfg.attention_out_bias, vb.pp("o_proj"));
  a.num_heads = num_heads;
  a.num_kv_heads = num_kv_heads;
  a.head_dim = head_dim;
  a.rotary_dim = rotary_dim;
  a.gated = gated;
  return a;
}

void Attention::forward(const float* x, size_t S, const float* cos, const float* sin,
                        size_t seqlen_offset, LayerCache& entry, AttentionScratch& scratch,
                        float* out) const {
  const tl::DType d = q_proj.dtype();
  const size_t Hq = num_heads, Hkv = num_kv_heads, D = head_dim, R = rotary_dim;
  const size_t qw = gated ? 2 * D : D;  // q_proj outputs per head

  // Projections: qp (S, Hq, qw), k and v (S, Hkv, D), each rounded in d.
  float* qp = scratch.qp.get(S, mul_or_throw(Hq, qw));
  float* k = scratch.k.get(S, mul_or_throw(Hkv, D));
  float* v = scratch.v.get(S, Hkv * D);
  linear_forward(q_proj, x, S, qp);
  linear_forward(k_proj, x, S, k);
  linear_forward(v_proj, x, S, v);

  // Split a gated projection: per head, D query rows then D gate rows.
  float* q = qp;
  float* gate = nullptr;
  if (gated && D > 0) {  // zero-width heads have nothing to split (and any head count)
    q = scratch.q.get(S, Hq * D);
    gate = scratch.gate.get(S, Hq * D);
    for (size_t r = 0; r < S * Hq; ++r) {
      std::memcpy(q + r * D, qp + r * qw, D * sizeof(float));
      std::memcpy(gate + r * D, qp + r * qw + D, D * sizeof(float));
    }
  }
  if (q_norm && D > 0) q_norm->forward(q, S * Hq, q);
  if (k_norm && D > 0) k_norm->forward(k, S * Hkv, k);

  // The rotated part of each head is its leading R channels; a wider rotary than the head fails
  // on the queries (shape (1, Hq, S, D) after the head transpose), before the cache changes.
  if (R > D)
    throw tl::Error("narrow invalid args start + len > dim_len: " + tl::shape_str({1, Hq, S, D}) +
                    ", dim: 3, start: 0, len:" + std::to_string(R));
  for (size_t s = 0; s < S && R > 0; ++s) {
    for (size_t h = 0; h < Hq; ++h)
      apply_rotary(q + (s * Hq + h) * D, cos + s * R, sin + s * R, R, d);
    for (size_t h = 0; h < Hkv; ++h)
      apply_rotary(k + (s * Hkv + h) * D, cos + s * R, sin + s * R, R, d);
  }

  // Every remaining failure is checked before the cache is written, in the order the steps
  // would meet them: the append, the grouped-query repetition, the mask addition.
  const size_t L = entry.kv_len;  // committed positions
  const size_t T = L + S;         // keys visible to the last new row
  if (L > 0 && (entry.kv_heads != Hkv || entry.kv_head_dim != D)) {
    const size_t dim = entry.kv_heads != Hkv ? 1 : 3;
    throw tl::Error("shape mismatch in cat for dim " + std::to_string(dim) + ", shape for arg 1: " +
                    tl::shape_str({1, entry.kv_heads, L, entry.kv_head_dim}) +
                    " shape for arg 2: " + tl::shape_str({1, Hkv, S, D}));
  }
  if (L > 0 && entry.kv_dtype != d)
    throw tl::Error(std::string("dtype mismatch in cat, lhs: ") + tl::dtype_name(entry.kv_dtype) +
                    ", rhs: " + tl::dtype_name(d));
  size_t n_rep = 1;
  if (Hq != Hkv) {
    if (Hkv == 0) throw tl::InternalFailure("attempt to divide by zero");
    n_rep = Hq / Hkv;
    if (Hkv * n_rep * T * D != Hq * T * D)
      throw tl::Error("shape mismatch in reshape, lhs: " + tl::shape_str({1, Hkv, n_rep, T, D}) +
                      ", rhs: " + tl::shape_str({1, Hq, T, D}));
  }
  if (S >= 2 && seqlen_offset != L)
    throw tl::Error("shape mismatch in broadcast_add, lhs: " + tl::shape_str({1, Hq, S, T}) +
                    ", rhs: " + tl::shape_str({1, 1, S, seqlen_offset + S}));

  // Append the new keys (after norm and rotary) and values as rows L..T-1, layout
  // [pos][kv_head][D] in d. Capacity grows geometrically so appends are amortised O(1) per row.
  const size_t es = tl::dtype_size(d);
  const size_t row_elems = Hkv * D;
  const size_t row_bytes = mul_or_throw(row_elems, es);
  const size_t need = mul_or_throw(T, row_bytes);
  entry.keys.reserve(need, L * row_bytes);  // the committed rows move with a regrown block
  entry.values.reserve(need, L * row_bytes);
  tl::kernels::store_as(k, entry.keys.bytes() + L * row_bytes, d, S * row_elems);
  tl::kernels::store_as(v, entry.values.bytes() + L * row_bytes, d, S * row_elems);
  entry.kv_dtype = d;
  entry.kv_heads = Hkv;
  entry.kv_head_dim = D;
  entry.kv_pending = T;

  const uint8_t* K = entry.keys.bytes();
  const uint8_t* V = entry.values.bytes();
  const float scale = const_in(1.0 / std::sqrt(static_cast<double>(D)), d);  // 1/sqrt(D)
  float* o = scratch.o.get(S, Hq * D);  // (S, Hq, D)

  if (Hq > 0 && D > 0) {
    if (S == 1) {
      // One query row over all T keys: scores for every head, softmax, then p . v. Both passes
      // read each cached row once; query head h reads kv head h / n_rep.
      float* sc = scratch.scores.get(T, Hq);  // (Hq, T)
      const int nt = tl::kernels::num_threads();
      const bool par = T * row_elems >= (1u << 15) && nt > 1;
#pragma omp parallel for schedule(static) if (par)
      for (size_t j = 0; j < T; ++j) {
        const uint8_t* krow = K + j * row_bytes;
        for (size_t h = 0; h < Hq; ++h)
          sc[h * T + j] = tl::kernels::dot_row(q + h * D, krow + (h / n_rep) * D * es, d, D);
      }
#pragma omp parallel for schedule(static) if (par)
      for (size_t h = 0; h < Hq; ++h) {
        scale_scores(sc + h * T, T, scale, d);
        softmax_row(sc + h * T, T, T, d);
      }
      // Partial sums per thread over a static split of positions, then a fixed-order reduction.
      const size_t parts = par ? static_cast<size_t>(nt) : 1;
      float* acc = scratch.acc.get(parts, Hq * D);
      std::fill(acc, acc + parts * Hq * D, 0.0f);
#pragma omp parallel num_threads(static_cast <int>(parts)) if (par)
      {
        const size_t t = static_cast<size_t>(omp_get_thread_num());
        const size_t n = static_cast<size_t>(omp_get_num_threads());
        const size_t j0 = T * t / n, j1 = T * (t + 1) / n;
        float* a = acc + t * Hq * D;
        for (size_t j = j0; j < j1; ++j) {
          const uint8_t* vrow = V + j * row_bytes;
          for (size_t h = 0; h < Hq; ++h)
            tl::kernels::axpy_row(sc[h * T + j], vrow + (h / n_rep) * D * es, d, a + h * D, D);
        }
      }
      for (size_t i = 0; i < Hq * D; ++i) {
        float sum = acc[i];
        for (size_t t = 1; t < parts; ++t) sum += acc[t * Hq * D + i];
        o[i] = rnd(sum, d);
      }
    } else {
      // A chunk of S >= 2 rows: per kv head, matrix products over its n_rep query heads stacked
      // as rows (head-major), in blocks of query positions so the score block stays bounded.
      // Row i (absolute position L + i) sees keys 0..L+i.
      float* Kg = scratch.acc.get(T, D);      // (T, D) keys of kv head g, widened
      float* VgT = scratch.scores.get(T, D);  // (D, T) values of kv head g, widened, transposed
      const size_t budget = size_t{1} << 22;  // floats per score block
      const size_t blk = std::max<size_t>(1, std::min(S, budget / std::max<size_t>(1, n_rep * T)));
      // Per block: queries (n_rep * blk, D), outputs (n_rep * blk, D), scores (n_rep * blk, T).
      float* Qg = scratch.tiles.get(n_rep * blk, 2 * D + T);
      float* Og = Qg + n_rep * blk * D;
      float* sc = Og + n_rep * blk * D;
      for (size_t g = 0; g < Hkv; ++g) {
        for (size_t j = 0; j < T; ++j) {
          tl::kernels::load_as_f32(K + j * row_bytes + g * D * es, d, Kg + j * D, D);
          const uint8_t* vr = V + j * row_bytes + g * D * es;
          if (d == tl::DType::F32) {
            const float* vf = reinterpret_cast<const float*>(vr);
            for (size_t c = 0; c < D; ++c) VgT[c * T + j] = vf[c];
          } else {
            const uint16_t* vh = reinterpret_cast<const uint16_t*>(vr);
            for (size_t c = 0; c < D; ++c) VgT[c * T + j] = tl::f16_to_f32(vh[c]);
          }
        }
        for (size_t i0 = 0; i0 < S; i0 += blk) {
          const size_t nb = std::min(blk, S - i0);
          const size_t rows = n_rep * nb;
          for (size_t r = 0; r < n_rep; ++r)
            for (size_t i = 0; i < nb; ++i)
              std::memcpy(Qg + (r * nb + i) * D, q + ((i0 + i) * Hq + g * n_rep + r) * D,
                          D * sizeof(float));
          tl::kernels::matmul_xwt(Qg, rows, D, Kg, tl::DType::F32, T, sc);
#pragma omp parallel for schedule(static) if (rows * T >= (1u << 15))
          for (size_t rr = 0; rr < rows; ++rr) {
            const size_t i = i0 + rr % nb;
            float* srow = sc + rr * T;
            const size_t vis = L + i + 1;
            scale_scores(srow, vis, scale, d);
            softmax_row(srow, vis, T, d);
          }
          tl::kernels::matmul_xwt(sc, rows, T, VgT, tl::DType::F32, D, Og);
          for (size_t r = 0; r < n_rep; ++r)
            for (size_t i = 0; i < nb; ++i) {
              float* dst = o + ((i0 + i) * Hq + g * n_rep + r) * D;
              const float* src = Og + (r * nb + i) * D;
              for (size_t c = 0; c < D; ++c) dst[c] = rnd(src[c], d);
            }
        }
      }
    }
  } else {
    std::fill(o, o + S * Hq * D, 0.0f);
  }

  if (gated) sigmoid_gate(o, gate, S * Hq * D, d);
  linear_forward(o_proj, o, S, out);
}

}  // namespace model
