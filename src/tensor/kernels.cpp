// Portable scalar versions of the kernels (to be replaced by the SIMD / threaded versions).
#include "tensor/kernels.h"

#include <omp.h>

#include "tensor/error.h"
#include "tensor/half.h"

namespace tl::kernels {

static float elem(const void* W, DType dt, size_t i) {
  if (dt == DType::F16) return f16_to_f32(static_cast<const uint16_t*>(W)[i]);
  if (dt == DType::BF16) return bf16_to_f32(static_cast<const uint16_t*>(W)[i]);
  return static_cast<const float*>(W)[i];
}

void matmul_xwt(const float* X, size_t M, size_t K, const void* W, DType wdt, size_t N, float* Y) {
  if (wdt == DType::BF16) throw Error("unsupported dtype BF16 for op matmul");
  for (size_t m = 0; m < M; ++m)
    for (size_t n = 0; n < N; ++n) {
      float acc = 0;
      for (size_t k = 0; k < K; ++k) acc += X[m * K + k] * elem(W, wdt, n * K + k);
      Y[m * N + n] = acc;
    }
}

float dot_f32(const float* a, const float* b, size_t n) {
  float acc = 0;
  for (size_t i = 0; i < n; ++i) acc += a[i] * b[i];
  return acc;
}

float dot_row(const float* a, const void* row, DType dt, size_t n) {
  float acc = 0;
  for (size_t i = 0; i < n; ++i) acc += a[i] * elem(row, dt, i);
  return acc;
}

void axpy_row(float a, const void* row, DType dt, float* y, size_t n) {
  for (size_t i = 0; i < n; ++i) y[i] += a * elem(row, dt, i);
}

void round_to_dtype(float* p, size_t n, DType dt) {
  if (dt == DType::F16)
    for (size_t i = 0; i < n; ++i) p[i] = round_f16(p[i]);
  else if (dt == DType::BF16)
    for (size_t i = 0; i < n; ++i) p[i] = round_bf16(p[i]);
}

void store_as(const float* src, void* dst, DType dt, size_t n) {
  if (dt == DType::F16)
    for (size_t i = 0; i < n; ++i) static_cast<uint16_t*>(dst)[i] = f32_to_f16(src[i]);
  else if (dt == DType::BF16)
    for (size_t i = 0; i < n; ++i) static_cast<uint16_t*>(dst)[i] = f32_to_bf16(src[i]);
  else
    for (size_t i = 0; i < n; ++i) static_cast<float*>(dst)[i] = src[i];
}

void load_as_f32(const void* src, DType dt, float* dst, size_t n) {
  for (size_t i = 0; i < n; ++i) dst[i] = elem(src, dt, i);
}

int num_threads() { return omp_get_max_threads(); }

}  // namespace tl::kernels
