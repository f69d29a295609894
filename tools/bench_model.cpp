// Speed of the model runtime, measured directly through the C++ API (no Python in the loop):
//
//   bench_model attn [f32|f16]      one softmax-attention decode step at hidden 2048, 16 query
//                                   heads, 4 kv heads, head_dim 128, 1024 cached tokens, and a
//                                   1024-token prompt through one such layer
//   bench_model cache [f32|f16]     one decode step's attention over the cache alone (8 query
//                                   heads, 2 kv heads, head_dim 128, hidden 16 so that the
//                                   projections cost little) at 512, 4096 and 16384 cached tokens,
//                                   with the one-token call for the projections' share
//   bench_model model [f32|f16] [path]
//                                   a ~0.45 B-parameter hybrid model (3:1 delta-rule/attention,
//                                   MoE in the upper half; random weights written to `path` once):
//                                   load time, peak resident memory, 512-token prompt and
//                                   single-token forward speed
//
// Each figure is reported with the bytes it reads and the achieved GB/s next to the machine's
// read bandwidth (a threaded sum over a 512 MiB buffer). Threads: OMP_NUM_THREADS.
#include <omp.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "model/attention.h"
#include "model/llm_model.h"
#include "tensor/kernels.h"
#include "tensor/var_builder.h"

