#include "model/attention.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "tensor/error.h"
#include "tensor/half.h"
#include "tensor/kernels.h"
#include "tensor/kernels_attn.h"
#include "tensor/parallel.h"

namespace model {

namespace {

using tl::DType;

// Prompt tiles: about this many query rows (positions times the query heads that share a kv
// head) against blocks of kKeyBlock keys. Big enough for the matrix kernel to run near its peak,
// small enough that a tile's scores and sums stay in the core's cache.
constexpr size_t kTileRows = 128;
constexpr size_t kKeyBlock = 128;

// Raw dot products -> scores in d: round(round(dot) * scale).
void scale_scores(float* s, size_t n, float scale, DType d) {
  tl::kernels::round_to_dtype(s, n, d);
  for (size_t j = 0; j < n; ++j) s[j] = s[j] * scale;
  tl::kernels::round_to_dtype(s, n, d);
}

// sums[h] = finish(the sum of row h of p in Acc), rows x n with row stride n, in order of
// position. Rows four at a time, so that their chains of additions overlap.
template <typename Acc, typename Finish>
void row_sums_in(const float* p, size_t rows, size_t n, float* sums, Finish finish) {
  size_t h = 0;
  for (; h + 4 <= rows; h += 4) {
    const float* p0 = p + h * n;
    Acc s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    for (size_t j = 0; j < n; ++j) {
      s0 += p0[j];
      s1 += p0[n + j];
      s2 += p0[2 * n + j];
      s3 += p0[3 * n + j];
    }
    sums[h] = finish(s0), sums[h + 1] = finish(s1), sums[h + 2] = finish(s2);
    sums[h + 3] = finish(s3);
  }
  for (; h < rows; ++h) {
    Acc s = 0;
    for (size_t j = 0; j < n; ++j) s += p[h * n + j];
    sums[h] = finish(s);
  }
}

// The row sums as softmax_row takes them: F32 in double, then to f32; otherwise in f32, rounded
// to d.
void row_sums(const float* p, size_t rows, size_t n, DType d, float* sums) {
  if (d == DType::F32)
    row_sums_in<double>(p, rows, n, sums, [](double s) { return static_cast<float>(s); });
  else
    row_sums_in<float>(p, rows, n, sums, [d](float s) { return rnd(s, d); });
}

// The layer's sizes for one call.
struct Dims {
  DType d;
  size_t Hq, Hkv, D, n_rep;
  size_t S, L, T;  // new tokens, committed positions before the call, positions after it
  float scale;     // 1/sqrt(D) in d
};

// The call's projections: q (S, Hq, D), the gate (S, Hq, D) of a gated layer, k and v
// (S, Hkv, D); q and k normed and rotated. Everything rounded in d.
struct Projected {
  float* q;
  float* gate;  // nullptr when the layer has no gate
  float* k;
  float* v;
};

Projected project(const Attention& a, const float* x, size_t S, const float* cos, const float* sin,
                  AttentionScratch& scratch) {
  const DType d = a.q_proj.dtype();
  const size_t Hq = a.num_heads, Hkv = a.num_kv_heads, D = a.head_dim, R = a.rotary_dim;
  const size_t qw = a.gated ? 2 * D : D;  // q_proj outputs per head
  Projected p;
  float* qp = scratch.qp.get(S, mul_or_throw(Hq, qw));
  p.k = scratch.k.get(S, mul_or_throw(Hkv, D));
  p.v = scratch.v.get(S, Hkv * D);
  if (S == 1) {
    linear_forward_one_token({&a.q_proj, &a.k_proj, &a.v_proj}, {qp, p.k, p.v}, x);
  } else {
    linear_forward(a.q_proj, x, S, qp);
    linear_forward(a.k_proj, x, S, p.k);
    linear_forward(a.v_proj, x, S, p.v);
  }

  // Split a gated projection: per head, D query rows then D gate rows.
  p.q = qp;
  p.gate = nullptr;
  if (a.gated && D > 0) {  // zero-width heads have nothing to split (and any head count)
    p.q = scratch.q.get(S, Hq * D);
    p.gate = scratch.gate.get(S, Hq * D);
    for (size_t r = 0; r < S * Hq; ++r) {
      std::memcpy(p.q + r * D, qp + r * qw, D * sizeof(float));
      std::memcpy(p.gate + r * D, qp + r * qw + D, D * sizeof(float));
    }
  }
  if (a.q_norm && D > 0) a.q_norm->forward(p.q, S * Hq, p.q);
  if (a.k_norm && D > 0) a.k_norm->forward(p.k, S * Hkv, p.k);

  // The rotated part of each head is its leading R channels; a wider rotary than the head fails
  // on the queries (shape (1, Hq, S, D) after the head transpose), before the cache changes.
  if (R > D)
    throw tl::Error("narrow invalid args start + len > dim_len: " + tl::shape_str({1, Hq, S, D}) +
                    ", dim: 3, start: 0, len:" + std::to_string(R));
  for (size_t s = 0; s < S && R > 0; ++s) {
    for (size_t h = 0; h < Hq; ++h)
      apply_rotary(p.q + (s * Hq + h) * D, cos + s * R, sin + s * R, R, d);
    for (size_t h = 0; h < Hkv; ++h)
      apply_rotary(p.k + (s * Hkv + h) * D, cos + s * R, sin + s * R, R, d);
  }
  return p;
}

// Every failure that the append, the grouped-query repetition or the mask addition would meet,
// in that order, raised before the cache is written. Returns the call's sizes.
Dims check(const Attention& a, size_t S, size_t seqlen_offset, const LayerCache& entry) {
  Dims m;
  m.d = a.q_proj.dtype();
  m.Hq = a.num_heads, m.Hkv = a.num_kv_heads, m.D = a.head_dim;
  m.S = S;
  m.L = entry.kv_len;
  m.T = m.L + S;
  const size_t Hq = m.Hq, Hkv = m.Hkv, D = m.D, L = m.L, T = m.T;
  if (L > 0 && (entry.kv_heads != Hkv || entry.kv_head_dim != D)) {
    const size_t dim = entry.kv_heads != Hkv ? 1 : 3;
    throw tl::Error("shape mismatch in cat for dim " + std::to_string(dim) + ", shape for arg 1: " +
                    tl::shape_str({1, entry.kv_heads, L, entry.kv_head_dim}) +
                    " shape for arg 2: " + tl::shape_str({1, Hkv, S, D}));
  }
  if (L > 0 && entry.kv_dtype != m.d)
    throw tl::Error(std::string("dtype mismatch in cat, lhs: ") + tl::dtype_name(entry.kv_dtype) +
                    ", rhs: " + tl::dtype_name(m.d));
  m.n_rep = 1;
  if (Hq != Hkv) {
    if (Hkv == 0) throw tl::InternalFailure("attempt to divide by zero");
    m.n_rep = Hq / Hkv;
    if (Hkv * m.n_rep * T * D != Hq * T * D)
      throw tl::Error("shape mismatch in reshape, lhs: " + tl::shape_str({1, Hkv, m.n_rep, T, D}) +
                      ", rhs: " + tl::shape_str({1, Hq, T, D}));
  }
  if (S >= 2 && seqlen_offset != L)
    throw tl::Error("shape mismatch in broadcast_add, lhs: " + tl::shape_str({1, Hq, S, T}) +
                    ", rhs: " + tl::shape_str({1, 1, S, seqlen_offset + S}));
  m.scale = const_in(1.0 / std::sqrt(static_cast<double>(D)), m.d);
  return m;
}

// Appends the new keys (after norm and rotary) and values as rows L..T-1 of the cache, layout
// [pos][kv_head][D] in d, as the pending step. Capacity grows geometrically so appends are
// amortised O(1) per row.
void append(const Dims& m, const float* k, const float* v, LayerCache& entry) {
  const size_t es = tl::dtype_size(m.d);
  const size_t row_elems = m.Hkv * m.D;
  const size_t row_bytes = mul_or_throw(row_elems, es);
  const size_t need = mul_or_throw(m.T, row_bytes);
  entry.keys.reserve(need, m.L * row_bytes);  // the committed rows move with a regrown block
  entry.values.reserve(need, m.L * row_bytes);
  tl::kernels::store_as(k, entry.keys.bytes() + m.L * row_bytes, m.d, m.S * row_elems);
  tl::kernels::store_as(v, entry.values.bytes() + m.L * row_bytes, m.d, m.S * row_elems);
  entry.kv_dtype = m.d;
  entry.kv_heads = m.Hkv;
  entry.kv_head_dim = m.D;
  entry.kv_pending = m.T;
}

// round(exp(x)) in binary16 for every binary16 x, indexed by its bits: the F16 softmax takes the
// exponential of rounded values only, so a lookup gives the bits of expf without computing it.
// Built once (65536 calls of expf, a fraction of a millisecond).
const float* f16_exp_table() {
  static const std::vector<float> table = [] {
    std::vector<float> t(size_t{1} << 16);
    for (size_t h = 0; h < t.size(); ++h)
      t[h] = tl::round_f16(expf(tl::f16_to_f32(static_cast<uint16_t>(h))));
    return t;
  }();
  return table.data();
}

// Single-token steps cut the cache into chunks of whole blocks of kDecodeBlock positions, at most
// kDecodeChunks of them (so that a chunk's share of the work is worth a thread at long contexts
// and the partial sums stay small). The cut depends on T alone: every rounding is the same
// whichever thread runs a chunk, and however many there are.
constexpr size_t kDecodeBlock = 32;
constexpr size_t kDecodeChunks = 64;

// One query row over all T cached keys, chunk by chunk (a chunk's rows are contiguous in the
// cache, every kv head's part of them read once per step, for all the query heads that share it):
// scores, scaled and rounded as the softmax takes them, and each chunk's maximum; the softmax
// across chunks; then the chunk's probabilities times its values into a partial sum per chunk,
// added in chunk order. q, o: (Hq, D), query head h reads kv head h / n_rep.
//
// The softmax is softmax_row's, spread over the chunks: the row maximum is the maximum of the
// chunks' maxima (the same value; a row holding a NaN comes out NaN either way), the exponentials
// are elementwise, and the sum is taken in order of position, as softmax_row takes it.
void decode_step(const Dims& m, const float* q, const LayerCache& entry, AttentionScratch& scratch,
                 float* o) {
  const size_t Hq = m.Hq, Hkv = m.Hkv, D = m.D, T = m.T, R = m.n_rep;
  const DType d = m.d;
  const bool f32 = d == DType::F32;
  const size_t es = tl::dtype_size(d), ld = Hkv * D;  // elements from one cached row to the next
  const uint8_t* K = entry.keys.bytes();
  const uint8_t* V = entry.values.bytes();
  const size_t blocks = (T + kDecodeBlock - 1) / kDecodeBlock;
  const size_t chunks = std::min(blocks, kDecodeChunks);
  auto chunk_start = [&](size_t c) { return std::min(T, blocks * c / chunks * kDecodeBlock); };
  const size_t chunk_work = (T / chunks + 1) * Hq * D;

  float* sc = scratch.scores.get(T, Hq);  // (Hq, T) scores, then probabilities
  // (chunks, Hq, D) partial sums, then (Hq, chunks) chunk maxima, (Hq) row maxima, (Hq) sums.
  float* acc = scratch.acc.get(chunks + 1, Hq * (D + 1));
  float* cmax = acc + chunks * Hq * D;
  float* mx = cmax + Hq * chunks;
  float* sums = mx + Hq;

  // Runs f(chunk, first position, end position) for every chunk, spread over threads.
  auto for_chunks = [&](auto&& f) {
    tl::parallel::for_ranges(chunks, chunk_work, [&](size_t c0, size_t c1) {
      for (size_t c = c0; c < c1; ++c) f(c, chunk_start(c), chunk_start(c + 1));
    });
  };

  for_chunks([&](size_t c, size_t j0, size_t j1) {
    const size_t n = j1 - j0;
    tl::kernels::attn_scores(q, Hkv, R, D, K + j0 * ld * es, ld, d, n, sc + j0, T);
    for (size_t h = 0; h < Hq; ++h) {
      float* sr = sc + h * T + j0;
      scale_scores(sr, n, m.scale, d);
      float cm = sr[0];
      for (size_t j = 1; j < n; ++j)
        if (cm < sr[j]) cm = sr[j];
      cmax[h * chunks + c] = cm;
    }
  });
  for (size_t h = 0; h < Hq; ++h) {
    float rm = cmax[h * chunks];
    for (size_t c = 1; c < chunks; ++c)
      if (rm < cmax[h * chunks + c]) rm = cmax[h * chunks + c];
    mx[h] = rm;
  }

  // Exponentials (F16: of the rounded difference, rounded; through the table).
  const float* exp16 = d == DType::F16 ? f16_exp_table() : nullptr;
  for_chunks([&](size_t, size_t j0, size_t j1) {
    const size_t n = j1 - j0;
    for (size_t h = 0; h < Hq; ++h) {
      float* sr = sc + h * T + j0;
      const float rm = mx[h];
      if (f32) {
        for (size_t j = 0; j < n; ++j) sr[j] = expf(sr[j] - rm);
      } else if (exp16) {
        uint16_t bits[kDecodeBlock];
        for (size_t b = 0; b < n; b += kDecodeBlock) {
          const size_t nb = std::min(kDecodeBlock, n - b);
          for (size_t j = 0; j < nb; ++j) sr[b + j] = sr[b + j] - rm;
          tl::kernels::store_as(sr + b, bits, DType::F16, nb);
          for (size_t j = 0; j < nb; ++j) sr[b + j] = exp16[bits[j]];
        }
      } else {
        for (size_t j = 0; j < n; ++j) sr[j] = sr[j] - rm;
        tl::kernels::round_to_dtype(sr, n, d);
        for (size_t j = 0; j < n; ++j) sr[j] = expf(sr[j]);
        tl::kernels::round_to_dtype(sr, n, d);
      }
    }
  });
  // Sums in order of position (F32 in double, F16 in f32 then rounded).
  row_sums(sc, Hq, T, d, sums);

  // Probabilities, then this chunk's share of p . v.
  for_chunks([&](size_t c, size_t j0, size_t j1) {
    const size_t n = j1 - j0;
    for (size_t h = 0; h < Hq; ++h) {
      float* pr = sc + h * T + j0;
      const float sum = sums[h];
      for (size_t j = 0; j < n; ++j) pr[j] = pr[j] / sum;
      tl::kernels::round_to_dtype(pr, n, d);
    }
    float* a = acc + c * Hq * D;
    std::fill(a, a + Hq * D, 0.0f);
    tl::kernels::attn_values(sc + j0, T, Hkv, R, V + j0 * ld * es, ld, d, n, D, a);
  });

  // The chunks' partial sums in chunk order, rounded once.
  std::copy(acc, acc + Hq * D, o);
  for (size_t c = 1; c < chunks; ++c) {
    const float* a = acc + c * Hq * D;
    for (size_t i = 0; i < Hq * D; ++i) o[i] += a[i];
  }
  tl::kernels::round_to_dtype(o, Hq * D, d);
}

// A chunk of S >= 2 rows: row i (absolute position L + i) sees keys 0..L+i. The work is cut into
// tiles of one kv head and a block of positions, whose rows are the positions times the n_rep
// query heads sharing that kv head (each key and value is read once per tile, never copied per
// query head), and tiles go to whichever thread is free, the longest (latest positions) first.
//
// F32 keeps no score matrix: a tile walks its key blocks with a running maximum, sum and
// weighted sum of values per row (the online form of the softmax, the same values up to f32
// rounding). F16 rounds every step of the softmax against the row's final maximum and sum, so a
// tile keeps its rows' scores (rows x visible keys) and finishes the softmax before it reads the
// values.
class PromptAttention {
 public:
  PromptAttention(const Dims& m, const float* q, AttentionScratch& scratch, float* o)
      : m_(m), q_(q), o_(o) {
    bq_ = std::max<size_t>(1, kTileRows / m.n_rep);
    rows_max_ = m.n_rep * bq_;
    nqb_ = (m.S + bq_ - 1) / bq_;
    nkb_ = (m.T + kKeyBlock - 1) / kKeyBlock;
    tiles_ = nqb_ * m.Hkv;
    // One worker per share of tiles that the splitting rule allows (a tile's work is at most its
    // rows times every key, twice over D: scores and values).
    workers_ = tl::parallel::blocks_for(tiles_, mul_or_throw(rows_max_, m.T) * 2 * m.D);
    workers_ = std::min(workers_, tl::parallel::num_threads());
    slot_ = rows_max_ * (3 * m.D + kKeyBlock + 2);
    keys_ = scratch.keys.get(m.T, m.Hkv * m.D);
    values_ = scratch.values.get(m.T, m.Hkv * m.D);
    work_ = scratch.tiles.get(workers_, slot_);
    if (m.d != DType::F32) scores_ = scratch.scores.get(m.T, workers_ * rows_max_);
  }

