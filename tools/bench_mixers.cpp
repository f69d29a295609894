// Decode-step timings of the delta-rule mixer and the mixture of experts at a realistic width,
// with the bytes each step must read and the achieved rate against the machine's read bandwidth.
//   bench_mixers [reps] [section: step | gdn32 | gdn16 | moe]  (default: all sections)
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "model/gated_delta_net.h"
#include "model/moe.h"
#include "tensor/kernels.h"

namespace {

using Clock = std::chrono::steady_clock;

volatile uint64_t sink;

double now() { return std::chrono::duration<double>(Clock::now().time_since_epoch()).count(); }

struct Rng {
  uint64_t s = 88172645463325252ull;
  float next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return (float)((double)(s >> 11) / 9007199254740992.0 * 2 - 1);
  }
};

std::vector<float> random_vec(Rng& r, size_t n, float scale) {
  std::vector<float> v(n);
  for (float& x : v) x = r.next() * scale;
  return v;
}

tl::Tensor random_tensor(Rng& r, const tl::Shape& s, tl::DType d, float scale) {
  return tl::Tensor::from_f32(random_vec(r, tl::shape_elem_count(s), scale), s).to_dtype(d);
}

// A copy of t in its own storage (same values, different memory).
tl::Tensor clone(const tl::Tensor& t) {
  return tl::Tensor::from_bytes(t.data<uint8_t>(), t.elem_count() * tl::dtype_size(t.dtype()),
                                t.dtype(), t.shape());
}

model::Linear linear(Rng& r, size_t in, size_t out, tl::DType d) {
  model::Linear l;
  l.weight = random_tensor(r, {out, in}, d, 0.02f);
  return l;
}

// Medians of `reps` timings of f and of g, called alternately so that both see the same machine
// (other processes come and go), in seconds.
template <class F, class G>
std::pair<double, double> median_pair(int reps, F f, G g) {
  f();
  g();
  std::vector<double> a, b;
  for (int i = 0; i < reps; ++i) {
    double t0 = now();
    f();
    a.push_back(now() - t0);
    t0 = now();
    g();
    b.push_back(now() - t0);
  }
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  return {a[a.size() / 2], b[b.size() / 2]};
}

