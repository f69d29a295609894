// Per-target SIMD kernels (Highway). This file is compiled once per CPU target through
// foreach_target.h; HWY_DYNAMIC_DISPATCH picks the best target on first call.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "tensor/kernels_simd.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
//
#include <algorithm>

#include "hwy/cache_control.h"
#include "hwy/highway.h"
#include "tensor/half.h"
#include "tensor/kernels_simd.h"
#include "tensor/simd_rows-inl.h"

HWY_BEFORE_NAMESPACE();
namespace tl::kernels::simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using DF = hn::ScalableTag<float>;
using VF = hn::Vec<DF>;

// ---- element access ----

using ::tl::kernels::rows::HWY_NAMESPACE::Elem;
using ::tl::kernels::rows::HWY_NAMESPACE::LoadW;

HWY_INLINE float LaneSum(DF df, VF v) { return hn::GetLane(hn::SumOfLanes(df, v)); }

// The fixed summation order of one output: s = lane sum of the vector accumulator, then the
// elements after the last full vector, one by one.
template <typename TW>
HWY_INLINE float Finish(DF df, VF acc, const float* x, const TW* w, size_t kv, size_t K) {
  float s = LaneSum(df, acc);
  for (size_t k = kv; k < K; ++k) s += x[k] * Elem(w, k);
  return s;
}

template <typename TW>
HWY_INLINE float DotT(const float* x, const TW* w, size_t K) {
  const DF df;
  const size_t L = hn::Lanes(df);
  const size_t kv = K / L * L;
  VF a = hn::Zero(df);
  for (size_t k = 0; k < kv; k += L) a = hn::MulAdd(hn::LoadU(df, x + k), LoadW(df, w + k), a);
  return Finish(df, a, x, w, kv, K);
}

// ---- matrix-vector ----

// NR (4 or 8) weight rows at a time share each load of x; one accumulator per row. The loop body
// covers one 64-byte line of each row (U vectors, added in order, so the sum order stays the
// canonical one) and prefetches kPrefetchBytes ahead, which starts the next 4 KiB page of each row
// before the hardware prefetcher (which stops at page boundaries) would. Measured on one thread
// (AVX3 and AVX2 alike): 8 rows instead of 4 read F16 at 13.4-13.6 instead of 12.7-12.8 GB/s and
// F32 at 13.9-14.1 instead of 13.6-13.7; the 512-byte prefetch adds about 10% for F16 and nothing
// for F32; 2 KiB and more is slower.
constexpr size_t kPrefetchBytes = 512;

// Rows shorter than a page: the NR rows of a group are P rows apart, and the P groups of a block
// of NR x P rows run one after the other, so that each of the NR streams reads P consecutive rows,
// one contiguous run of memory, as a long row would. Side by side, the NR rows of a group would
// be NR short streams that two by two share a page, and each group would start NR new streams
// (on one thread of this machine, 1024 x 1024 F16: 7-8 GB/s that way, as an F32 matrix with
// rows as short; F16 rows of 4096 elements: 12; with streams of 8 KiB, 12-16). Each output keeps
// its row's summation order, so P may follow the range.
constexpr size_t kStreamBytes = 8192;
constexpr size_t kMaxRowsPerStream = 4;
template <typename TW>
HWY_INLINE size_t RowsPerStream(size_t K) {
  const size_t row = K * sizeof(TW);
  return row == 0 ? 1 : std::clamp<size_t>(kStreamBytes / row, 1, kMaxRowsPerStream);
}

