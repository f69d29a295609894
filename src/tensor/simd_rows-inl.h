// Per-target element access shared by the SIMD kernel files (kernels_simd.cpp, kernels_attn.cpp):
// rows of stored F32 or F16 bits loaded as f32 vectors or elements. Included by a file that is
// compiled once per target through foreach_target.h, after hwy/highway.h; the guard below is
// Highway's per-target toggle, so every target gets its own copy in its own namespace.
//
// TL_HW_F16 says whether the target's f16 <-> f32 vector conversions are the hardware's (F16C on
// x86, FCVT on arm64): narrowing rounds to nearest even, overflows to infinity and quiets NaN
// exactly like tensor/half.h; widening is exact except that it sets the quiet bit of a
// signalling NaN. Highway's emulation on older targets truncates and mishandles infinities, so
// those targets convert with the scalar functions of half.h instead.
#if defined(TL_SIMD_ROWS_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef TL_SIMD_ROWS_INL_H_
#undef TL_SIMD_ROWS_INL_H_
#else
#define TL_SIMD_ROWS_INL_H_
#endif

#include <cstddef>
#include <cstdint>

#include "hwy/highway.h"
#include "tensor/half.h"

#undef TL_HW_F16
#if (HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX2 && !defined(HWY_DISABLE_F16C)) || \
    (HWY_ARCH_ARM_A64 && HWY_TARGET != HWY_EMU128 && HWY_TARGET != HWY_SCALAR)
#define TL_HW_F16 1
#else
#define TL_HW_F16 0
#endif

HWY_BEFORE_NAMESPACE();
namespace tl::kernels::rows {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using DF = hn::ScalableTag<float>;
using VF = hn::Vec<DF>;

// One vector of a row: F32 as stored, F16 widened (exact for every pattern products see).
HWY_INLINE VF LoadW(DF df, const float* p) { return hn::LoadU(df, p); }

HWY_INLINE VF LoadW(DF df, const uint16_t* p) {
#if TL_HW_F16
  const hn::Rebind<hwy::float16_t, DF> dh;
  return hn::PromoteTo(df, hn::LoadU(dh, reinterpret_cast<const hwy::float16_t*>(p)));
#else
  HWY_ALIGN float buf[hn::MaxLanes(DF())];
  for (size_t i = 0; i < hn::Lanes(df); ++i) buf[i] = ::tl::f16_to_f32(p[i]);
  return hn::Load(df, buf);
#endif
}

// One element of a row as f32.
HWY_INLINE float Elem(const float* p, size_t i) { return p[i]; }
HWY_INLINE float Elem(const uint16_t* p, size_t i) { return ::tl::f16_to_f32(p[i]); }

}  // namespace HWY_NAMESPACE
}  // namespace tl::kernels::rows
HWY_AFTER_NAMESPACE();

#endif  // TL_SIMD_ROWS_INL_H_
