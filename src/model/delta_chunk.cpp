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

// Working memory of one head, carved from `work` in this order (floats).
struct Work {
  float* St;   // (D, D) state transposed, [b][a]: the right operand of the X . W^T products
  float* Qb;   // (n, D) the block's queries
  float* Qe;   // (n, D) queries times exp(G_i): they read the decayed block-start state
  float* Kb;   // (n, D) keys
  float* U;    // (n, D) beta_i v_i, then solved: W (beta V)
  float* Wk;   // (n, D) beta_i exp(G_i) k_i, then solved: W (beta exp(G) K)
  float* P;    // (n, D) Wk S0, then Qe S0
  float* Vn;   // (n, D) the block's corrections v_new = U - Wk S0
  float* VnT;  // (D, n) v_new transposed
  float* Kd;   // (D, n) keys times exp(G_last - G_i), transposed
  float* Oa;   // (n, D) in-block attention output
  float* Up;   // (D, D) the block's write to the transposed state
  float* L;    // (n, n) strictly lower: beta_i (k_i . k_j) exp(G_i - G_j)
  float* A;    // (n, n) lower with diagonal: (q_i . k_j) exp(G_i - G_j)
  float* Dm;   // (n, n) lower with diagonal: exp(G_i - G_j)
  float* eg;   // (n) exp(G_i)
  double* G;   // (n) cumulative log decay within the block
};

Work carve(float* w, size_t D) {
  Work s;
  auto take = [&](size_t n) {
    float* p = w;
    w += n;
    return p;
  };
  s.St = take(D * D);
  s.Qb = take(B * D);
  s.Qe = take(B * D);
  s.Kb = take(B * D);
  s.U = take(B * D);
  s.Wk = take(B * D);
  s.P = take(B * D);
  s.Vn = take(B * D);
  s.VnT = take(B * D);
  s.Kd = take(B * D);
  s.Oa = take(B * D);
  s.Up = take(D * D);
  s.L = take(B * B);
  s.A = take(B * B);
  s.Dm = take(B * B);
  s.eg = take(B);
  // Doubles last, rounded up to an 8-byte boundary (one spare float).
  uintptr_t p = reinterpret_cast<uintptr_t>(take(2 * B + 1));
  p = (p + alignof(double) - 1) & ~(uintptr_t{alignof(double)} - 1);
  s.G = reinterpret_cast<double*>(p);
  return s;
}

// Rows i = 1..n-1 of (I + L) X = X0, in place, for X = U and X = Wk at once: the forward
// substitution behind the WY form (row i takes away its earlier rows weighted by L[i][m]).
void solve_unit_lower(const float* L, size_t n, float* U, float* Wk, size_t D) {
  for (size_t i = 1; i < n; ++i) {
    const float* li = L + i * n;
    float* ui = U + i * D;
    float* wi = Wk + i * D;
    for (size_t m = 0; m < i; ++m) {
      const float c = -li[m];
      if (c == 0.0f) continue;
      tl::kernels::axpy_row(c, U + m * D, DType::F32, ui, D);
      tl::kernels::axpy_row(c, Wk + m * D, DType::F32, wi, D);
    }
  }
}

}  // namespace

size_t delta_chunk_floats(size_t D) {
  return 2 * D * D + 10 * B * D + 3 * B * B + B + 2 * B + 1 + 2;
}

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
    // i >= j, at most 0, so no exponential overflows.
    // A decay of exactly 0 (log -inf) is taken as exp(-1e4), which is 0 in f32 too, so that
    // differences of sums stay defined.
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

    // Gather the block: queries, keys, and the two right-hand sides beta v and beta exp(G) k.
    for (size_t i = 0; i < n; ++i) {
      const size_t t = t0 + i;
      const float* qi = q + t * ld;
      const float* ki = k + t * ld;
      const float* vi = v + t * ld;
      const float bi = beta[t * ld_gate], be = bi * w.eg[i];
      float* Qb = w.Qb + i * D;
      float* Qe = w.Qe + i * D;
      float* Kb = w.Kb + i * D;
      float* U = w.U + i * D;
      float* Wk = w.Wk + i * D;
      for (size_t c = 0; c < D; ++c) {
        Qb[c] = qi[c];
        Qe[c] = qi[c] * w.eg[i];
        Kb[c] = ki[c];
        U[c] = vi[c] * bi;
        Wk[c] = ki[c] * be;
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
      for (size_t j = 0; j < i; ++j) {
        li[j] = bi * li[j] * di[j];
        ai[j] = ai[j] * di[j];
      }
      ai[i] = ai[i] * di[i];
      for (size_t j = i; j < n; ++j) li[j] = 0.0f;
      for (size_t j = i + 1; j < n; ++j) ai[j] = 0.0f;
    }
    solve_unit_lower(w.L, n, w.U, w.Wk, D);

    // Against the block-start state: v_new = U - Wk S0, and the queries' read of the decayed
    // state, Qe S0.
    matmul_xwt(w.Wk, n, D, St, DType::F32, D, w.P);
    for (size_t i = 0; i < n * D; ++i) w.Vn[i] = w.U[i] - w.P[i];
    for (size_t i = 0; i < n; ++i)
      for (size_t c = 0; c < D; ++c) w.VnT[c * n + i] = w.Vn[i * D + c];
    matmul_xwt(w.Qe, n, D, St, DType::F32, D, w.P);
    matmul_xwt(w.A, n, n, w.VnT, DType::F32, D, w.Oa);
    for (size_t i = 0; i < n; ++i) {
      float* oi = o + (t0 + i) * ld;
      const float* pi = w.P + i * D;
      const float* ai = w.Oa + i * D;
      for (size_t c = 0; c < D; ++c) oi[c] = pi[c] + ai[c];
    }

    // Carry the state: S = exp(G_last) S0 + sum_i (k_i exp(G_last - G_i)) v_new_i^T, here in
    // the transposed layout St[b][a].
    const double Gl = w.G[n - 1];
    for (size_t i = 0; i < n; ++i) {
      const float f = std::exp(static_cast<float>(Gl - w.G[i]));
      const float* ki = w.Kb + i * D;
      for (size_t c = 0; c < D; ++c) w.Kd[c * n + i] = ki[c] * f;
    }
    matmul_xwt(w.VnT, D, n, w.Kd, DType::F32, D, w.Up);
    const float el = w.eg[n - 1];
    for (size_t i = 0; i < D * D; ++i) St[i] = St[i] * el + w.Up[i];
  }

  for (size_t a = 0; a < D; ++a)
    for (size_t b = 0; b < D; ++b) S_out[a * D + b] = St[b * D + a];
}

}  // namespace model