// One group: rows r0 + j * rs for j < NR, outputs y[j * ys]. `wrap`: what to add to a prefetch
// address past the end of a row so that it lands in the row that the same stream reads next
// (0 when that is the next row in memory).
template <size_t NR, typename TW>
HWY_INLINE void GemvGroup(const float* x, size_t K, const TW* r0, size_t rs, size_t wrap,
                          float* y, size_t ys) {
  const DF df;
  const size_t L = hn::Lanes(df);
  const size_t kv = K / L * L;
  const size_t U = std::max<size_t>(1, 64 / (L * sizeof(TW)));  // vectors per line of W
  const size_t ku = K / (U * L) * (U * L);
  constexpr size_t kAhead = kPrefetchBytes / sizeof(TW);
  VF a0 = hn::Zero(df), a1 = a0, a2 = a0, a3 = a0, a4 = a0, a5 = a0, a6 = a0, a7 = a0;
  size_t k = 0;
  for (; k < ku; k += U * L) {
    const TW* pf = r0 + k + kAhead + (k + kAhead >= K ? wrap : 0);
    for (size_t j = 0; j < NR; ++j) hwy::Prefetch(pf + j * rs);
    for (size_t u = 0; u < U; ++u) {
      const size_t kk = k + u * L;
      const VF xv = hn::LoadU(df, x + kk);
      a0 = hn::MulAdd(xv, LoadW(df, r0 + kk), a0);
      a1 = hn::MulAdd(xv, LoadW(df, r0 + rs + kk), a1);
      a2 = hn::MulAdd(xv, LoadW(df, r0 + 2 * rs + kk), a2);
      a3 = hn::MulAdd(xv, LoadW(df, r0 + 3 * rs + kk), a3);
      if constexpr (NR > 4) {
        a4 = hn::MulAdd(xv, LoadW(df, r0 + 4 * rs + kk), a4);
        a5 = hn::MulAdd(xv, LoadW(df, r0 + 5 * rs + kk), a5);
        a6 = hn::MulAdd(xv, LoadW(df, r0 + 6 * rs + kk), a6);
        a7 = hn::MulAdd(xv, LoadW(df, r0 + 7 * rs + kk), a7);
      }
    }
  }
  for (; k < kv; k += L) {
    const VF xv = hn::LoadU(df, x + k);
    a0 = hn::MulAdd(xv, LoadW(df, r0 + k), a0);
    a1 = hn::MulAdd(xv, LoadW(df, r0 + rs + k), a1);
    a2 = hn::MulAdd(xv, LoadW(df, r0 + 2 * rs + k), a2);
    a3 = hn::MulAdd(xv, LoadW(df, r0 + 3 * rs + k), a3);
    if constexpr (NR > 4) {
      a4 = hn::MulAdd(xv, LoadW(df, r0 + 4 * rs + k), a4);
      a5 = hn::MulAdd(xv, LoadW(df, r0 + 5 * rs + k), a5);
      a6 = hn::MulAdd(xv, LoadW(df, r0 + 6 * rs + k), a6);
      a7 = hn::MulAdd(xv, LoadW(df, r0 + 7 * rs + k), a7);
    }
  }
  y[0] = Finish(df, a0, x, r0, kv, K);
  y[ys] = Finish(df, a1, x, r0 + rs, kv, K);
  y[2 * ys] = Finish(df, a2, x, r0 + 2 * rs, kv, K);
  y[3 * ys] = Finish(df, a3, x, r0 + 3 * rs, kv, K);
  if constexpr (NR > 4) {
    y[4 * ys] = Finish(df, a4, x, r0 + 4 * rs, kv, K);
    y[5 * ys] = Finish(df, a5, x, r0 + 5 * rs, kv, K);
    y[6 * ys] = Finish(df, a6, x, r0 + 6 * rs, kv, K);
    y[7 * ys] = Finish(df, a7, x, r0 + 7 * rs, kv, K);
  }
}

template <size_t NR, typename TW>
HWY_INLINE void GemvT(const float* x, size_t K, const TW* W, size_t n0, size_t n1, float* y) {
  const DF df;
  const size_t L = hn::Lanes(df);
  const size_t U = std::max<size_t>(1, 64 / (L * sizeof(TW)));
  const size_t ku = K / (U * L) * (U * L);
  const size_t kAhead = kPrefetchBytes / sizeof(TW);
  // (Fewer rows a stream when the range is short, so that a small range still gets one block.)
  const size_t P = std::max<size_t>(1, std::min(RowsPerStream<TW>(K), (n1 - n0) / NR));
  size_t n = n0;
  // The first group's streams start cold (later groups were prefetched by the one before): ask
  // for their first lines up front rather than one demand miss after another.
  if (n + NR <= n1 && ku > 0) {
    const size_t rs = n + NR * P <= n1 ? P : 1;
    for (size_t j = 0; j < NR; ++j)
      for (size_t k = 0; k < std::min(ku, kAhead); k += U * L)
        hwy::Prefetch(W + (n + j * rs) * K + k);
  }
  if (P > 1) {
    // Within a block, stream j's rows follow one another in memory; past the block's last group,
    // stream j goes on with row j * P of the next block ((NR - 1) * P rows further on).
    for (; n + NR * P <= n1; n += NR * P)
      for (size_t p = 0; p < P; ++p)
        GemvGroup<NR>(x, K, W + (n + p) * K, P * K, p + 1 < P ? 0 : (NR - 1) * P * K, y + n + p,
                      P);
  }
  // Past its row, row j's prefetch goes on with row j of the next group.
  for (; n + NR <= n1; n += NR) GemvGroup<NR>(x, K, W + n * K, K, (NR - 1) * K, y + n, 1);
  for (; n < n1; ++n) y[n] = DotT(x, W + n * K, K);
}