  void run(const LayerCache& entry) {
    pack(entry);
    std::atomic<size_t> next{0};
    tl::parallel::run(workers_, [&](size_t w) {
      for (size_t t; (t = next.fetch_add(1)) < tiles_;) tile(nqb_ - 1 - t / m_.Hkv, t % m_.Hkv, w);
    });
  }

 private:
  // Keys widened to f32, (Hkv, T, D); values widened and transposed per key block, so that
  // block b of kv head g is one contiguous (D, width) operand at (g * T + b * kKeyBlock) * D.
  void pack(const LayerCache& entry) {
    const size_t Hkv = m_.Hkv, D = m_.D, T = m_.T;
    const bool f32 = m_.d == DType::F32;
    const size_t es = tl::dtype_size(m_.d), row_bytes = Hkv * D * es;
    const uint8_t* K = entry.keys.bytes();
    const uint8_t* V = entry.values.bytes();
    tl::parallel::for_ranges(Hkv * nkb_, kKeyBlock * D, [&](size_t b0, size_t b1) {
      for (size_t b = b0; b < b1; ++b) {
        const size_t g = b / nkb_, j0 = (b % nkb_) * kKeyBlock;
        const size_t nb = std::min(kKeyBlock, T - j0);
        float* vt = values_ + (g * T + j0) * D;
        for (size_t j = j0; j < j0 + nb; ++j) {
          const size_t off = j * row_bytes + g * D * es;
          tl::kernels::load_as_f32(K + off, m_.d, keys_ + (g * T + j) * D, D);
          if (f32) {
            const float* vr = reinterpret_cast<const float*>(V + off);
            for (size_t c = 0; c < D; ++c) vt[c * nb + (j - j0)] = vr[c];
          } else {
            const uint16_t* vr = reinterpret_cast<const uint16_t*>(V + off);
            for (size_t c = 0; c < D; ++c) vt[c * nb + (j - j0)] = tl::f16_to_f32(vr[c]);
          }
        }
      }
    });
  }

