// 16-bit float scalars (IEEE binary16 and bfloat16) with round-to-nearest-even conversions.
//
// Half-precision arithmetic in this library is always "widen to f32, compute, round back": every
// elementary step of an F16 computation rounds its result, exactly like a library whose F16 type
// implements each operator that way. Never keep an F16 intermediate in float across two steps.
#pragma once
#include <cmath>
#include <cstdint>
#include <cstring>

namespace tl {

struct f16 {
  uint16_t bits;
};
struct bf16 {
  uint16_t bits;
};

inline uint32_t f32_bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}
inline float f32_from_bits(uint32_t u) {
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}

// --- binary16 -------------------------------------------------------------------------------------

inline float f16_to_f32(uint16_t h) {
  uint32_t sign = (uint32_t)(h & 0x8000u) << 16;
  uint32_t exp = (h >> 10) & 0x1f;
  uint32_t man = h & 0x3ffu;
  if (exp == 0) {
    if (man == 0) return f32_from_bits(sign);
    // Subnormal: value = man * 2^-24, exact in f32.
    float v = (float)man * 5.9604644775390625e-08f;
    return sign ? -v : v;
  }
  if (exp == 31) return f32_from_bits(sign | 0x7f800000u | (man << 13));
  return f32_from_bits(sign | ((exp + 112) << 23) | (man << 13));
}

// f32 -> binary16, round to nearest, ties to even; overflow to infinity; NaN stays NaN (quiet).
inline uint16_t f32_to_f16(float f) {
  uint32_t x = f32_bits(f);
  uint16_t sign = (uint16_t)((x >> 16) & 0x8000u);
  uint32_t ax = x & 0x7fffffffu;
  if (ax >= 0x7f800000u) {  // inf or NaN
    if (ax == 0x7f800000u) return sign | 0x7c00u;
    return sign | 0x7e00u | (uint16_t)((ax >> 13) & 0x3ffu);
  }
  if (ax >= 0x477ff000u) return sign | 0x7c00u;  // >= 65520 rounds to infinity
  if (ax < 0x38800000u) {                         // below the smallest normal 2^-14: subnormal
    if (ax < 0x33000000u) return sign;            // < 2^-25: rounds to zero (2^-25 ties to 0)
    uint32_t e = ax >> 23;
    uint32_t m = (ax & 0x7fffffu) | 0x800000u;
    uint32_t shift = 126 - e;  // 14..24 (bits to drop so that the unit is 2^-24)
    uint32_t q = m >> shift;
    uint32_t rem = m & ((1u << shift) - 1);
    uint32_t half = 1u << (shift - 1);
    if (rem > half || (rem == half && (q & 1))) q++;
    return sign | (uint16_t)q;
  }
  uint32_t e = (ax >> 23) - 112;
  uint32_t m = ax & 0x7fffffu;
  uint32_t q = (e << 10) | (m >> 13);
  uint32_t rem = m & 0x1fffu;
  if (rem > 0x1000u || (rem == 0x1000u && (q & 1))) q++;  // may carry into the exponent: correct
  return sign | (uint16_t)q;
}

// f64 -> f32 rounded to odd: truncate toward zero and set the last bit when inexact. Rounding that
// result to a format with at most 22 significand bits equals one correct rounding of the f64.
inline float f64_to_f32_round_odd(double d) {
  float f = (float)d;
  if (std::isnan(d) || std::isinf(f) || (double)f == d) return f;
  if (std::fabs((double)f) > std::fabs(d)) f = std::nextafter(f, 0.0f);
  return f32_from_bits(f32_bits(f) | 1u);
}

// f64 -> binary16 with a single rounding (not via a rounded f32).
inline uint16_t f64_to_f16(double d) { return f32_to_f16(f64_to_f32_round_odd(d)); }

// --- bfloat16 -------------------------------------------------------------------------------------

inline float bf16_to_f32(uint16_t h) { return f32_from_bits((uint32_t)h << 16); }

inline uint16_t f32_to_bf16(float f) {
  uint32_t x = f32_bits(f);
  if ((x & 0x7fffffffu) > 0x7f800000u) return (uint16_t)((x >> 16) | 0x0040u);  // quiet NaN
  uint32_t rounding = 0x7fffu + ((x >> 16) & 1u);
  return (uint16_t)((x + rounding) >> 16);
}

inline uint16_t f64_to_bf16(double d) { return f32_to_bf16(f64_to_f32_round_odd(d)); }

// Round an f32 value to the nearest value representable in binary16 / bfloat16.
inline float round_f16(float v) { return f16_to_f32(f32_to_f16(v)); }
inline float round_bf16(float v) { return bf16_to_f32(f32_to_bf16(v)); }

}  // namespace tl