// Multi-row GEMV. For each pair of weight rows, the k range is walked in blocks of kMultiBlockK
// elements; within a block, every row of X (four at a time) is multiplied with the pair. The
// accumulators of all M x 2 outputs live in a small buffer between blocks, so each output still
// sums its vectors in k order with one accumulator (the canonical order of GemvT), while the
// pair's block and the M rows' blocks stay in L1 and W streams from memory in one pass.
// (Unblocked, rows 5.. re-read each pair from L1 after rows 1..4 had read it from memory, and the
// memory stream stalled meanwhile: 25 GFLOP/s at M = 8 on one thread.)
constexpr size_t kMultiBlockK = 256;
constexpr size_t kMultiMaxRows = 16;  // rows of X per pass over W

// MR (1..4) rows of X against NR (1 or 2) weight rows over k in [k0, k1): MR * NR accumulators,
// loaded from and stored back to acc (layout [m][n][lane], stride NR * L per row of X).
template <size_t MR, size_t NR, typename TW>
HWY_INLINE void MultiStep(const float* X, size_t K, const TW* w0, const TW* w1, size_t k0,
                          size_t k1, float* HWY_RESTRICT acc, bool prefetch) {
  constexpr size_t kAhead = kPrefetchBytes / sizeof(TW);
  const DF df;
  const size_t L = hn::Lanes(df);
  const float* x0 = X;
  const float* x1 = X + (MR > 1 ? K : 0);
  const float* x2 = X + (MR > 2 ? 2 * K : 0);
  const float* x3 = X + (MR > 3 ? 3 * K : 0);
  float* c0 = acc;
  float* c1 = acc + (MR > 1 ? NR * L : 0);
  float* c2 = acc + (MR > 2 ? 2 * NR * L : 0);
  float* c3 = acc + (MR > 3 ? 3 * NR * L : 0);
  const size_t o1 = NR > 1 ? L : 0;
  VF a00 = hn::Load(df, c0), a01 = hn::Load(df, c0 + o1);
  VF a10 = hn::Load(df, c1), a11 = hn::Load(df, c1 + o1);
  VF a20 = hn::Load(df, c2), a21 = hn::Load(df, c2 + o1);
  VF a30 = hn::Load(df, c3), a31 = hn::Load(df, c3 + o1);
  for (size_t k = k0; k < k1; k += L) {
    if (prefetch) {
      hwy::Prefetch(w0 + k + kAhead);
      if constexpr (NR > 1) hwy::Prefetch(w1 + k + kAhead);
    }
    const VF v0 = LoadW(df, w0 + k);
    const VF v1 = NR > 1 ? LoadW(df, w1 + k) : v0;
    VF xv = hn::LoadU(df, x0 + k);
    a00 = hn::MulAdd(xv, v0, a00);
    if constexpr (NR > 1) a01 = hn::MulAdd(xv, v1, a01);
    if constexpr (MR > 1) {
      xv = hn::LoadU(df, x1 + k);
      a10 = hn::MulAdd(xv, v0, a10);
      if constexpr (NR > 1) a11 = hn::MulAdd(xv, v1, a11);
    }
    if constexpr (MR > 2) {
      xv = hn::LoadU(df, x2 + k);
      a20 = hn::MulAdd(xv, v0, a20);
      if constexpr (NR > 1) a21 = hn::MulAdd(xv, v1, a21);
    }
    if constexpr (MR > 3) {
      xv = hn::LoadU(df, x3 + k);
      a30 = hn::MulAdd(xv, v0, a30);
      if constexpr (NR > 1) a31 = hn::MulAdd(xv, v1, a31);
    }
  }
  hn::Store(a00, df, c0);
  if constexpr (NR > 1) hn::Store(a01, df, c0 + o1);
  if constexpr (MR > 1) {
    hn::Store(a10, df, c1);
    if constexpr (NR > 1) hn::Store(a11, df, c1 + o1);
  }
  if constexpr (MR > 2) {
    hn::Store(a20, df, c2);
    if constexpr (NR > 1) hn::Store(a21, df, c2 + o1);
  }
  if constexpr (MR > 3) {
    hn::Store(a30, df, c3);
    if constexpr (NR > 1) hn::Store(a31, df, c3 + o1);
  }
}

