#include "model/gated_delta_net.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <string>

#include "model/delta_chunk.h"
#include "tensor/error.h"
#include "tensor/half.h"
#include "tensor/kernels.h"
#include "tensor/parallel.h"

namespace model {

namespace {

// Row pieces of a one-token step's projections: whole groups of the GEMV kernel's rows.
constexpr size_t kRowGrain = 16;

// Element i of a contiguous rank-1 tensor in F32, F16 or BF16, widened to f32.
inline float elem(const tl::Tensor& t, size_t i) {
  if (t.dtype() == tl::DType::F16) return tl::f16_to_f32(t.data<uint16_t>()[i]);
  if (t.dtype() == tl::DType::BF16) return tl::bf16_to_f32(t.data<uint16_t>()[i]);
  return t.data<float>()[i];
}

}  // namespace

float softplus_d(float z, tl::DType d) {
  const float m = z < 0.0f ? 0.0f : z;  // maximum(z, 0): a NaN z stays NaN
  const float e = rnd(expf(-std::fabs(z)), d);
  const float l = rnd(logf(rnd(e + 1.0f, d)), d);  // affine e * 1 + 1: e * 1 is exact
  return rnd(m + l, d);
}

float gdn_log_decay(float a, float dt_bias, float A, tl::DType d) {
  const float z = rnd(a + dt_bias, d);
  return rnd(-softplus_d(z, d) * A, d);
}

float gdn_decay(float a, float dt_bias, float A, tl::DType d) {
  return rnd(expf(gdn_log_decay(a, dt_bias, A, d)), d);
}

// The loops run across the value channels b, lane by lane, so every target computes the same
// values; the clones only pick wider vectors on x86 machines that have them.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#endif
void delta_rule_step(const float* S_in, float* S_out, size_t D, const float* q, const float* k,
                     const float* v, float decay, float beta, tl::DType d, float* o,
                     float* scratch) {
  using tl::kernels::round_to_dtype;
  const bool f32 = d == tl::DType::F32;
  float* r = scratch;
  float* delta = scratch + D;
  float* tmp = scratch + 2 * D;

  if (d == tl::DType::F16) {
    // The same passes in SIMD kernels that round in registers, a block of columns at a time.
    tl::kernels::delta_decay_read_f16(S_in, S_out, D, decay, k, r);
    round_to_dtype(r, D, d);
    for (size_t b = 0; b < D; ++b) delta[b] = v[b] - r[b];
    round_to_dtype(delta, D, d);
    for (size_t b = 0; b < D; ++b) delta[b] *= beta;
    round_to_dtype(delta, D, d);
    tl::kernels::delta_update_read_f16(S_out, D, k, delta, q, o);
    round_to_dtype(o, D, d);
    return;
  }

  // Pass 1 over the rows: decay the state and read it with the key, r[b] = sum_a k[a] S[a][b].
  for (size_t b = 0; b < D; ++b) r[b] = 0.0f;
  const float zero_decayed = rnd(0.0f * decay, d);
  for (size_t a = 0; a < D; ++a) {
    float* so = S_out + a * D;
    const float ka = k[a];
    if (!S_in) {
      for (size_t b = 0; b < D; ++b) so[b] = zero_decayed;
    } else {
      const float* si = S_in + a * D;
      if (f32) {
        for (size_t b = 0; b < D; ++b) {
          const float s = si[b] * decay;
          so[b] = s;
          r[b] += ka * s;
        }
        continue;
      }
      for (size_t b = 0; b < D; ++b) so[b] = si[b] * decay;
      round_to_dtype(so, D, d);
    }
    for (size_t b = 0; b < D; ++b) r[b] += ka * so[b];
  }
  round_to_dtype(r, D, d);

  // Correction towards the value: delta = (v - r) * beta.
  for (size_t b = 0; b < D; ++b) delta[b] = v[b] - r[b];
  round_to_dtype(delta, D, d);
  for (size_t b = 0; b < D; ++b) delta[b] *= beta;
  round_to_dtype(delta, D, d);

  // Pass 2: write S[a][b] += k[a] delta[b] and read with the query, o[b] = sum_a q[a] S[a][b].
  for (size_t b = 0; b < D; ++b) o[b] = 0.0f;
  for (size_t a = 0; a < D; ++a) {
    float* so = S_out + a * D;
    const float ka = k[a], qa = q[a];
    if (f32) {
      for (size_t b = 0; b < D; ++b) {
        const float s = so[b] + ka * delta[b];
        so[b] = s;
        o[b] += qa * s;
      }
      continue;
    }
    for (size_t b = 0; b < D; ++b) tmp[b] = ka * delta[b];
    round_to_dtype(tmp, D, d);
    for (size_t b = 0; b < D; ++b) so[b] += tmp[b];
    round_to_dtype(so, D, d);
    for (size_t b = 0; b < D; ++b) o[b] += qa * so[b];
  }
  round_to_dtype(o, D, d);
}

GatedDeltaNet GatedDeltaNet::load(const Config& cfg, const tl::VarBuilder& vb) {
  GatedDeltaNet g;
  const size_t N = cfg.num_attention_heads, D = cfg.head_dim, H = cfg.hidden_size;
  const size_t C = N * D;
  if (cfg.use_short_conv) {
    g.conv_q = ShortConv::load(C, cfg.conv_kernel_size, cfg.conv_bias, vb.pp("conv_q.conv"));
    g.conv_k = ShortConv::load(C, cfg.conv_kernel_size, cfg.conv_bias, vb.pp("conv_k.conv"));
    g.conv_v = ShortConv::load(C, cfg.conv_kernel_size, cfg.conv_bias, vb.pp("conv_v.conv"));
  }
  g.q_proj = load_linear(H, C, false, vb.pp("q_proj"));
  g.k_proj = load_linear(H, C, false, vb.pp("k_proj"));
  g.v_proj = load_linear(H, C, false, vb.pp("v_proj"));
  g.beta_proj = load_linear(H, N, false, vb.pp("beta_proj"));
  g.alpha_proj = load_linear(H, N, false, vb.pp("alpha_proj"));
  g.g_proj = load_linear(H, C, false, vb.pp("g_proj"));
  g.o_proj = load_linear(C, H, false, vb.pp("o_proj"));
  g.g_norm = RmsNorm::load(D, cfg.norm_eps, vb.pp("g_norm"));
  g.dt_bias = vb.get({N}, "dt_bias");
  g.A_log = vb.get({N}, "A_log");
  g.num_heads = N;
  g.head_dim = D;
  return g;
}

void GatedDeltaNet::forward(const float* x, size_t T, LayerCache& entry, DeltaNetScratch& scratch,
                            float* out) const {
  const tl::DType d = q_proj.dtype();
  const size_t N = num_heads, D = head_dim, C = N * D;
  const bool conv = conv_q.has_value();
  if (T == 0) return;  // nothing to mix; the cache keeps its committed state

  // Projections over the whole chunk (T x C, T x N). With convolutions the raw projections go to
  // the *_raw buffers and the convolved ones to q, k, v; without, straight to q, k, v.
  float* q = scratch.q.get(T, C);
  float* k = scratch.k.get(T, C);
  float* v = scratch.v.get(T, C);
  float* qr = conv ? scratch.q_raw.get(T, C) : q;
  float* kr = conv ? scratch.k_raw.get(T, C) : k;
  float* vr = conv ? scratch.v_raw.get(T, C) : v;
  float* g = scratch.g.get(T, C);
  float* beta = scratch.beta.get(T, N);
  float* decay = scratch.decay.get(T, N);
  // One token whose products cannot fail (F32 or F16 weights, every projection with rows, all
  // reading the same input): the projections and the heads run in one region (see below).
  const Linear* const projs[6] = {&q_proj, &k_proj, &v_proj, &g_proj, &beta_proj, &alpha_proj};
  bool fused = T == 1 && D > 0 && (d == tl::DType::F32 || d == tl::DType::F16);
  for (size_t i = 0; i < 6; ++i)
    fused = fused && projs[i]->dtype() == d && projs[i]->out_dim() == (i < 4 ? C : N) &&
            projs[i]->in_dim() == q_proj.in_dim();
  if (fused) {
  } else if (T == 1) {
    linear_forward_one_token(projs, {qr, kr, vr, g, beta, decay}, x);
  } else {
    linear_forward(q_proj, x, T, qr);
    linear_forward(k_proj, x, T, kr);
    linear_forward(v_proj, x, T, vr);
    linear_forward(g_proj, x, T, g);
    linear_forward(beta_proj, x, T, beta);
    linear_forward(alpha_proj, x, T, decay);
  }
  if (!fused) sigmoid_inplace(beta, T * N, d);

  // The pending step goes to buffer w; buffer `cur` (the committed state) is only read.
  const int w = 1 - entry.cur;
  const bool have_tails = entry.tails_present[entry.cur];
  std::vector<float>* tails[3] = {entry.tail_q, entry.tail_k, entry.tail_v};
  const ShortConv* convs[3] = {nullptr, nullptr, nullptr};
  float* raw[3] = {qr, kr, vr};
  float* res[3] = {q, k, v};
  if (conv) {
    convs[0] = &*conv_q, convs[1] = &*conv_k, convs[2] = &*conv_v;
    for (int i = 0; i < 3; ++i) tails[i][w].resize(C * (convs[i]->kernel_size - 1));
  }

  // Decay per token and head: exp(-softplus(a + dt_bias) * exp(A_log)). The chunked form works
  // with its logarithm, -softplus(a + dt_bias) * exp(A_log), instead.
  const bool chunked = T >= 2 && d == tl::DType::F32;
  for (size_t h = 0; h < N && !fused; ++h) {
    const float A = rnd(expf(elem(A_log, h)), d);
    const float dtb = elem(dt_bias, h);
    for (size_t t = 0; t < T; ++t) {
      float& a = decay[t * N + h];
      a = chunked ? gdn_log_decay(a, dtb, A, d) : gdn_decay(a, dtb, A, d);
    }
  }

  // Everything from here to the output projection works on one head's channels at a time, so
  // the heads are shared out over threads. Per head: the convolutions of its channels; per
  // token SiLU on q, k, v, unit-length q and k, q scaled by 1/sqrt(D) (affine map: factor
  // rounded to d, product rounded, plus 0); the delta rule over the chunk, from the committed
  // state (zeros when absent) into the pending buffer; then per token the RMS norm and the gate
  // silu(g) (the gated output goes to g's buffer, which o_proj reads).
  float* S1 = entry.state_for(w, mul_or_throw(N, mul_or_throw(D, D)));
  const float* S0 = entry.state_present[entry.cur] ? entry.state[entry.cur].floats() : nullptr;
  // Per head: the chunked form's working memory, or the step's 3 * D and its output row.
  const size_t per_head = chunked ? delta_chunk_floats(D) : 4 * D;
  float* heads = scratch.heads.get(N, per_head);
  const float scale = const_in(1.0 / std::sqrt((double)D), d);
  auto head = [&](size_t h) {
    const size_t hs = h * D * D;
    float* hw = heads + h * per_head;
    if (fused) {  // the head's gates, as above for its one token
      beta[h] = sigmoid_d(beta[h], d);
      decay[h] = gdn_decay(decay[h], elem(dt_bias, h), rnd(expf(elem(A_log, h)), d), d);
    }
    for (int i = 0; conv && i < 3; ++i)
      convs[i]->forward(raw[i], T, have_tails ? tails[i][entry.cur].data() : nullptr,
                        tails[i][w].data(), res[i], h * D, (h + 1) * D);
    for (size_t t = 0; t < T; ++t) {
      const size_t off = t * C + h * D;
      float *qh = q + off, *kh = k + off, *vh = v + off;
      silu_inplace(qh, D, d);
      silu_inplace(kh, D, d);
      silu_inplace(vh, D, d);
      l2_norm(qh, 1, D, d);
      l2_norm(kh, 1, D, d);
      for (size_t i = 0; i < D; ++i) qh[i] *= scale;
      tl::kernels::round_to_dtype(qh, D, d);
      for (size_t i = 0; i < D; ++i) qh[i] += 0.0f;  // exact: the sum is already in d
    }
    if (chunked) {
      // Outputs overwrite the head's queries, block by block after each block has read them.
      delta_rule_chunk(S0 ? S0 + hs : nullptr, S1 + hs, D, T, q + h * D, k + h * D, v + h * D, C,
                       decay + h, beta + h, N, q + h * D, hw);
    }
    for (size_t t = 0; t < T; ++t) {
      const size_t off = t * C + h * D;
      float* oh = chunked ? q + off : hw + 3 * D;
      if (!chunked)
        delta_rule_step(t == 0 ? (S0 ? S0 + hs : nullptr) : S1 + hs, S1 + hs, D, q + off, k + off,
                        v + off, decay[t * N + h], beta[t * N + h], d, oh, hw);
      g_norm.forward(oh, 1, oh);
      silu_mul(g + off, oh, D, d);  // g = round(silu(g) * o): the gated output, in g's buffer
    }
  };
  if (fused) {
    // Units of work per head: its rows of q, k, v and g in pieces of kRowGrain rows, then its
    // beta and alpha rows. The thread that finishes a head's last unit runs the head at once, so
    // the recurrences overlap the other heads' products instead of waiting for all of them in a
    // region of their own. The same values: each output row is one row product, rounded alone.
    const size_t pieces = (D + kRowGrain - 1) / kRowGrain, U = 4 * pieces + 1;
    float* const outs[4] = {qr, kr, vr, g};
    thread_local std::unique_ptr<std::atomic<uint32_t>[]> tl_done;
    thread_local size_t tl_done_size = 0;
    if (tl_done_size < N) tl_done.reset(new std::atomic<uint32_t>[N]), tl_done_size = N;
    std::atomic<uint32_t>* done = tl_done.get();  // units finished, per head
    for (size_t h = 0; h < N; ++h) done[h].store(0, std::memory_order_relaxed);
    tl::parallel::for_ranges(N * U, kRowGrain * q_proj.in_dim(), [&](size_t u0, size_t u1) {
      for (size_t u = u0; u < u1; ++u) {
        const size_t h = u / U, j = u % U;
        if (j < 4 * pieces) {
          const size_t r0 = h * D + (j % pieces) * kRowGrain;
          const size_t r1 = std::min((h + 1) * D, r0 + kRowGrain);
          linear_rows(*projs[j / pieces], x, 1, r0, r1, outs[j / pieces] + r0);
        } else {
          linear_rows(beta_proj, x, 1, h, h + 1, beta + h);
          linear_rows(alpha_proj, x, 1, h, h + 1, decay + h);
        }
        if (done[h].fetch_add(1, std::memory_order_acq_rel) + 1 == U) head(h);
      }
    });
  } else {
    // Work per head: the recurrence's four passes over the D x D state per token, or about as
    // much in the chunked form's products.
    tl::parallel::for_ranges(N, mul_or_throw(T, 4 * D * D), [&](size_t h0, size_t h1) {
      for (size_t h = h0; h < h1; ++h) head(h);
    });
  }
  entry.state_present[w] = true;
  entry.tails_present[w] = conv;
  entry.state_pending = true;

  linear_forward(o_proj, g, T, out);
}

}  // namespace model