namespace {

using Clock = std::chrono::steady_clock;
double secs(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

struct Rng {
  uint64_t s = 88172645463325252ull;
  float uni(float a) {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return a * (static_cast<float>(s >> 40) / 8388608.0f - 1.0f);
  }
};

double read_bandwidth_gbs() {
  // The library's SIMD dot product over a 512 MiB buffer (two streams of 256 MiB), split over
  // the threads in 1 MiB blocks: reads at memory speed, like the products it stands for.
  const size_t n = (size_t{256} << 20) / sizeof(float), block = (size_t{1} << 20) / sizeof(float);
  std::vector<float> a(n, 1.0f), b(n, 1.0f);
  double best = 0;
  for (int rep = 0; rep < 4; ++rep) {
    const auto t0 = Clock::now();
    double total = 0;
#pragma omp parallel for reduction(+ : total) schedule(static)
    for (size_t i = 0; i < n; i += block) total += tl::kernels::dot_f32(&a[i], &b[i], block);
    const double t = secs(t0, Clock::now());
    if (total == static_cast<double>(n)) best = std::max(best, 2 * n * sizeof(float) / t / 1e9);
  }
  return best;
}

// Peak resident set in MB (10^6 bytes, like the model sizes printed beside it).
long peak_rss_mb() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<long>(ru.ru_maxrss * 1024.0 / 1e6);
}

tl::DType parse_dtype(const char* s) {
  return s && std::strcmp(s, "f16") == 0 ? tl::DType::F16 : tl::DType::F32;
}

model::Linear rand_linear(Rng& rng, size_t in, size_t out, tl::DType d) {
  std::vector<float> w(in * out);
  for (float& x : w) x = rng.uni(0.02f);
  return model::Linear{tl::Tensor::from_f32(w, {out, in}).to_dtype(d), std::nullopt};
}

int bench_attention(tl::DType d, double bw) {
  // Sixteen independent layers, stepped in turn, so that weights and caches (about 740 MB in
  // F32) do not stay in the last-level cache between steps of the same layer.
  const size_t H = 2048, Hq = 16, Hkv = 4, D = 128, T0 = 1024, L = 16;
  Rng rng;
  std::vector<model::Attention> layers(L);
  std::vector<model::LayerCache> entries(L);
  std::vector<float> ones(D, 1.0f), kv(T0 * Hkv * D);
  for (size_t l = 0; l < L; ++l) {
    model::Attention& a = layers[l];
    a.q_proj = rand_linear(rng, H, Hq * D, d);
    a.k_proj = rand_linear(rng, H, Hkv * D, d);
    a.v_proj = rand_linear(rng, H, Hkv * D, d);
    a.o_proj = rand_linear(rng, Hq * D, H, d);
    a.q_norm = model::RmsNorm{tl::Tensor::from_f32(ones, {D}).to_dtype(d), 1e-6};
    a.k_norm = model::RmsNorm{tl::Tensor::from_f32(ones, {D}).to_dtype(d), 1e-6};
    a.num_heads = Hq;
    a.num_kv_heads = Hkv;
    a.head_dim = D;
    a.rotary_dim = D;
    // 1024 cached positions of random keys and values.
    model::LayerCache& e = entries[l];
    e.kv_dtype = d;
    e.kv_heads = Hkv;
    e.kv_head_dim = D;
    e.kv_len = e.kv_pending = T0;
    e.keys.reserve(T0 * Hkv * D * tl::dtype_size(d));
    e.values.reserve(T0 * Hkv * D * tl::dtype_size(d));
    for (float& v : kv) v = rng.uni(1.0f);
    tl::kernels::store_as(kv.data(), e.keys.bytes(), d, kv.size());
    for (float& v : kv) v = rng.uni(1.0f);
    tl::kernels::store_as(kv.data(), e.values.bytes(), d, kv.size());
  }
  std::vector<float> inv(D / 2);
  for (size_t j = 0; j < D / 2; ++j) inv[j] = 1.0f / powf(1e6f, 2.0f * j / D);

  std::vector<float> x(T0 * H), out(T0 * H), cos(T0 * D), sin(T0 * D);
  for (float& v : x) v = tl::round_f16(rng.uni(1.0f));
  model::AttentionScratch ws;
  // A 1024-token prompt through one fresh layer.
  {
    model::LayerCache fresh;
    model::rotary_tables(inv.data(), D, 0, T0, d, cos.data(), sin.data());
    const auto t0 = Clock::now();
    layers[0].forward(x.data(), T0, cos.data(), sin.data(), 0, fresh, ws, out.data());
    std::printf("attention %s threads=%d: prompt of %zu tokens through one layer %.1f ms\n",
                tl::dtype_name(d), tl::kernels::num_threads(), T0, secs(t0, Clock::now()) * 1e3);
  }
  model::rotary_tables(inv.data(), D, T0, 1, d, cos.data(), sin.data());
  std::vector<double> times;
  for (int rep = 0; rep < 20; ++rep) {
    const auto t0 = Clock::now();
    for (size_t l = 0; l < L; ++l) {
      layers[l].forward(x.data(), 1, cos.data(), sin.data(), T0, entries[l], ws, out.data());
      entries[l].rollback();  // keep 1024 cached tokens for every repetition
    }
    times.push_back(secs(t0, Clock::now()) / L);
  }
  std::sort(times.begin(), times.end());
  const double t = times[times.size() / 2];
  const double es = tl::dtype_size(d);
  const double weights = (H * Hq * D * 2 + H * Hkv * D * 2) * es;
  const double cache = 2.0 * (T0 + 1) * Hkv * D * es;
  std::printf(
      "  decode step at %zu cached tokens: %.3f ms per layer (median of 20 x %zu layers), "
      "reads %.1f MB weights + %.1f MB cache = %.1f GB/s (%.0f%% of %.1f GB/s)\n",
      T0, t * 1e3, L, weights / 1e6, cache / 1e6, (weights + cache) / t / 1e9,
      100 * (weights + cache) / t / 1e9 / bw, bw);
  return 0;
}

int bench_cache(tl::DType d, double bw) {
  const size_t H = 16, Hq = 8, Hkv = 2, D = 128;
  const double es = tl::dtype_size(d);
  Rng rng;
  std::vector<float> inv(D / 2);
  for (size_t j = 0; j < D / 2; ++j) inv[j] = 1.0f / powf(1e6f, 2.0f * j / D);
  std::vector<float> x(H), out(H), cos(D), sin(D);
  for (float& v : x) v = tl::round_f16(rng.uni(1.0f));
  model::AttentionScratch ws;
  std::printf("attention over the cache %s threads=%d (Hq=%zu Hkv=%zu D=%zu)\n", tl::dtype_name(d),
              tl::kernels::num_threads(), Hq, Hkv, D);
  for (size_t T0 : {size_t{0}, size_t{512}, size_t{4096}, size_t{16384}}) {
    // Enough layers, stepped in turn, that their caches (256 MB together) come from memory.
    const double cache = 2.0 * (T0 + 1) * Hkv * D * es;
    const size_t L = T0 == 0 ? 4 : std::max<size_t>(4, static_cast<size_t>(256e6 / cache));
    model::Attention a;
    a.q_proj = rand_linear(rng, H, Hq * D, d);
    a.k_proj = rand_linear(rng, H, Hkv * D, d);
    a.v_proj = rand_linear(rng, H, Hkv * D, d);
    a.o_proj = rand_linear(rng, Hq * D, H, d);
    a.num_heads = Hq;
    a.num_kv_heads = Hkv;
    a.head_dim = D;
    a.rotary_dim = D;
    std::vector<model::LayerCache> entries(L);
    std::vector<float> kv(T0 * Hkv * D);
    for (model::LayerCache& e : entries) {
      e.kv_dtype = d;
      e.kv_heads = Hkv;
      e.kv_head_dim = D;
      e.kv_len = e.kv_pending = T0;
      e.keys.reserve((T0 + 1) * Hkv * D * tl::dtype_size(d));
      e.values.reserve((T0 + 1) * Hkv * D * tl::dtype_size(d));
      for (float& v : kv) v = rng.uni(2.0f);
      tl::kernels::store_as(kv.data(), e.keys.bytes(), d, kv.size());
      for (float& v : kv) v = rng.uni(1.0f);
      tl::kernels::store_as(kv.data(), e.values.bytes(), d, kv.size());
    }
    model::rotary_tables(inv.data(), D, T0, 1, d, cos.data(), sin.data());
    auto step = [&](size_t l) {
      a.forward(x.data(), 1, cos.data(), sin.data(), T0, entries[l], ws, out.data());
      entries[l].rollback();
    };
    for (size_t l = 0; l < L; ++l) step(l);
    const size_t reps = std::max<size_t>(40, 2 * L);
    std::vector<double> times;
    for (size_t r = 0; r < reps; ++r) {
      const auto t0 = Clock::now();
      step(r % L);
      times.push_back(secs(t0, Clock::now()));
    }
    std::sort(times.begin(), times.end());
    const double t = times[times.size() / 2];
    std::printf("  T=%-6zu %8.1f us per call (median of %zu, %zu layers), K+V %.2f MB = %.1f GB/s "
                "(%.0f%% of %.1f GB/s)\n",
                T0 + 1, t * 1e6, reps, L, cache / 1e6, cache / t / 1e9, 100 * cache / t / 1e9 / bw,
                bw);
  }
  return 0;
}

// ---- whole model
// ---------------------------------------------------------------------------------

model::Config bench_config() {
  model::Config c;
  c.vocab_size = 64000;
  c.hidden_size = 1024;
  c.intermediate_size = 3072;
  c.num_hidden_layers = 16;
  c.num_attention_heads = 8;
  c.num_key_value_heads = 2;
  c.head_dim = 128;
  c.rope_theta = 1e6f;
  c.max_position_embeddings = 8192;
  c.attention_type = "hybrid";
  c.hybrid_ratio = "3:1";
  model::MoeConfig m;
  m.intermediate_size = 1024;
  m.n_routed_experts = 8;
  m.num_experts_per_tok = 2;
  m.n_shared_experts = 1;
  m.norm_topk_prob = true;
  m.n_dense_layer = 8;
  c.moe_config = m;
  return c;
}

struct Named {
  std::string name;
  tl::Shape shape;
};

// Every tensor of the configuration (F32 on disk), tied head.
std::vector<Named> model_tensors(const model::Config& c) {
  std::vector<Named> t;
  const size_t H = c.hidden_size, N = c.num_attention_heads, D = c.head_dim, C = N * D;
  const size_t Nkv = c.num_key_value_heads;
  auto mlp = [&](const std::string& p, size_t I) {
    t.push_back({p + ".gate_proj.weight", {I, H}});
    t.push_back({p + ".up_proj.weight", {I, H}});
    t.push_back({p + ".down_proj.weight", {H, I}});
  };
  t.push_back({"embed_tokens.weight", {c.vocab_size, H}});
  for (size_t l = 0; l < c.num_hidden_layers; ++l) {
    const std::string L = "layers." + std::to_string(l);
    if (l < *c.moe_config->n_dense_layer) {
      mlp(L + ".mlp", c.intermediate_size);
    } else {
      const auto& m = *c.moe_config;
      for (size_t j = 0; j < m.n_routed_experts; ++j)
        mlp(L + ".mlp.experts." + std::to_string(j), m.intermediate_size);
      mlp(L + ".mlp.shared_experts", *m.n_shared_experts * m.intermediate_size);
      t.push_back({L + ".mlp.gate.weight", {m.n_routed_experts, H}});
    }
    const std::string A = L + ".attn";
    if (model::resolve_layer_type(c, l)) {
      for (const char* cv : {"conv_q", "conv_k", "conv_v"})
        t.push_back({A + "." + cv + ".conv.weight", {C, 1, c.conv_kernel_size}});
      for (const char* p : {"q_proj", "k_proj", "v_proj"})
        t.push_back({A + "." + p + ".weight", {C, H}});
      t.push_back({A + ".beta_proj.weight", {N, H}});
      t.push_back({A + ".alpha_proj.weight", {N, H}});
      t.push_back({A + ".g_proj.weight", {C, H}});
      t.push_back({A + ".o_proj.weight", {H, C}});
      t.push_back({A + ".g_norm.weight", {D}});
      t.push_back({A + ".dt_bias", {N}});
      t.push_back({A + ".A_log", {N}});
    } else {
      t.push_back({A + ".q_norm.weight", {D}});
      t.push_back({A + ".k_norm.weight", {D}});
      t.push_back({A + ".q_proj.weight", {N * D, H}});
      t.push_back({A + ".k_proj.weight", {Nkv * D, H}});
      t.push_back({A + ".v_proj.weight", {Nkv * D, H}});
      t.push_back({A + ".o_proj.weight", {H, N * D}});
    }
    t.push_back({L + ".attn_norm.weight", {H}});
    t.push_back({L + ".mlp_norm.weight", {H}});
  }
  t.push_back({"head_norm.weight", {H}});
  return t;
}

size_t elems(const tl::Shape& s) {
  size_t n = 1;
  for (size_t d : s) n *= d;
  return n;
}

void write_model(const std::string& path, const model::Config& c) {
  const std::vector<Named> ts = model_tensors(c);
  std::string header = "{";
  size_t off = 0;
  for (size_t i = 0; i < ts.size(); ++i) {
    std::string shape;
    for (size_t k = 0; k < ts[i].shape.size(); ++k) {
      if (k) shape += ",";
      shape += std::to_string(ts[i].shape[k]);
    }
    const size_t bytes = elems(ts[i].shape) * 4;
    if (i) header += ",";
    header += "\"" + ts[i].name + "\":{\"dtype\":\"F32\",\"shape\":[" + shape +
              "],\"data_offsets\":[" + std::to_string(off) + "," + std::to_string(off + bytes) +
              "]}";
    off += bytes;
  }
  header += "}";
  std::ofstream f(path + ".tmp", std::ios::binary);
  const uint64_t n = header.size();
  f.write(reinterpret_cast<const char*>(&n), 8);
  f.write(header.data(), static_cast<std::streamsize>(n));
  Rng rng;
  for (const Named& t : ts) {
    const bool norm = t.name.find("norm") != std::string::npos;
    const bool a_log = t.name.find("A_log") != std::string::npos;
    std::vector<float> v(elems(t.shape));
    for (float& x : v) x = norm ? 1.0f : a_log ? 0.5f : rng.uni(0.03f);
    f.write(reinterpret_cast<const char*>(v.data()), static_cast<std::streamsize>(v.size() * 4));
  }
  f.close();
  std::rename((path + ".tmp").c_str(), path.c_str());
}

int bench_model(tl::DType d, const std::string& path) {
  const model::Config c = bench_config();
  if (!std::ifstream(path).good()) {
    std::printf("writing %s ...\n", path.c_str());
    write_model(path, c);
  }
  const long rss0 = peak_rss_mb();
  auto t0 = Clock::now();
  const model::LlmModel m =
      model::LlmModel::load(c, tl::VarBuilder::from_mmaped_safetensors(path, d), d);
  const double load_s = secs(t0, Clock::now());
  const long rss1 = peak_rss_mb();
  const double bw = read_bandwidth_gbs();  // after the peak-memory reading: its buffer is large

  // Bytes one decode step reads: every weight except the routed experts not chosen; the tied
  // head reads the whole table.
  double params = 0, largest = 0;
  for (const Named& t : model_tensors(c)) {
    double n = static_cast<double>(elems(t.shape));
    largest = std::max(largest, n);
    if (t.name.find(".experts.") != std::string::npos)
      n *= static_cast<double>(c.moe_config->num_experts_per_tok) /
           static_cast<double>(c.moe_config->n_routed_experts);
    params += n;
  }
  double model_bytes = 0;
  for (const Named& t : model_tensors(c)) model_bytes += elems(t.shape) * tl::dtype_size(d);
  const double step_bytes = params * tl::dtype_size(d);
  std::printf(
      "model %s threads=%d: %.0f M parameters, %.0f MB resident in %s; load %.2f s, peak "
      "RSS %ld MB (before load %ld MB; model %.0f MB + largest tensor %.0f MB)\n",
      tl::dtype_name(d), tl::kernels::num_threads(), model_bytes / tl::dtype_size(d) / 1e6,
      model_bytes / 1e6, tl::dtype_name(d), load_s, rss1, rss0, model_bytes / 1e6,
      largest * tl::dtype_size(d) / 1e6);

  model::KVCache cache(m.num_layers());
  std::vector<float> logits(m.vocab_size());
  std::vector<uint32_t> ids(512 + 64);
  for (size_t i = 0; i < ids.size(); ++i) ids[i] = static_cast<uint32_t>((i * 7919) % 64000);
  m.forward(ids.data(), 16, 0, cache, logits.data());  // warm-up
  // The prompt five times from an empty cache (as generate starts): on a machine that others
  // share, the median and the best of five say more than one run.
  std::vector<double> prompts;
  for (int rep = 0; rep < 5; ++rep) {
    cache.reset();
    t0 = Clock::now();
    m.forward(ids.data(), 512, 0, cache, logits.data());
    prompts.push_back(secs(t0, Clock::now()));
  }
  cache.commit();
  std::sort(prompts.begin(), prompts.end());
  const double prompt_s = prompts[2];
  // Dense-equivalent FLOPs of the prompt's matrix products (2 per multiply-add).
  const double flops =
      2.0 * 512 * (params - c.vocab_size * c.hidden_size) + 2.0 * c.vocab_size * c.hidden_size;
  std::printf(
      "  prompt 512 tokens: %.3f s = %.0f tokens/s, best of 5 %.0f tokens/s (%.0f GFLOP/s in "
      "the projections)\n",
      prompt_s, 512 / prompt_s, 512 / prompts[0], flops / prompt_s / 1e9);
  std::vector<double> times;
  for (size_t i = 0; i < 64; ++i) {
    t0 = Clock::now();
    m.forward(ids.data() + 512 + i, 1, 512 + i, cache, logits.data());
    cache.commit();
    times.push_back(secs(t0, Clock::now()));
  }
  std::sort(times.begin(), times.end());
  const double t = times[times.size() / 2];
  std::printf(
      "  single-token forward (512-576 cached): %.2f ms = %.1f tokens/s, reads %.0f MB of "
      "weights = %.1f GB/s (%.0f%% of %.1f GB/s; bound %.1f tokens/s)\n",
      t * 1e3, 1 / t, step_bytes / 1e6, step_bytes / t / 1e9, 100 * step_bytes / t / 1e9 / bw, bw,
      bw * 1e9 / step_bytes);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s attn|cache|model [f32|f16] [path]\n", argv[0]);
    return 2;
  }
  const std::string what = argv[1];
  const tl::DType d = parse_dtype(argc > 2 ? argv[2] : nullptr);
  try {
    if (what == "attn") return bench_attention(d, read_bandwidth_gbs());
    if (what == "cache") return bench_cache(d, read_bandwidth_gbs());
    if (what == "model")
      return bench_model(d, argc > 3 ? argv[3] : "/tmp/tessaline_bench_model.safetensors");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    return 1;
  }
  return 2;
}
