#include "model/delta_chunk.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "tensor/kernels.h"

namespace model {

namespace {

using tl::DType;
using tl::kernels::matmul_xwt;

constexpr size_t B = kDeltaBlock;

// Working memory of one head, carved from `work` in this order (floats). "T" marks a transposed
// (D, n) layout, which lets every product be one X . W^T call with contiguous rows.
struct Work {
  float* St;   // (D, D) state transposed, [b][a]
  float* Qb;   // (n, D) the block's queries
  float* Qe;   // (n, D) queries times exp(G_i): they read the decayed block-start state
  float* Kb;   // (n, D) keys
  float* BvT;  // (D, n) beta_i v_i
  float* BkT;  // (D, n) beta_i exp(G_i) k_i
  float* UT;   // (D, n) W (beta V), then the corrections v_new = W (beta V) - Wk S0
  float* Wk;   // (n, D) W (beta exp(G) K)
  float* PT;   // (D, n) (Wk S0)^T
  float* Oi;   // (n, D) the queries' read of the block-start state
  float* Oa;   // (n, D) in-block attention output
  float* KdT;  // (D, n) keys times exp(G_last - G_i)
  float* Up;   // (D, D) the block's write to the transposed state
  float* W;    // (n, n) (I + L)^-1, unit lower triangular
  float* L;    // (n, n) strictly lower: beta_i (k_i . k_j) exp(G_i - G_j)
  float* A;    // (n, n) lower with diagonal: (q_i . k_j) exp(G_i - G_j)
  float* Dm;   // (n, n) lower with diagonal: exp(G_i - G_j)
  float* eg;   // (n) exp(G_i)
  double* G;   // (n) cumulative log decay within the block
};

constexpr size_t kBlockArrays = 11, kSquareArrays = 4;

Work carve(float* w, size_t D) {
  Work s;
  auto take = [&](size_t n) {
    float* p = w;
    w += n;
    return p;
  };
  s.St = take(D * D);
  for (float** p : {&s.Qb, &s.Qe, &s.Kb, &s.BvT, &s.BkT, &s.UT, &s.Wk, &s.PT, &s.Oi, &s.Oa, &s.KdT})
    *p = take(B * D);
  s.Up = take(D * D);
  for (float** p : {&s.W, &s.L, &s.A, &s.Dm}) *p = take(B * B);
  s.eg = take(B);
  // Doubles last, rounded up to an 8-byte boundary (one spare float).
  uintptr_t p = reinterpret_cast<uintptr_t>(take(2 * B + 1));
  p = (p + alignof(double) - 1) & ~(uintptr_t{alignof(double)} - 1);
  s.G = reinterpret_cast<double*>(p);
  return s;
}

// W = (I + L)^-1 for strictly lower L (n x n), by forward substitution: row i is e_i minus the
// earlier rows weighted by L[i][m]; row m has entries in columns 0..m only.
[[gnu::always_inline]] inline void invert_unit_lower(const float* L, size_t n, float* W) {
  std::fill(W, W + n * n, 0.0f);
  for (size_t i = 0; i < n; ++i) {
    float* wi = W + i * n;
    const float* li = L + i * n;
    for (size_t m = 0; m < i; ++m) {
      const float c = li[m];
      const float* wm = W + m * n;
      for (size_t j = 0; j <= m; ++j) wi[j] -= c * wm[j];
    }
    wi[i] = 1.0f;
  }
}

}  // namespace

size_t delta_chunk_floats(size_t D) {
  return 2 * D * D + kBlockArrays * B * D + kSquareArrays * B * B + B + 2 * B + 1;
}

// The loops here are element-wise (no reductions across lanes), so every target computes the
// same values; the clones only pick wider vectors on x86 machines that have them.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#endif
void delta_rule_chunk(const float* S_in, float* S_out, size_t D, size_t T, const float* q,
                      const float* k, const float* v, size_t ld, const float* log_decay,
                      const float* beta, size_t ld_gate, float* o, float* work) {
  if (D == 0) return;
  const Work w = carve(work, D);
  float* St = w.St;
  if (S_in) {
    for (size_t a = 0; a < D; ++a)
      for (size_t b = 0; b < D; ++b) St[b * D + a] = S_in[a * D + b];
  } else {
    std::fill(St, St + D * D, 0.0f);
  }

  for (size_t t0 = 0; t0 < T; t0 += B) {
    const size_t n = std::min(B, T - t0);

    // Cumulative log decay from the block start, in double: differences of nearby sums stay
    // exact even when the sums themselves are large. Every difference used is G_i - G_j with
    // i >= j, at most 0, so no exponential overflows. A decay of exactly 0 (log -inf) is taken
    // as exp(-1e4), which is 0 in f32 too, so that differences of sums stay defined.
    double acc = 0.0;
    for (size_t i = 0; i < n; ++i) {
      const float g = log_decay[(t0 + i) * ld_gate];
      acc += g < -1e4f ? -1e4f : g;
      w.G[i] = acc;
      w.eg[i] = std::exp(static_cast<float>(acc));
    }
    for (size_t i = 0; i < n; ++i)
      for (size_t j = 0; j <= i; ++j)
        w.Dm[i * n + j] = std::exp(static_cast<float>(w.G[i] - w.G[j]));

    // Gather the block: queries (plain and decayed), keys, and the right-hand sides beta v and
    // beta exp(G) k, transposed.
    for (size_t i = 0; i < n; ++i) {
      const size_t t = t0 + i;
      const float* qi = q + t * ld;
      const float* ki = k + t * ld;
      const float* vi = v + t * ld;
      const float bi = beta[t * ld_gate], be = bi * w.eg[i], ei = w.eg[i];
      float* Qb = w.Qb + i * D;
      float* Qe = w.Qe + i * D;
      float* Kb = w.Kb + i * D;
      for (size_t c = 0; c < D; ++c) {
        Qb[c] = qi[c];
        Qe[c] = qi[c] * ei;
        Kb[c] = ki[c];
        w.BvT[c * n + i] = vi[c] * bi;
        w.BkT[c * n + i] = ki[c] * be;
      }
    }

    // In-block interactions: L from the keys, A from queries and keys, both decayed.
    matmul_xwt(w.Kb, n, D, w.Kb, DType::F32, n, w.L);
    matmul_xwt(w.Qb, n, D, w.Kb, DType::F32, n, w.A);
    for (size_t i = 0; i < n; ++i) {
      const float bi = beta[(t0 + i) * ld_gate];
      float* li = w.L + i * n;
      float* ai = w.A + i * n;
      const float* di = w.Dm + i * n;
      for (size_t j = 0; j < i; ++j) li[j] = bi * li[j] * di[j];
      for (size_t j = 0; j <= i; ++j) ai[j] = ai[j] * di[j];
      for (size_t j = i; j < n; ++j) li[j] = 0.0f;
      for (size_t j = i + 1; j < n; ++j) ai[j] = 0.0f;
    }
    invert_unit_lower(w.L, n, w.W);

    // The WY form: U = W (beta V) and Wk = W (beta exp(G) K); against the block-start state the
    // corrections are v_new = U - Wk S0 (kept transposed), and the queries read Qe S0.
    matmul_xwt(w.BvT, D, n, w.W, DType::F32, n, w.UT);
    matmul_xwt(w.W, n, n, w.BkT, DType::F32, D, w.Wk);
    matmul_xwt(St, D, D, w.Wk, DType::F32, n, w.PT);
    for (size_t i = 0; i < D * n; ++i) w.UT[i] = w.UT[i] - w.PT[i];
    const float* VnT = w.UT;
    matmul_xwt(w.Qe, n, D, St, DType::F32, D, w.Oi);
    matmul_xwt(w.A, n, n, VnT, DType::F32, D, w.Oa);
    for (size_t i = 0; i < n; ++i) {
      float* oi = o + (t0 + i) * ld;
      const float* pi = w.Oi + i * D;
      const float* ai = w.Oa + i * D;
      for (size_t c = 0; c < D; ++c) oi[c] = pi[c] + ai[c];
    }

    // Carry the state: S = exp(G_last) S0 + sum_i (k_i exp(G_last - G_i)) v_new_i^T, here in
    // the transposed layout St[b][a].
    const double Gl = w.G[n - 1];
    for (size_t i = 0; i < n; ++i) {
      const float f = std::exp(static_cast<float>(Gl - w.G[i]));
      const float* ki = w.Kb + i * D;
      for (size_t c = 0; c < D; ++c) w.KdT[c * n + i] = ki[c] * f;
    }
    matmul_xwt(VnT, D, n, w.KdT, DType::F32, D, w.Up);
    const float el = w.eg[n - 1];
    for (size_t i = 0; i < D * D; ++i) St[i] = St[i] * el + w.Up[i];
  }

  for (size_t a = 0; a < D; ++a)
    for (size_t b = 0; b < D; ++b) S_out[a * D + b] = St[b * D + a];
}

}  // namespace model