  const float* key_block(size_t g, size_t j0) const { return keys_ + (g * m_.T + j0) * m_.D; }
  const float* value_block(size_t g, size_t j0) const { return values_ + (g * m_.T + j0) * m_.D; }

  // Keys of block j0.. that row i of the tile at position block start i0 sees (0 when none).
  size_t visible_in(size_t i0, size_t i, size_t j0, size_t nb) const {
    const size_t upto = m_.L + i0 + i + 1;  // keys 0..upto-1
    return upto <= j0 ? 0 : std::min(nb, upto - j0);
  }

  // Tile of kv head g and position block qb, in worker w's memory.
  void tile(size_t qb, size_t g, size_t w) {
    const size_t D = m_.D, Hq = m_.Hq, n_rep = m_.n_rep;
    const size_t i0 = qb * bq_, nq = std::min(bq_, m_.S - i0), rows = n_rep * nq;
    Slot s;
    s.Q = work_ + w * slot_;                 // (rows, D): row r * nq + i is head g * n_rep + r
    s.tile = s.Q + rows_max_ * D;            // (rows, kKeyBlock) scores, then probabilities
    s.acc = s.tile + rows_max_ * kKeyBlock;  // (rows, D) weighted values
    s.part = s.acc + rows_max_ * D;          // (rows, D) one key block's product
    s.mx = s.part + rows_max_ * D;           // (rows) running maximum
    s.sum = s.mx + rows_max_;                // (rows) running sum
    for (size_t r = 0; r < n_rep; ++r)
      for (size_t i = 0; i < nq; ++i)
        std::memcpy(s.Q + (r * nq + i) * D, q_ + ((i0 + i) * Hq + g * n_rep + r) * D,
                    D * sizeof(float));
    std::fill(s.acc, s.acc + rows * D, 0.0f);
    if (m_.d == DType::F32)
      online(s, rows, nq, i0, g);
    else
      rounded(s, rows, nq, i0, g, scores_ + w * rows_max_ * m_.T);
    for (size_t r = 0; r < n_rep; ++r)
      for (size_t i = 0; i < nq; ++i) {
        float* dst = o_ + ((i0 + i) * Hq + g * n_rep + r) * D;
        const float* src = s.acc + (r * nq + i) * D;
        for (size_t c = 0; c < D; ++c) dst[c] = rnd(src[c], m_.d);
      }
  }

