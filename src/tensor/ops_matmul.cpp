// Batched matrix product over strided operands.
//
// Per batch, each operand is an (rows x cols) matrix with row stride rs and column stride cs (in
// elements). BLAS takes a matrix directly when one of the strides is 1 (row-major, or column-major
// read as a transposed row-major matrix); anything else is packed first. Products accumulate in
// f32 (F32, F16) or f64 (F64); F16 results are rounded once per element.
#include <cblas.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <optional>
#include <type_traits>

#include "tensor/kernels.h"
#include "tensor/ops.h"
#include "tensor/ops_internal.h"

namespace tl {

namespace {

struct Mat {
  size_t off;     // element offset of (0, 0) in the storage
  size_t rs, cs;  // strides of rows and columns
};

struct BlasLayout {
  bool trans;  // stored as the transpose, row-major
  size_t ld;
};

// How BLAS can read a rows x cols matrix in place, if it can.
std::optional<BlasLayout> blas_layout(size_t rows, size_t cols, const Mat& a) {
  if ((cols == 1 || a.cs == 1) && (rows == 1 || a.rs >= cols))
    return BlasLayout{false, rows == 1 ? cols : a.rs};
  if ((rows == 1 || a.rs == 1) && (cols == 1 || a.cs >= rows))
    return BlasLayout{true, cols == 1 ? rows : a.cs};
  return std::nullopt;
}

bool fits_int(size_t v) { return v <= (size_t)INT_MAX; }

// Element offsets of the leading matrix of every batch, for a tensor of rank r >= 2.
std::vector<size_t> batch_offsets(const Tensor& x) {
  Shape lead(x.shape().begin(), x.shape().end() - 2);
  size_t nb = shape_elem_count(lead);
  std::vector<size_t> offs(nb, x.offset());
  std::vector<size_t> idx(lead.size(), 0);
  size_t off = x.offset();
  for (size_t b = 0; b < nb; ++b) {
    offs[b] = off;
    for (size_t d = lead.size(); d-- > 0;) {
      if (++idx[d] < lead[d]) {
        off += x.strides()[d];
        break;
      }
      off -= x.strides()[d] * (lead[d] - 1);
      idx[d] = 0;
    }
  }
  return offs;
}

// Copies a rows x cols matrix to a row-major buffer, widening to C. With `transpose` the buffer
// holds the transpose (cols x rows).
template <class T, class C = typename T::C>
void pack(const typename T::S* base, const Mat& a, size_t rows, size_t cols, bool transpose,
          C* out) {
  for (size_t i = 0; i < rows; ++i)
    for (size_t j = 0; j < cols; ++j) {
      C v = T::load(base[a.off + i * a.rs + j * a.cs]);
      if (transpose)
        out[j * rows + i] = v;
      else
        out[i * cols + j] = v;
    }
}

// C (m x n, row-major) = A (m x k) . B (k x n) through BLAS, packing operands BLAS cannot read.
template <class C>
void blas_gemm(const C* a_base, Mat a, const C* b_base, Mat b, size_t m, size_t n, size_t k,
               C* out) {
  std::vector<C> pa, pb;
  std::optional<BlasLayout> la = blas_layout(m, k, a), lb = blas_layout(k, n, b);
  const C* pA = a_base + a.off;
  const C* pB = b_base + b.off;
  if (!la || !fits_int(la->ld)) {
    pa.resize(m * k);
    for (size_t i = 0; i < m; ++i)
      for (size_t j = 0; j < k; ++j) pa[i * k + j] = a_base[a.off + i * a.rs + j * a.cs];
    pA = pa.data();
    la = BlasLayout{false, k};
  }
  if (!lb || !fits_int(lb->ld)) {
    pb.resize(k * n);
    for (size_t i = 0; i < k; ++i)
      for (size_t j = 0; j < n; ++j) pb[i * n + j] = b_base[b.off + i * b.rs + j * b.cs];
    pB = pb.data();
    lb = BlasLayout{false, n};
  }
  auto ta = la->trans ? CblasTrans : CblasNoTrans;
  auto tb = lb->trans ? CblasTrans : CblasNoTrans;
  if constexpr (std::is_same_v<C, float>)
    cblas_sgemm(CblasRowMajor, ta, tb, (int)m, (int)n, (int)k, 1.0f, pA, (int)la->ld, pB,
                (int)lb->ld, 0.0f, out, (int)n);
  else
    cblas_dgemm(CblasRowMajor, ta, tb, (int)m, (int)n, (int)k, 1.0, pA, (int)la->ld, pB,
                (int)lb->ld, 0.0, out, (int)n);
}

// Plain triple loop for sizes beyond BLAS's int range (never met in practice).
template <class T, class C = typename T::C>
void scalar_gemm(const typename T::S* a_base, Mat a, const typename T::S* b_base, Mat b, size_t m,
                 size_t n, size_t k, C* out) {
  for (size_t i = 0; i < m; ++i)
    for (size_t j = 0; j < n; ++j) {
      C acc = 0;
      for (size_t p = 0; p < k; ++p)
        acc += T::load(a_base[a.off + i * a.rs + p * a.cs]) *
               T::load(b_base[b.off + p * b.rs + j * b.cs]);
      out[i * n + j] = acc;
    }
}

// One batch with 16-bit or f32 storage through the shared kernel: X (m x k) f32 row-major times
// W (n x k) row-major in the stored dtype, W being B's transpose. B is used in place when it is
// already laid out that way (the transposed weight of a linear layer), else packed.
template <class T>
void kernel_gemm(const typename T::S* a_base, Mat a, const typename T::S* b_base, Mat b, size_t m,
                 size_t n, size_t k, DType dt, float* out) {
  using S = typename T::S;
  std::vector<float> x;
  const float* px;
  if constexpr (std::is_same_v<S, float>) {
    if ((k == 1 || a.cs == 1) && (m == 1 || a.rs == k)) {
      px = a_base + a.off;
    } else {
      x.resize(m * k);
      pack<T>(a_base, a, m, k, false, x.data());
      px = x.data();
    }
  } else {
    x.resize(m * k);
    pack<T>(a_base, a, m, k, false, x.data());
    px = x.data();
  }
  std::vector<S> w;
  const S* pw;
  if ((k == 1 || b.rs == 1) && (n == 1 || b.cs == k)) {
    pw = b_base + b.off;
  } else {
    w.resize(n * k);
    for (size_t p = 0; p < k; ++p)
      for (size_t j = 0; j < n; ++j) w[j * k + p] = b_base[b.off + p * b.rs + j * b.cs];
    pw = w.data();
  }
  kernels::matmul_xwt(px, m, k, pw, dt, n, out);
}

}  // namespace

Tensor matmul(const Tensor& a, const Tensor& b) {
  const Shape& as = a.shape();
  const Shape& bs = b.shape();
  size_t r = as.size();
  if (r < 2 || bs.size() != r) throw shape_mismatch("matmul", as, bs);
  size_t m = as[r - 2], k = as[r - 1], k2 = bs[r - 2], n = bs[r - 1];
  if (k != k2 || !std::equal(as.begin(), as.end() - 2, bs.begin()))
    throw shape_mismatch("matmul", as, bs);
  Shape cs(as.begin(), as.end() - 2);
  cs.push_back(m);
  cs.push_back(n);
  if (shape_elem_count(cs) == 0 || k == 0) return Tensor::zeros(cs, a.dtype());
  if (a.dtype() != b.dtype()) throw dtype_mismatch("matmul", a.dtype(), b.dtype());
  DType dt = a.dtype();
  if (dt != DType::F32 && dt != DType::F16 && dt != DType::F64)
    throw unsupported_dtype(dt, "matmul");

  std::vector<size_t> ao = batch_offsets(a), bo = batch_offsets(b);
  Mat ma{0, a.strides()[r - 2], a.strides()[r - 1]};
  Mat mb{0, b.strides()[r - 2], b.strides()[r - 1]};
  bool blas_ok = fits_int(m) && fits_int(n) && fits_int(k);
  Tensor out = Tensor::empty(cs, dt);
  size_t mn = m * n;

  if (dt == DType::F64) {
    const double* pa = detail::storage_base<double>(a);
    const double* pb = detail::storage_base<double>(b);
    double* o = out.data<double>();
    for (size_t bi = 0; bi < ao.size(); ++bi) {
      ma.off = ao[bi];
      mb.off = bo[bi];
      if (blas_ok)
        blas_gemm<double>(pa, ma, pb, mb, m, n, k, o + bi * mn);
      else
        scalar_gemm<detail::F64Traits>(pa, ma, pb, mb, m, n, k, o + bi * mn);
    }
    return out;
  }

  if (dt == DType::F32) {
    const float* pa = detail::storage_base<float>(a);
    const float* pb = detail::storage_base<float>(b);
    float* o = out.data<float>();
    for (size_t bi = 0; bi < ao.size(); ++bi) {
      ma.off = ao[bi];
      mb.off = bo[bi];
      // One row goes to the GEMV kernel (BLAS sgemm is slow for a single row).
      if (m == 1)
        kernel_gemm<detail::F32Traits>(pa, ma, pb, mb, m, n, k, dt, o + bi * mn);
      else if (blas_ok)
        blas_gemm<float>(pa, ma, pb, mb, m, n, k, o + bi * mn);
      else
        scalar_gemm<detail::F32Traits>(pa, ma, pb, mb, m, n, k, o + bi * mn);
    }
    return out;
  }

  // F16: f32 accumulation, one rounding per output element.
  const uint16_t* pa = detail::storage_base<uint16_t>(a);
  const uint16_t* pb = detail::storage_base<uint16_t>(b);
  uint16_t* o = out.data<uint16_t>();
  std::vector<float> y(mn);
  for (size_t bi = 0; bi < ao.size(); ++bi) {
    ma.off = ao[bi];
    mb.off = bo[bi];
    kernel_gemm<detail::F16Traits>(pa, ma, pb, mb, m, n, k, dt, y.data());
    for (size_t i = 0; i < mn; ++i) o[bi * mn + i] = f32_to_f16(y[i]);
  }
  return out;
}

}  // namespace tl