// Median of `reps` timings of f (after one warm-up call), in seconds.
template <class F>
double median_time(int reps, F f) {
  f();
  std::vector<double> t;
  for (int i = 0; i < reps; ++i) {
    const double t0 = now();
    f();
    t.push_back(now() - t0);
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

// Read bandwidth: each thread sums its contiguous share as several parts read side by side, with
// software prefetch and integer adds (which vectorise without reassociating floats). The best of
// two stream layouts and five runs: a weak reader would flatter the kernels compared with it.
template <size_t kStreams, size_t kAhead>
double read_bandwidth_with(const std::vector<uint64_t>& buf, int threads) {
  const size_t n = buf.size();
  double best = 1e30;
  for (int rep = 0; rep < 5; ++rep) {
    const double t0 = now();
    uint64_t total = 0;
#pragma omp parallel reduction(+ : total) num_threads(threads)
    {
      const size_t T = omp_get_num_threads(), id = omp_get_thread_num();
      const size_t step = kStreams * 8, steps = n / step;
      const size_t lo = steps * id / T * step, hi = steps * (id + 1) / T * step;
      const size_t q = (hi - lo) / kStreams;
      uint64_t acc[kStreams] = {};
      for (size_t i = 0; i < q; i += 8)
        for (size_t s = 0; s < kStreams; ++s) {
          const uint64_t* p = buf.data() + lo + s * q + i;
          __builtin_prefetch(p + kAhead);
          for (size_t j = 0; j < 8; ++j) acc[s] += p[j];
        }
      for (size_t s = 0; s < kStreams; ++s) total += acc[s];
    }
    sink = total;
    best = std::min(best, now() - t0);
  }
  return n * 8.0 / best / 1e9;
}

double read_bandwidth(int threads) {
  static std::vector<uint64_t> buf(size_t{2} << 30 >> 3, 1);  // 2 GiB
  return std::max(read_bandwidth_with<8, 256>(buf, threads),
                  read_bandwidth_with<2, 128>(buf, threads));
}

}  // namespace

int main(int argc, char** argv) {
  const int reps = argc > 1 ? std::atoi(argv[1]) : 20;
  const std::string only = argc > 2 ? argv[2] : "";
  auto want = [&](const char* s) { return only.empty() || only == s; };
  const int threads = omp_get_max_threads();
  const double bw = read_bandwidth(threads);
  std::printf("threads %d, read bandwidth %.1f GB/s (1 thread %.1f GB/s)\n", threads, bw,
              read_bandwidth(1));
  Rng rng;

  // --- the delta-rule recurrence alone: one token, N = 16 heads of D = 128 ---
  if (want("step")) {
    const size_t N = 16, D = 128;
    for (tl::DType d : {tl::DType::F32, tl::DType::F16}) {
      std::vector<float> S = random_vec(rng, N * D * D, 0.1f), S2(N * D * D);
      std::vector<float> q = random_vec(rng, N * D, 0.1f), k = random_vec(rng, N * D, 0.1f),
                         v = random_vec(rng, N * D, 1.0f), o(N * D), scratch(N * 3 * D);
      tl::kernels::round_to_dtype(S.data(), S.size(), d);
      for (bool par : {false, true}) {
        const double t = median_time(reps * 10, [&] {
#pragma omp parallel for schedule(static) if (par)
          for (size_t h = 0; h < N; ++h)
            model::delta_rule_step(S.data() + h * D * D, S2.data() + h * D * D, D, q.data() + h * D,
                                   k.data() + h * D, v.data() + h * D, 0.97f, 0.5f, d,
                                   o.data() + h * D, scratch.data() + h * 3 * D);
        });
        std::printf("delta-rule step N=16 D=128 %s %-8s: %8.1f us\n", tl::dtype_name(d),
                    par ? "parallel" : "serial", t * 1e6);
      }
    }
  }

  // Decode steps cycle through enough layers (about 3 GB of weights, six times the largest
  // last-level cache here) that nothing is served from the last-level cache: each step reads its
  // layer's weights from memory, as in a model.
  const double kSetBytes = 3.0e9;

  // --- one decode step of the whole mixer: hidden 2048, 16 heads of 128, short convolutions ---
  for (tl::DType d : {tl::DType::F32, tl::DType::F16}) {
    if (!want(d == tl::DType::F32 ? "gdn32" : "gdn16")) continue;
    const size_t H = 2048, N = 16, D = 128, C = N * D, K = 4;
    model::GatedDeltaNet g;
    g.q_proj = linear(rng, H, C, d);
    g.k_proj = linear(rng, H, C, d);
    g.v_proj = linear(rng, H, C, d);
    g.beta_proj = linear(rng, H, N, d);
    g.alpha_proj = linear(rng, H, N, d);
    g.g_proj = linear(rng, H, C, d);
    g.o_proj = linear(rng, C, H, d);
    g.g_norm.weight = random_tensor(rng, {D}, d, 1.0f);
    g.dt_bias = random_tensor(rng, {N}, d, 1.0f);
    g.A_log = random_tensor(rng, {N}, d, 1.0f);
    for (auto* c : {&g.conv_q, &g.conv_k, &g.conv_v})
      *c = model::ShortConv::from_tensors(random_tensor(rng, {C, 1, K}, d, 0.5f), std::nullopt);
    g.num_heads = N;
    g.head_dim = D;
    const double wbytes = (double)(5 * C * H + 2 * N * H) * tl::dtype_size(d);
    const size_t L = (size_t)(kSetBytes / wbytes) + 1;
    std::vector<model::GatedDeltaNet> layers(L, g);
    for (model::GatedDeltaNet& l : layers)
      for (model::Linear* p :
           {&l.q_proj, &l.k_proj, &l.v_proj, &l.beta_proj, &l.alpha_proj, &l.g_proj, &l.o_proj})
        p->weight = clone(p->weight);
    std::vector<model::LayerCache> caches(L);
    model::DeltaNetScratch ws;
    std::vector<float> x = random_vec(rng, H, 1.0f), out(H);
    tl::kernels::round_to_dtype(x.data(), H, d);
    size_t step = 0;
    auto decode = [&] {
      const size_t i = step++ % L;
      layers[i].forward(x.data(), 1, caches[i], ws, out.data());
      caches[i].commit();
    };
    for (size_t i = 0; i < 2 * L; ++i) decode();  // both state buffers of every layer in use
    const double sbytes = 2.0 * N * D * D * 4;    // state read and written (f32)
    // The same layers' seven products alone, for comparison: what the matrix kernels reach. They
    // run on the layer half a cycle away, so neither timing finds the other's weights in cache.
    std::vector<float> y(C);
    const auto [t, tg] = median_pair(std::max<int>(reps, 2 * L), decode, [&] {
      const model::GatedDeltaNet& l = layers[(step + L / 2) % L];
      for (const model::Linear* p :
           {&l.q_proj, &l.k_proj, &l.v_proj, &l.g_proj, &l.beta_proj, &l.alpha_proj})
        model::linear_forward(*p, x.data(), 1, y.data());
      model::linear_forward(l.o_proj, y.data(), 1, out.data());
    });
    std::printf("  its seven products alone: %8.1f us, %.1f GB/s\n", tg * 1e6, wbytes / tg / 1e9);
    std::printf(
        "GatedDeltaNet decode %s (%zu layers): %8.1f us, weights %.1f MB + state %.1f MB, "
        "%.1f GB/s (%.0f%% of bandwidth)\n",
        tl::dtype_name(d), L, t * 1e6, wbytes / 1e6, sbytes / 1e6, (wbytes + sbytes) / t / 1e9,
        100 * (wbytes + sbytes) / t / 1e9 / bw);
    if (!only.empty()) continue;  // prompt timings only in the full run
    const size_t T = 128;
    std::vector<float> xs = random_vec(rng, T * H, 1.0f), outs(T * H);
    tl::kernels::round_to_dtype(xs.data(), xs.size(), d);
    const double tp = median_time(std::max(3, reps / 5), [&] {
      layers[0].forward(xs.data(), T, caches[0], ws, outs.data());
      caches[0].commit();
    });
    std::printf("GatedDeltaNet prompt %s 128 tokens: %8.1f ms (%.3f ms per token)\n",
                tl::dtype_name(d), tp * 1e3, tp * 1e3 / T);
  }

  // --- one decode step of the mixture of experts, and a 128-token prompt: 64 experts of width
  // 768, k = 8, F16 at hidden 2048; and many small experts (32 of width 512, k = 4, plus a
  // shared expert of width 512) at hidden 1024, F32 and F16 ---
  struct MoeShape {
    const char* name;
    size_t H, E, k, I, shared;
    tl::DType d;
  };
  for (const MoeShape& s :
       {MoeShape{"E=64 k=8 I=768", 2048, 64, 8, 768, 0, tl::DType::F16},
        MoeShape{"E=32 k=4 I=512 +shared", 1024, 32, 4, 512, 512, tl::DType::F32},
        MoeShape{"E=32 k=4 I=512 +shared", 1024, 32, 4, 512, 512, tl::DType::F16}}) {
    if (!want("moe")) break;
    const tl::DType d = s.d;
    const size_t H = s.H, E = s.E, k = s.k, I = s.I;
    auto make_mlp = [&](size_t inner) {
      model::Mlp p;
      p.gate_proj = linear(rng, H, inner, d);
      p.up_proj = linear(rng, H, inner, d);
      p.down_proj = linear(rng, inner, H, d);
      return p;
    };
    const model::Mlp proto = make_mlp(I);
    const double layer_bytes = (double)(E * I + s.shared) * 3 * H * tl::dtype_size(d);
    const size_t L = (size_t)(kSetBytes / layer_bytes) + 1;
    std::vector<model::MoE> layers(L);
    for (model::MoE& m : layers) {
      for (size_t e = 0; e < E; ++e) {
        model::Mlp p;
        p.gate_proj.weight = clone(proto.gate_proj.weight);
        p.up_proj.weight = clone(proto.up_proj.weight);
        p.down_proj.weight = clone(proto.down_proj.weight);
        m.experts.push_back(std::move(p));
      }
      if (s.shared) m.shared_experts = make_mlp(s.shared);
      m.gate = random_tensor(rng, {E, H}, d, 0.05f);
      m.num_experts_per_tok = k;
      m.n_routed_experts = E;
      m.norm_topk_prob = true;
    }
    model::MoEScratch ws;
    // Different inputs from step to step, so that the chosen experts change.
    const size_t X = 16;
    std::vector<float> xs = random_vec(rng, X * H, 1.0f), out(H);
    tl::kernels::round_to_dtype(xs.data(), xs.size(), d);
    size_t step = 0;
    auto decode = [&] {
      const size_t st = step++;
      layers[st % L].forward(xs.data() + (st % X) * H, 1, out.data(), ws);
    };
    const double bytes = (double)((k * I + s.shared) * 3 * H + E * H) * tl::dtype_size(d);
    // The same number of expert MLPs called directly, for comparison (on the layer half a cycle
    // away, so neither timing finds the other's weights in cache).
    std::vector<float> y(H);
    model::MlpScratch mlp_ws;
    const auto [t, te] = median_pair(std::max<int>(reps, 2 * X), decode, [&] {
      const size_t st = step + L / 2;
      for (size_t j = 0; j < k; ++j)
        layers[st % L].experts[(st * 13 + j * 7) % E].forward(xs.data(), 1, y.data(), mlp_ws);
    });
    std::printf("  %zu expert MLPs alone: %8.1f us, %.1f GB/s\n", k, te * 1e6,
                (double)k * 3 * H * I * tl::dtype_size(d) / te / 1e9);
    std::printf(
        "MoE decode %s %s H=%zu (%zu layers): %8.1f us, reads %.1f MB, %.1f GB/s "
        "(%.0f%% of bandwidth)\n",
        tl::dtype_name(d), s.name, H, L, t * 1e6, bytes / 1e6, bytes / t / 1e9,
        100 * bytes / t / 1e9 / bw);
    const size_t n = 128;
    std::vector<float> xp = random_vec(rng, n * H, 1.0f), outs(n * H);
    tl::kernels::round_to_dtype(xp.data(), xp.size(), d);
    const double tp = median_time(std::max(3, reps / 5),
                                  [&] { layers[0].forward(xp.data(), n, outs.data(), ws); });
    std::printf("MoE prompt %s %s 128 tokens: %8.1f ms (%.2f ms per token)\n", tl::dtype_name(d),
                s.name, tp * 1e3, tp * 1e3 / n);
  }
  return 0;
}