  struct Slot {
    float *Q, *tile, *acc, *part, *mx, *sum;
  };

  // acc += tile (rows, nb) . value block (nb, D).
  void add_values(const Slot& s, size_t rows, size_t nb, size_t g, size_t j0) const {
    tl::kernels::matmul_xwt(s.tile, rows, nb, value_block(g, j0), DType::F32, m_.D, s.part);
    for (size_t i = 0; i < rows * m_.D; ++i) s.acc[i] += s.part[i];
  }

  // F32: scores, running maximum and sum per row, block by block; acc ends as the softmax-weighted
  // sum of values.
  void online(const Slot& s, size_t rows, size_t nq, size_t i0, size_t g) const {
    const size_t D = m_.D;
    std::fill(s.mx, s.mx + rows, -std::numeric_limits<float>::infinity());
    std::fill(s.sum, s.sum + rows, 0.0f);
    const size_t visible = m_.L + i0 + nq;  // keys seen by the tile's last row
    for (size_t j0 = 0; j0 < visible; j0 += kKeyBlock) {
      const size_t nb = std::min(kKeyBlock, m_.T - j0);
      tl::kernels::matmul_xwt(s.Q, rows, D, key_block(g, j0), DType::F32, nb, s.tile);
      for (size_t rr = 0; rr < rows; ++rr) {
        float* sr = s.tile + rr * nb;
        const size_t vis = visible_in(i0, rr % nq, j0, nb);
        if (vis == 0) {
          std::fill(sr, sr + nb, 0.0f);
          continue;
        }
        for (size_t j = 0; j < vis; ++j) sr[j] = sr[j] * m_.scale;
        // The maximum as the softmax takes it (a NaN score still reaches the sums below).
        float bm = sr[0];
        for (size_t j = 1; j < vis; ++j)
          if (bm < sr[j]) bm = sr[j];
        const float old = s.mx[rr];
        const float mnew = old < bm ? bm : old;
        const float corr =
            old == -std::numeric_limits<float>::infinity() ? 0.0f : std::exp(old - mnew);
        double bs = 0.0;
        for (size_t j = 0; j < vis; ++j) {
          sr[j] = std::exp(sr[j] - mnew);
          bs += sr[j];
        }
        std::fill(sr + vis, sr + nb, 0.0f);
        s.sum[rr] = static_cast<float>(s.sum[rr] * corr + bs);
        s.mx[rr] = mnew;
        if (corr != 1.0f)
          for (size_t c = 0; c < D; ++c) s.acc[rr * D + c] *= corr;
      }
      add_values(s, rows, nb, g, j0);
    }
    for (size_t rr = 0; rr < rows; ++rr)
      for (size_t c = 0; c < D; ++c) s.acc[rr * D + c] = s.acc[rr * D + c] / s.sum[rr];
  }