// Rows [m0, m0 + rows) of X (rows <= kMultiMaxRows) against NR weight rows.
template <size_t NR, typename TW>
HWY_INLINE void MultiPass(const float* X, size_t rows, size_t K, const TW* w0, const TW* w1,
                          float* Y, size_t ldy) {
  const DF df;
  const size_t L = hn::Lanes(df);
  const size_t kv = K / L * L;
  HWY_ALIGN float acc[kMultiMaxRows * 2 * hn::MaxLanes(DF())];
  for (size_t i = 0; i < rows * NR * L; i += L) hn::Store(hn::Zero(df), df, acc + i);
  const size_t step = std::max(L, kMultiBlockK / L * L);
  for (size_t k0 = 0; k0 < kv; k0 += step) {
    const size_t k1 = std::min(kv, k0 + step);
    size_t m = 0;
    for (; m + 4 <= rows; m += 4)
      MultiStep<4, NR>(X + m * K, K, w0, w1, k0, k1, acc + m * NR * L, m == 0);
    const float* xm = X + m * K;
    float* am = acc + m * NR * L;
    switch (rows - m) {
      case 3:
        MultiStep<3, NR>(xm, K, w0, w1, k0, k1, am, m == 0);
        break;
      case 2:
        MultiStep<2, NR>(xm, K, w0, w1, k0, k1, am, m == 0);
        break;
      case 1:
        MultiStep<1, NR>(xm, K, w0, w1, k0, k1, am, m == 0);
        break;
      default:
        break;
    }
  }
  for (size_t m = 0; m < rows; ++m) {
    Y[m * ldy] = Finish(df, hn::Load(df, acc + m * NR * L), X + m * K, w0, kv, K);
    if constexpr (NR > 1)
      Y[m * ldy + 1] = Finish(df, hn::Load(df, acc + m * NR * L + L), X + m * K, w1, kv, K);
  }
}

template <size_t NR, typename TW>
HWY_INLINE void MultiRows(const float* X, size_t M, size_t K, const TW* w0, const TW* w1, float* Y,
                          size_t ldy) {
  for (size_t m = 0; m < M; m += kMultiMaxRows)
    MultiPass<NR>(X + m * K, std::min(kMultiMaxRows, M - m), K, w0, w1, Y + m * ldy, ldy);
}

template <typename TW>
HWY_INLINE void GemvMultiT(const float* X, size_t M, size_t K, const TW* W, size_t n0, size_t n1,
                           float* Y, size_t ldy) {
  size_t n = n0;
  for (; n + 2 <= n1; n += 2) MultiRows<2>(X, M, K, W + n * K, W + (n + 1) * K, Y + n, ldy);
  if (n < n1) MultiRows<1>(X, M, K, W + n * K, W + n * K, Y + n, ldy);
}

void GemvF32(const float* x, size_t K, const float* W, size_t n0, size_t n1, float* y) {
  GemvT<8>(x, K, W, n0, n1, y);
}
void GemvF16(const float* x, size_t K, const uint16_t* W, size_t n0, size_t n1, float* y) {
  GemvT<8>(x, K, W, n0, n1, y);
}
void GemvMultiF32(const float* X, size_t M, size_t K, const float* W, size_t n0, size_t n1,
                  float* Y, size_t ldy) {
  GemvMultiT(X, M, K, W, n0, n1, Y, ldy);
}
void GemvMultiF16(const float* X, size_t M, size_t K, const uint16_t* W, size_t n0, size_t n1,
                  float* Y, size_t ldy) {
  GemvMultiT(X, M, K, W, n0, n1, Y, ldy);
}

// ---- vector helpers ----

float DotF32(const float* a, const float* b, size_t n) { return DotT(a, b, n); }
float DotF16(const float* a, const uint16_t* b, size_t n) { return DotT(a, b, n); }

// ---- conversions ----

