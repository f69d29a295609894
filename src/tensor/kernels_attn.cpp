// Per-target SIMD kernels of single-token attention over the cache (tensor/kernels_attn.h).
// Compiled once per CPU target through foreach_target.h; HWY_DYNAMIC_DISPATCH picks the best
// target on first call.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "tensor/kernels_attn.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
//
#include <algorithm>
#include <string>

#include "hwy/cache_control.h"
#include "hwy/highway.h"
#include "tensor/error.h"
#include "tensor/half.h"
#include "tensor/kernels_attn.h"
#include "tensor/simd_rows-inl.h"

HWY_BEFORE_NAMESPACE();
namespace tl::kernels::attn {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using DF = hn::ScalableTag<float>;
using VF = hn::Vec<DF>;

using ::tl::kernels::rows::HWY_NAMESPACE::Elem;
using ::tl::kernels::rows::HWY_NAMESPACE::LoadW;

// Asks for rows [j, j + m) of a span of n rows (row stride ld elements) ahead of use, about
// kAheadBytes ahead. One thread walks its rows as a single stream, which the hardware prefetchers
// alone kept at about 5-6 GB/s here (AVX2, D = 128); 2-4 KiB ahead read the keys at 7-8 GB/s.
constexpr size_t kAheadBytes = 4096;
template <typename TW>
HWY_INLINE void PrefetchRows(const TW* base, size_t ld, size_t j, size_t m, size_t n) {
  if (j >= n) return;
  const char* p = reinterpret_cast<const char*>(base + j * ld);
  const size_t bytes = std::min(m, n - j) * ld * sizeof(TW);
  for (size_t b = 0; b < bytes; b += 64) hwy::Prefetch(p + b);
}
HWY_INLINE size_t AheadRows(size_t ld, size_t es) {
  return (kAheadBytes + ld * es - 1) / std::max<size_t>(1, ld * es);
}

// ---- scores ----

#if HWY_TARGET != HWY_SCALAR
// Halves added until one 128-bit block is left (whole vectors only; scalable ones go through
// memory).
template <class D>
HWY_INLINE auto FoldBlocks(D /*d*/, hn::Vec<D> v) {
  if constexpr (!HWY_HAVE_SCALABLE && hn::MaxLanes(D()) > 4) {
    const hn::Half<D> dh;
    return FoldBlocks(dh, hn::Add(hn::LowerHalf(dh, v), hn::UpperHalf(dh, v)));
  } else {
    return v;
  }
}
#endif

// out[i] = the lane sum of v_i (i < 4), four at once: per 128-bit block a 4 x 4 transpose that
// adds as it goes, then the blocks added. Every lane sum is taken in the same order whatever the
// other three vectors hold, so a score does not depend on the rows or queries it was tiled with.
HWY_INLINE void LaneSums4(DF df, VF v0, VF v1, VF v2, VF v3, float* out) {
#if HWY_TARGET == HWY_SCALAR
  out[0] = hn::GetLane(v0);
  out[1] = hn::GetLane(v1);
  out[2] = hn::GetLane(v2);
  out[3] = hn::GetLane(v3);
#else
  const hn::Repartition<uint64_t, DF> du;
  // 0: v0[0]+v0[2], v1[0]+v1[2], v0[1]+v0[3], v1[1]+v1[3] (per block); 1: the same for v2, v3.
  const VF s01 = hn::Add(hn::InterleaveLower(df, v0, v1), hn::InterleaveUpper(df, v0, v1));
  const VF s23 = hn::Add(hn::InterleaveLower(df, v2, v3), hn::InterleaveUpper(df, v2, v3));
  const auto p01 = hn::BitCast(du, s01), p23 = hn::BitCast(du, s23);
  const VF lo = hn::BitCast(df, hn::InterleaveLower(du, p01, p23));
  const VF hi = hn::BitCast(df, hn::InterleaveUpper(du, p01, p23));
  const VF sums = hn::Add(lo, hi);  // per block: its part of the four lane sums
#if HWY_HAVE_SCALABLE
  HWY_ALIGN float buf[hn::MaxLanes(DF())];
  hn::Store(sums, df, buf);
  const hn::FixedTag<float, 4> d4;
  auto t = hn::Load(d4, buf);
  for (size_t b = 4; b < hn::Lanes(df); b += 4) t = hn::Add(t, hn::Load(d4, buf + b));
  hn::StoreU(t, d4, out);
#else
  const auto t = FoldBlocks(df, sums);
  hn::StoreU(t, hn::DFromV<decltype(t)>(), out);
#endif
#endif
}

// The leftover elements (D not a multiple of the vector) one by one after the lane sum.
template <typename TW>
HWY_INLINE float Tail(float s, const float* x, const TW* w, size_t kv, size_t K) {
  for (size_t k = kv; k < K; ++k) s += x[k] * Elem(w, k);
  return s;
}

// RG (1..4) queries against NK (1 or 2) key rows: RG * NK accumulators, each key vector loaded
// (and widened) once for all RG queries; the lane sums four at a time (one key row's queries).
template <size_t RG, size_t NK, typename TW>
HWY_INLINE void ScoresTile(const float* Q, size_t D, const TW* k0, const TW* k1, float* S,
                           size_t lds) {
  const DF df;
  const size_t L = hn::Lanes(df);
  const size_t kv = D / L * L;
  const float* q0 = Q;
  const float* q1 = Q + (RG > 1 ? D : 0);
  const float* q2 = Q + (RG > 2 ? 2 * D : 0);
  const float* q3 = Q + (RG > 3 ? 3 * D : 0);
  VF a00 = hn::Zero(df), a01 = a00, a10 = a00, a11 = a00, a20 = a00, a21 = a00, a30 = a00,
     a31 = a00;
  for (size_t k = 0; k < kv; k += L) {
    const VF w0 = LoadW(df, k0 + k);
    const VF w1 = NK > 1 ? LoadW(df, k1 + k) : w0;
    VF x = hn::LoadU(df, q0 + k);
    a00 = hn::MulAdd(x, w0, a00);
    if constexpr (NK > 1) a01 = hn::MulAdd(x, w1, a01);
    if constexpr (RG > 1) {
      x = hn::LoadU(df, q1 + k);
      a10 = hn::MulAdd(x, w0, a10);
      if constexpr (NK > 1) a11 = hn::MulAdd(x, w1, a11);
    }
    if constexpr (RG > 2) {
      x = hn::LoadU(df, q2 + k);
      a20 = hn::MulAdd(x, w0, a20);
      if constexpr (NK > 1) a21 = hn::MulAdd(x, w1, a21);
    }
    if constexpr (RG > 3) {
      x = hn::LoadU(df, q3 + k);
      a30 = hn::MulAdd(x, w0, a30);
      if constexpr (NK > 1) a31 = hn::MulAdd(x, w1, a31);
    }
  }
  HWY_ALIGN float s0[4], s1[4];
  LaneSums4(df, a00, a10, a20, a30, s0);
  if constexpr (NK > 1) LaneSums4(df, a01, a11, a21, a31, s1);
  if (HWY_UNLIKELY(kv < D)) {
    const float* q[4] = {q0, q1, q2, q3};
    for (size_t r = 0; r < RG; ++r) {
      s0[r] = Tail(s0[r], q[r], k0, kv, D);
      if constexpr (NK > 1) s1[r] = Tail(s1[r], q[r], k1, kv, D);
    }
  }
  for (size_t r = 0; r < RG; ++r) {
    S[r * lds] = s0[r];
    if constexpr (NK > 1) S[r * lds + 1] = s1[r];
  }
}

// Query heads g * R + r0 .. + rg of kv head g (rg <= 4) against NK key rows.
template <size_t NK, typename TW>
HWY_INLINE void ScoresGroup(const float* Q, size_t D, size_t rg, const TW* k0, const TW* k1,
                            float* S, size_t lds) {
  switch (rg) {
    case 4:
      ScoresTile<4, NK>(Q, D, k0, k1, S, lds);
      break;
    case 3:
      ScoresTile<3, NK>(Q, D, k0, k1, S, lds);
      break;
    case 2:
      ScoresTile<2, NK>(Q, D, k0, k1, S, lds);
      break;
    default:
      ScoresTile<1, NK>(Q, D, k0, k1, S, lds);
      break;
  }
}

// Two cached rows at a time, every kv head's part of them in turn, so that memory is read in
// order; with more than four query heads per kv head the later groups of four read the rows
// from L1.
template <typename TW>
HWY_INLINE void ScoresT(const float* Q, size_t G, size_t R, size_t D, const TW* K, size_t ldk,
                        size_t n, float* S, size_t lds) {
  const size_t ahead = AheadRows(ldk, sizeof(TW));
  size_t j = 0;
  for (; j + 2 <= n; j += 2) {
    PrefetchRows(K, ldk, j + ahead, 2, n);
    for (size_t g = 0; g < G; ++g)
      for (size_t r = g * R; r < (g + 1) * R; r += 4)
        ScoresGroup<2>(Q + r * D, D, std::min<size_t>(4, (g + 1) * R - r), K + j * ldk + g * D,
                       K + (j + 1) * ldk + g * D, S + r * lds + j, lds);
  }
  if (j < n)
    for (size_t g = 0; g < G; ++g)
      for (size_t r = g * R; r < (g + 1) * R; r += 4)
        ScoresGroup<1>(Q + r * D, D, std::min<size_t>(4, (g + 1) * R - r), K + j * ldk + g * D,
                       K + j * ldk + g * D, S + r * lds + j, lds);
}

void ScoresF32(const float* Q, size_t G, size_t R, size_t D, const float* K, size_t ldk, size_t n,
               float* S, size_t lds) {
  ScoresT(Q, G, R, D, K, ldk, n, S, lds);
}
void ScoresF16(const float* Q, size_t G, size_t R, size_t D, const uint16_t* K, size_t ldk,
               size_t n, float* S, size_t lds) {
  ScoresT(Q, G, R, D, K, ldk, n, S, lds);
}

// ---- probabilities times values ----

// Rows of RG (1..4) weight rows times CV (1..4) vectors of columns starting at column c0: RG * CV
// accumulators loaded from and stored back to acc (row stride D); each value vector is loaded (and
// widened) once for all RG rows.
template <size_t RG, size_t CV, typename TW>
HWY_INLINE void ValuesTile(const float* P, size_t ldp, const TW* V, size_t ldv, size_t n,
                           float* acc, size_t D, size_t c0) {
  const DF df;
  const size_t L = hn::Lanes(df);
  const size_t o1 = CV > 1 ? L : 0, o2 = CV > 2 ? 2 * L : 0, o3 = CV > 3 ? 3 * L : 0;
  float* c0p = acc + c0;
  float* c1p = acc + (RG > 1 ? D : 0) + c0;
  float* c2p = acc + (RG > 2 ? 2 * D : 0) + c0;
  float* c3p = acc + (RG > 3 ? 3 * D : 0) + c0;
  const float* p0 = P;
  const float* p1 = P + (RG > 1 ? ldp : 0);
  const float* p2 = P + (RG > 2 ? 2 * ldp : 0);
  const float* p3 = P + (RG > 3 ? 3 * ldp : 0);
#define TL_ROW_LOAD(r)                                             \
  VF a##r##0 = hn::LoadU(df, c##r##p);                             \
  VF a##r##1 = CV > 1 ? hn::LoadU(df, c##r##p + o1) : a##r##0;     \
  VF a##r##2 = CV > 2 ? hn::LoadU(df, c##r##p + o2) : a##r##0;     \
  VF a##r##3 = CV > 3 ? hn::LoadU(df, c##r##p + o3) : a##r##0;
  TL_ROW_LOAD(0)
  TL_ROW_LOAD(1)
  TL_ROW_LOAD(2)
  TL_ROW_LOAD(3)
#undef TL_ROW_LOAD
  for (size_t j = 0; j < n; ++j) {
    const TW* v = V + j * ldv + c0;
    const VF v0 = LoadW(df, v);
    const VF v1 = CV > 1 ? LoadW(df, v + o1) : v0;
    const VF v2 = CV > 2 ? LoadW(df, v + o2) : v0;
    const VF v3 = CV > 3 ? LoadW(df, v + o3) : v0;
#define TL_ROW_FMA(r)                                             \
  if constexpr (RG > r) {                                         \
    const VF p = hn::Set(df, p##r[j]);                            \
    a##r##0 = hn::MulAdd(p, v0, a##r##0);                         \
    if constexpr (CV > 1) a##r##1 = hn::MulAdd(p, v1, a##r##1);   \
    if constexpr (CV > 2) a##r##2 = hn::MulAdd(p, v2, a##r##2);   \
    if constexpr (CV > 3) a##r##3 = hn::MulAdd(p, v3, a##r##3);   \
  }
    TL_ROW_FMA(0)
    TL_ROW_FMA(1)
    TL_ROW_FMA(2)
    TL_ROW_FMA(3)
#undef TL_ROW_FMA
  }
#define TL_ROW_STORE(r)                                           \
  if constexpr (RG > r) {                                         \
    hn::StoreU(a##r##0, df, c##r##p);                             \
    if constexpr (CV > 1) hn::StoreU(a##r##1, df, c##r##p + o1);  \
    if constexpr (CV > 2) hn::StoreU(a##r##2, df, c##r##p + o2);  \
    if constexpr (CV > 3) hn::StoreU(a##r##3, df, c##r##p + o3);  \
  }
  TL_ROW_STORE(0)
  TL_ROW_STORE(1)
  TL_ROW_STORE(2)
  TL_ROW_STORE(3)
#undef TL_ROW_STORE
}

// Column vectors per tile: RG * CV accumulators plus CV value vectors must fit the registers
// (16 vector registers on x86 below AVX-512, 32 on AVX-512 and arm64).
#if HWY_ARCH_X86 && HWY_TARGET > HWY_AVX3
constexpr size_t kTileVectors = 2;
#else
constexpr size_t kTileVectors = 4;
#endif

template <size_t RG, typename TW>
HWY_INLINE void ValuesRows(const float* P, size_t ldp, const TW* V, size_t ldv, size_t n,
                           float* acc, size_t D) {
  const DF df;
  const size_t L = hn::Lanes(df);
  const size_t kv = D / L * L;
  size_t c = 0;
  constexpr size_t CV = kTileVectors;
  for (; c + CV * L <= kv; c += CV * L) ValuesTile<RG, CV>(P, ldp, V, ldv, n, acc, D, c);
  for (; c < kv; c += L) ValuesTile<RG, 1>(P, ldp, V, ldv, n, acc, D, c);
  for (; c < D; ++c)
    for (size_t r = 0; r < RG; ++r) {
      float s = acc[r * D + c];
      for (size_t j = 0; j < n; ++j) s += P[r * ldp + j] * Elem(V + j * ldv, c);
      acc[r * D + c] = s;
    }
}

// Query heads r0 .. r0 + rg (rg <= 4) of one kv head.
template <typename TW>
HWY_INLINE void ValuesGroup(const float* P, size_t ldp, size_t rg, const TW* V, size_t ldv,
                            size_t n, float* acc, size_t D) {
  switch (rg) {
    case 4:
      ValuesRows<4>(P, ldp, V, ldv, n, acc, D);
      break;
    case 3:
      ValuesRows<3>(P, ldp, V, ldv, n, acc, D);
      break;
    case 2:
      ValuesRows<2>(P, ldp, V, ldv, n, acc, D);
      break;
    default:
      ValuesRows<1>(P, ldp, V, ldv, n, acc, D);
      break;
  }
}

// Rows in blocks that are widened (F16) or copied (F32) in order into an L1 buffer of
// kStageFloats, then multiplied column tile by column tile from there: memory is read in order
// (walking a column tile down rows in memory read about half as fast) and each F16 value is
// widened once. Rows wider than the buffer go through it one at a time, in parts of whole kv heads.
// Blocks of four rows (rather than 16) keep the prefetch ahead of the stage: measured 8 instead of
// 5-6 GB/s for F32 values on one thread.
constexpr size_t kStageFloats = 4096;
constexpr size_t kStageRows = 4;

template <typename TW>
HWY_INLINE void Stage(const TW* src, size_t n, float* dst) {
  const DF df;
  const size_t L = hn::Lanes(df);
  size_t i = 0;
  for (; i + L <= n; i += L) hn::StoreU(LoadW(df, src + i), df, dst + i);
  for (; i < n; ++i) dst[i] = Elem(src, i);
}

template <typename TW>
HWY_INLINE void ValuesT(const float* P, size_t ldp, size_t G, size_t R, const TW* V, size_t ldv,
                        size_t n, size_t D, float* acc) {
  HWY_ALIGN float buf[kStageFloats];
  // Kv heads per pass (all of them unless a row is wider than the buffer) and rows per block.
  const size_t gs = std::max<size_t>(1, std::min(G, kStageFloats / std::max<size_t>(D, 1)));
  if (D > kStageFloats) {  // a head wider than the buffer: straight from memory, row by row
    for (size_t j = 0; j < n; ++j)
      for (size_t g = 0; g < G; ++g)
        for (size_t r = g * R; r < (g + 1) * R; r += 4)
          ValuesGroup(P + r * ldp + j, ldp, std::min<size_t>(4, (g + 1) * R - r),
                      V + j * ldv + g * D, ldv, 1, acc + r * D, D);
    return;
  }
  const size_t nbmax = std::max<size_t>(1, std::min(kStageRows, kStageFloats / (gs * D)));
  const size_t ahead = AheadRows(ldv, sizeof(TW));
  for (size_t j0 = 0; j0 < n; j0 += nbmax) {
    const size_t nb = std::min(nbmax, n - j0);
    PrefetchRows(V, ldv, j0 + ahead, nbmax, n);
    for (size_t g0 = 0; g0 < G; g0 += gs) {
      const size_t ng = std::min(gs, G - g0), w = ng * D;
      for (size_t j = 0; j < nb; ++j) Stage(V + (j0 + j) * ldv + g0 * D, w, buf + j * w);
      for (size_t g = g0; g < g0 + ng; ++g)
        for (size_t r = g * R; r < (g + 1) * R; r += 4)
          ValuesGroup(P + r * ldp + j0, ldp, std::min<size_t>(4, (g + 1) * R - r),
                      buf + (g - g0) * D, w, nb, acc + r * D, D);
    }
  }
}

void ValuesF32(const float* P, size_t ldp, size_t G, size_t R, const float* V, size_t ldv,
               size_t n, size_t D, float* acc) {
  ValuesT(P, ldp, G, R, V, ldv, n, D, acc);
}
void ValuesF16(const float* P, size_t ldp, size_t G, size_t R, const uint16_t* V, size_t ldv,
               size_t n, size_t D, float* acc) {
  ValuesT(P, ldp, G, R, V, ldv, n, D, acc);
}

}  // namespace HWY_NAMESPACE
}  // namespace tl::kernels::attn
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tl::kernels {
namespace attn {
HWY_EXPORT(ScoresF32);
HWY_EXPORT(ScoresF16);
HWY_EXPORT(ValuesF32);
HWY_EXPORT(ValuesF16);
}  // namespace attn

namespace {
[[noreturn]] void unsupported(DType dt) {
  throw Error(std::string("unsupported dtype ") + dtype_name(dt) + " for op attention");
}
}  // namespace

void attn_scores(const float* Q, size_t G, size_t R, size_t D, const void* K, size_t ldk, DType dt,
                 size_t n, float* S, size_t lds) {
  if (dt == DType::F32)
    HWY_DYNAMIC_DISPATCH(attn::ScoresF32)(Q, G, R, D, static_cast<const float*>(K), ldk, n, S,
                                          lds);
  else if (dt == DType::F16)
    HWY_DYNAMIC_DISPATCH(attn::ScoresF16)(Q, G, R, D, static_cast<const uint16_t*>(K), ldk, n, S,
                                          lds);
  else
    unsupported(dt);
}

void attn_values(const float* P, size_t ldp, size_t G, size_t R, const void* V, size_t ldv,
                 DType dt, size_t n, size_t D, float* acc) {
  if (dt == DType::F32)
    HWY_DYNAMIC_DISPATCH(attn::ValuesF32)(P, ldp, G, R, static_cast<const float*>(V), ldv, n, D,
                                          acc);
  else if (dt == DType::F16)
    HWY_DYNAMIC_DISPATCH(attn::ValuesF16)(P, ldp, G, R, static_cast<const uint16_t*>(V), ldv, n,
                                          D, acc);
  else
    unsupported(dt);
}

}  // namespace tl::kernels
#endif  // HWY_ONCE