  // F16 (and any dtype whose softmax rounds each step): the rows' scores over every visible key
  // in `scores` (rows, T), the rounded softmax per row, then the probabilities times the values
  // block by block, accumulated in f32 (the caller rounds once).
  void rounded(const Slot& s, size_t rows, size_t nq, size_t i0, size_t g, float* scores) const {
    const size_t D = m_.D, T = m_.T;
    const size_t visible = m_.L + i0 + nq;
    for (size_t j0 = 0; j0 < visible; j0 += kKeyBlock) {
      const size_t nb = std::min(kKeyBlock, T - j0), nv = std::min(nb, visible - j0);
      tl::kernels::matmul_xwt(s.Q, rows, D, key_block(g, j0), DType::F32, nb, s.tile);
      for (size_t rr = 0; rr < rows; ++rr)
        std::copy(s.tile + rr * nb, s.tile + rr * nb + nv, scores + rr * T + j0);
    }
    for (size_t rr = 0; rr < rows; ++rr) {
      const size_t n = m_.L + i0 + rr % nq + 1;
      scale_scores(scores + rr * T, n, m_.scale, m_.d);
      softmax_row(scores + rr * T, n, visible, m_.d);
    }
    for (size_t j0 = 0; j0 < visible; j0 += kKeyBlock) {
      const size_t nb = std::min(kKeyBlock, T - j0), nv = std::min(nb, visible - j0);
      for (size_t rr = 0; rr < rows; ++rr) {
        float* tr = s.tile + rr * nb;
        std::copy(scores + rr * T + j0, scores + rr * T + j0 + nv, tr);
        std::fill(tr + nv, tr + nb, 0.0f);
      }
      add_values(s, rows, nb, g, j0);
    }
  }

  const Dims& m_;
  const float* q_;
  float* o_;
  size_t bq_ = 0, rows_max_ = 0, nqb_ = 0, nkb_ = 0, tiles_ = 0, workers_ = 0, slot_ = 0;
  float* keys_ = nullptr;
  float* values_ = nullptr;
  float* work_ = nullptr;
  float* scores_ = nullptr;
};

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
  const Projected p = project(*this, x, S, cos, sin, scratch);
  const Dims m = check(*this, S, seqlen_offset, entry);
  append(m, p.k, p.v, entry);
  float* o = scratch.o.get(S, m.Hq * m.D);  // (S, Hq, D)
  if (m.Hq == 0 || m.D == 0)
    std::fill(o, o + S * m.Hq * m.D, 0.0f);
  else if (S == 1)
    decode_step(m, p.q, entry, scratch, o);
  else
    PromptAttention(m, p.q, scratch, o).run(entry);
  if (p.gate) sigmoid_mul(o, p.gate, S * m.Hq * m.D, m.d);
  linear_forward(o_proj, o, S, out);
}

}  // namespace model