// Widening for storage conversions: the hardware sets the quiet bit of a signalling NaN, while
// half.h keeps the pattern as it is; the quiet bit is cleared again for those lanes so that both
// agree bit for bit. (Products do not care: LoadW skips this.)
void F16ToF32(const uint16_t* src, float* dst, size_t n) {
  size_t i = 0;
#if TL_HW_F16
  const DF df;
  const hn::RebindToUnsigned<DF> du;
  const hn::Rebind<uint16_t, DF> du16;
  const size_t L = hn::Lanes(df);
  for (; i + L <= n; i += L) {
    const auto h = hn::PromoteTo(du, hn::LoadU(du16, src + i));
    const auto signalling = hn::And(hn::Eq(hn::And(h, hn::Set(du, 0x7e00u)), hn::Set(du, 0x7c00u)),
                                    hn::Ne(hn::And(h, hn::Set(du, 0x01ffu)), hn::Zero(du)));
    const auto f = hn::BitCast(du, LoadW(df, src + i));
    const auto fixed = hn::IfThenElse(signalling, hn::AndNot(hn::Set(du, 0x00400000u), f), f);
    hn::StoreU(hn::BitCast(df, fixed), df, dst + i);
  }
#endif
  for (; i < n; ++i) dst[i] = ::tl::f16_to_f32(src[i]);
}

// A weight tile for sgemm. On x86 an operation with NaN operands returns its first NaN operand,
// quieted, whether that one was signalling or quiet, so every product gives the same NaN whether
// or not the weight's quiet bit was set on the way, and the hardware widening alone will do
// (F16ToF32 undoes its quieting of signalling NaNs, which costs a third of the loop). Arm gives a
// signalling NaN operand priority, so there the tile keeps the exact widening.
void WidenF16Tile(const uint16_t* src, size_t ld_src, size_t rows, size_t cols, float* dst,
                  size_t ld_dst) {
#if TL_HW_F16 && HWY_ARCH_X86
  const DF df;
  const size_t L = hn::Lanes(df);
  for (size_t r = 0; r < rows; ++r) {
    const uint16_t* s = src + r * ld_src;
    float* d = dst + r * ld_dst;
    size_t c = 0;
    for (; c + 2 * L <= cols; c += 2 * L) {
      hn::StoreU(LoadW(df, s + c), df, d + c);
      hn::StoreU(LoadW(df, s + c + L), df, d + c + L);
    }
    for (; c + L <= cols; c += L) hn::StoreU(LoadW(df, s + c), df, d + c);
    for (; c < cols; ++c) d[c] = ::tl::f16_to_f32(s[c]);
  }
#else
  for (size_t r = 0; r < rows; ++r) F16ToF32(src + r * ld_src, dst + r * ld_dst, cols);
#endif
}

void F32ToF16(const float* src, uint16_t* dst, size_t n) {
  size_t i = 0;
#if TL_HW_F16
  const DF df;
  const hn::Rebind<hwy::float16_t, DF> dh;
  const size_t L = hn::Lanes(df);
  for (; i + L <= n; i += L)
    hn::StoreU(hn::DemoteTo(dh, hn::LoadU(df, src + i)), dh,
               reinterpret_cast<hwy::float16_t*>(dst + i));
#endif
  for (; i < n; ++i) dst[i] = ::tl::f32_to_f16(src[i]);
}

void RoundF16(float* p, size_t n) {
  size_t i = 0;
#if TL_HW_F16
  const DF df;
  const hn::Rebind<hwy::float16_t, DF> dh;
  const size_t L = hn::Lanes(df);
  for (; i + L <= n; i += L)
    hn::StoreU(hn::PromoteTo(df, hn::DemoteTo(dh, hn::LoadU(df, p + i))), df, p + i);
#endif
  for (; i < n; ++i) p[i] = ::tl::round_f16(p[i]);
}

// y[i] = table[f16 bits of x[i]] widened, when every x[i] is an f16 value; false at the first one
// that is not (y then holds a partial result). The table has 65537 entries: vectors read each
// entry as the low half of a 32-bit load (little-endian), so the last one reads one entry past.
bool MapF16Table(const float* x, float* y, size_t n, const uint16_t* table) {
  size_t i = 0;
#if TL_HW_F16 && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  const DF df;
  const hn::Rebind<hwy::float16_t, DF> dh;
  const hn::Rebind<uint16_t, DF> du16;
  const hn::RebindToSigned<DF> di;
  const size_t L = hn::Lanes(df);
  const int32_t* base = reinterpret_cast<const int32_t*>(table);
  for (; i + L <= n; i += L) {
    const VF v = hn::LoadU(df, x + i);
    const auto h = hn::DemoteTo(dh, v);
    if (!hn::AllTrue(df, hn::Eq(hn::PromoteTo(df, h), v))) return false;
    const auto offset = hn::ShiftLeft<1>(hn::PromoteTo(di, hn::BitCast(du16, h)));
    const auto entry = hn::And(hn::GatherOffset(di, base, offset), hn::Set(di, 0xffff));
    const auto e16 = hn::BitCast(dh, hn::DemoteTo(du16, entry));
    hn::StoreU(hn::PromoteTo(df, e16), df, y + i);
  }
#endif
  for (; i < n; ++i) {
    const uint16_t h = ::tl::f32_to_f16(x[i]);
    if (!(::tl::f16_to_f32(h) == x[i])) return false;
    y[i] = ::tl::f16_to_f32(table[h]);
  }
  return true;
}

// bfloat16 rounding on the f32 bit pattern: add 0x7fff plus the lowest kept bit (ties to even);
// NaN gets the quiet bit instead. The kept half is the upper 16 bits of the result.
using DU = hn::RebindToUnsigned<DF>;
HWY_INLINE hn::Vec<DU> Bf16Bits(VF v) {
  const DU du;
  const hn::RebindToSigned<DF> di;
  const auto u = hn::BitCast(du, v);
  const auto rounded =
      hn::Add(u, hn::Add(hn::Set(du, 0x7fffu), hn::And(hn::ShiftRight<16>(u), hn::Set(du, 1u))));
  const auto quiet = hn::Or(u, hn::Set(du, 0x00400000u));
  const auto is_nan =
      hn::Gt(hn::BitCast(di, hn::And(u, hn::Set(du, 0x7fffffffu))), hn::Set(di, 0x7f800000));
  return hn::IfThenElse(hn::RebindMask(du, is_nan), quiet, rounded);
}

void RoundBf16(float* p, size_t n) {
  const DF df;
  const DU du;
  const size_t L = hn::Lanes(df);
  size_t i = 0;
  for (; i + L <= n; i += L) {
    const auto bits = hn::And(Bf16Bits(hn::LoadU(df, p + i)), hn::Set(du, 0xffff0000u));
    hn::StoreU(hn::BitCast(df, bits), df, p + i);
  }
  for (; i < n; ++i) p[i] = ::tl::round_bf16(p[i]);
}

void F32ToBf16(const float* src, uint16_t* dst, size_t n) {
  const DF df;
  const hn::RebindToSigned<DF> di;
  const hn::Rebind<uint16_t, DF> du16;
  const size_t L = hn::Lanes(df);
  size_t i = 0;
  for (; i + L <= n; i += L) {
    const auto hi = hn::BitCast(di, hn::ShiftRight<16>(Bf16Bits(hn::LoadU(df, src + i))));
    hn::StoreU(hn::DemoteTo(du16, hi), du16, dst + i);  // 0..0xffff: the demotion is exact
  }
  for (; i < n; ++i) dst[i] = ::tl::f32_to_bf16(src[i]);
}

void Bf16ToF32(const uint16_t* src, float* dst, size_t n) {
  const DF df;
  const DU du;
  const hn::Rebind<uint16_t, DF> du16;
  const size_t L = hn::Lanes(df);
  size_t i = 0;
  for (; i + L <= n; i += L)
    hn::StoreU(hn::BitCast(df, hn::ShiftLeft<16>(hn::PromoteTo(du, hn::LoadU(du16, src + i)))), df,
               dst + i);
  for (; i < n; ++i) dst[i] = ::tl::bf16_to_f32(src[i]);
}

// ---- F16 delta-rule state passes (model/gated_delta_net.cpp) ----
//
// The two passes of one token of the F16 delta rule over a D x D state, column blocks of kDeltaCols
// vectors at a time: the block's sums stay in registers while the rows go by in order, so every
// output keeps the sum order of the plain loop (rows a = 0, 1, ... added one by one to a zero
// start), and each product and sum rounds exactly as the scalar step does (f32 multiply, f32 add,
// no fusing; f16 rounding to nearest even in registers on targets with hardware conversions).

constexpr size_t kDeltaCols = 4;

// Rounds every lane to the nearest f16 value (tensor/half.h's round_f16).
HWY_INLINE VF RoundToF16(DF df, VF v) {
#if TL_HW_F16
  const hn::Rebind<hwy::float16_t, DF> dh;
  return hn::PromoteTo(df, hn::DemoteTo(dh, v));
#else
  HWY_ALIGN float buf[hn::MaxLanes(DF())];
  hn::Store(v, df, buf);
  for (size_t i = 0; i < hn::Lanes(df); ++i) buf[i] = ::tl::round_f16(buf[i]);
  return hn::Load(df, buf);
#endif
}

// Columns [b0, b0 + NB * L) of pass 1 (S_in null: a zero state).
template <size_t NB>
HWY_INLINE void DecayReadCols(const float* S_in, float* S_out, size_t D, float decay,
                              const float* k, float* r, size_t b0) {
  const DF df;
  const size_t L = hn::Lanes(df);
  const VF dv = hn::Set(df, decay);
  const VF zd = RoundToF16(df, hn::Mul(hn::Zero(df), dv));
  VF acc[NB];
  for (size_t u = 0; u < NB; ++u) acc[u] = hn::Zero(df);
  for (size_t a = 0; a < D; ++a) {
    const VF ka = hn::Set(df, k[a]);
    float* so = S_out + a * D + b0;
    const float* si = S_in ? S_in + a * D + b0 : nullptr;
    for (size_t u = 0; u < NB; ++u) {
      const VF sv = si ? RoundToF16(df, hn::Mul(hn::LoadU(df, si + u * L), dv)) : zd;
      hn::StoreU(sv, df, so + u * L);
      acc[u] = hn::Add(acc[u], hn::Mul(ka, sv));
    }
  }
  for (size_t u = 0; u < NB; ++u) hn::StoreU(acc[u], df, r + b0 + u * L);
}

void DeltaDecayReadF16(const float* S_in, float* S_out, size_t D, float decay, const float* k,
                       float* r) {
  const DF df;
  const size_t L = hn::Lanes(df);
  size_t b = 0;
  for (; b + kDeltaCols * L <= D; b += kDeltaCols * L)
    DecayReadCols<kDeltaCols>(S_in, S_out, D, decay, k, r, b);
  for (; b + L <= D; b += L) DecayReadCols<1>(S_in, S_out, D, decay, k, r, b);
  if (b == D) return;
  const float zd = ::tl::round_f16(0.0f * decay);
  for (size_t c = b; c < D; ++c) r[c] = 0.0f;
  for (size_t a = 0; a < D; ++a) {
    float* so = S_out + a * D;
    for (size_t c = b; c < D; ++c) {
      so[c] = S_in ? ::tl::round_f16(S_in[a * D + c] * decay) : zd;
      r[c] += k[a] * so[c];
    }
  }
}

// Columns [b0, b0 + NB * L) of pass 2.
template <size_t NB>
HWY_INLINE void UpdateReadCols(float* S, size_t D, const float* k, const float* delta,
                               const float* q, float* o, size_t b0) {
  const DF df;
  const size_t L = hn::Lanes(df);
  VF acc[NB], dl[NB];
  for (size_t u = 0; u < NB; ++u) {
    acc[u] = hn::Zero(df);
    dl[u] = hn::LoadU(df, delta + b0 + u * L);
  }
  for (size_t a = 0; a < D; ++a) {
    const VF ka = hn::Set(df, k[a]), qa = hn::Set(df, q[a]);
    float* so = S + a * D + b0;
    for (size_t u = 0; u < NB; ++u) {
      const VF t = RoundToF16(df, hn::Mul(ka, dl[u]));
      const VF sv = RoundToF16(df, hn::Add(hn::LoadU(df, so + u * L), t));
      hn::StoreU(sv, df, so + u * L);
      acc[u] = hn::Add(acc[u], hn::Mul(qa, sv));
    }
  }
  for (size_t u = 0; u < NB; ++u) hn::StoreU(acc[u], df, o + b0 + u * L);
}

void DeltaUpdateReadF16(float* S, size_t D, const float* k, const float* delta, const float* q,
                        float* o) {
  const DF df;
  const size_t L = hn::Lanes(df);
  size_t b = 0;
  for (; b + kDeltaCols * L <= D; b += kDeltaCols * L)
    UpdateReadCols<kDeltaCols>(S, D, k, delta, q, o, b);
  for (; b + L <= D; b += L) UpdateReadCols<1>(S, D, k, delta, q, o, b);
  if (b == D) return;
  for (size_t c = b; c < D; ++c) o[c] = 0.0f;
  for (size_t a = 0; a < D; ++a) {
    float* so = S + a * D;
    for (size_t c = b; c < D; ++c) {
      so[c] = ::tl::round_f16(so[c] + ::tl::round_f16(k[a] * delta[c]));
      o[c] += q[a] * so[c];
    }
  }
}

const char* TargetName() { return hwy::TargetName(HWY_TARGET); }

}  // namespace HWY_NAMESPACE
}  // namespace tl::kernels::simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tl::kernels::simd {

HWY_EXPORT(GemvF32);
HWY_EXPORT(GemvF16);
HWY_EXPORT(GemvMultiF32);
HWY_EXPORT(GemvMultiF16);
HWY_EXPORT(WidenF16Tile);
HWY_EXPORT(DotF32);
HWY_EXPORT(DotF16);
HWY_EXPORT(RoundF16);
HWY_EXPORT(RoundBf16);
HWY_EXPORT(F32ToF16);
HWY_EXPORT(F32ToBf16);
HWY_EXPORT(F16ToF32);
HWY_EXPORT(Bf16ToF32);
HWY_EXPORT(MapF16Table);
HWY_EXPORT(TargetName);
HWY_EXPORT(DeltaDecayReadF16);
HWY_EXPORT(DeltaUpdateReadF16);

void gemv_f32(const float* x, size_t K, const float* W, size_t n0, size_t n1, float* y) {
  HWY_DYNAMIC_DISPATCH(GemvF32)(x, K, W, n0, n1, y);
}
void gemv_f16(const float* x, size_t K, const uint16_t* W, size_t n0, size_t n1, float* y) {
  HWY_DYNAMIC_DISPATCH(GemvF16)(x, K, W, n0, n1, y);
}
void gemv_multi_f32(const float* X, size_t M, size_t K, const float* W, size_t n0, size_t n1,
                    float* Y, size_t ldy) {
  HWY_DYNAMIC_DISPATCH(GemvMultiF32)(X, M, K, W, n0, n1, Y, ldy);
}
void gemv_multi_f16(const float* X, size_t M, size_t K, const uint16_t* W, size_t n0, size_t n1,
                    float* Y, size_t ldy) {
  HWY_DYNAMIC_DISPATCH(GemvMultiF16)(X, M, K, W, n0, n1, Y, ldy);
}
void widen_f16_tile(const uint16_t* src, size_t ld_src, size_t rows, size_t cols, float* dst,
                    size_t ld_dst) {
  HWY_DYNAMIC_DISPATCH(WidenF16Tile)(src, ld_src, rows, cols, dst, ld_dst);
}
float dot_f32(const float* a, const float* b, size_t n) {
  return HWY_DYNAMIC_DISPATCH(DotF32)(a, b, n);
}
float dot_f16(const float* a, const uint16_t* b, size_t n) {
  return HWY_DYNAMIC_DISPATCH(DotF16)(a, b, n);
}
void round_f16(float* p, size_t n) { HWY_DYNAMIC_DISPATCH(RoundF16)(p, n); }
void round_bf16(float* p, size_t n) { HWY_DYNAMIC_DISPATCH(RoundBf16)(p, n); }
void f32_to_f16(const float* src, uint16_t* dst, size_t n) {
  HWY_DYNAMIC_DISPATCH(F32ToF16)(src, dst, n);
}
void f32_to_bf16(const float* src, uint16_t* dst, size_t n) {
  HWY_DYNAMIC_DISPATCH(F32ToBf16)(src, dst, n);
}
void f16_to_f32(const uint16_t* src, float* dst, size_t n) {
  HWY_DYNAMIC_DISPATCH(F16ToF32)(src, dst, n);
}
void bf16_to_f32(const uint16_t* src, float* dst, size_t n) {
  HWY_DYNAMIC_DISPATCH(Bf16ToF32)(src, dst, n);
}
bool map_f16_table(const float* x, float* y, size_t n, const uint16_t* table) {
  return HWY_DYNAMIC_DISPATCH(MapF16Table)(x, y, n, table);
}
const char* target_name() { return HWY_DYNAMIC_DISPATCH(TargetName)(); }

void delta_decay_read_f16(const float* S_in, float* S_out, size_t D, float decay, const float* k,
                          float* r) {
  HWY_DYNAMIC_DISPATCH(DeltaDecayReadF16)(S_in, S_out, D, decay, k, r);
}
void delta_update_read_f16(float* S, size_t D, const float* k, const float* delta, const float* q,
                           float* o) {
  HWY_DYNAMIC_DISPATCH(DeltaUpdateReadF16)(S, D, k, delta, q, o);
}

}  // namespace tl::kernels::simd
#endif  // HWY_ONCE
