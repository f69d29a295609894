#include "tensor/nn.h"

#include <cmath>

#include "tensor/ops_internal.h"

namespace tl {

Tensor Linear::forward(const Tensor& x) const {
  // The weight is broadcast over x's batch dimensions as a stride-0 view, never copied.
  Tensor w;
  if (x.rank() == 4)
    w = t(broadcast_left(weight, {x.shape()[0], x.shape()[1]}));
  else if (x.rank() == 3)
    w = t(broadcast_left(weight, {x.shape()[0]}));
  else
    w = t(weight);
  Tensor y = matmul(x, w);
  return bias ? broadcast_add(y, *bias) : y;
}

Tensor Embedding::forward(const Tensor& ids) const {
  Shape final_dims = ids.shape();
  final_dims.push_back(hidden_size);
  Tensor values = index_select(embeddings, flatten_all(ids), 0);
  return reshape(values, final_dims);
}

namespace {

Error conv1d_invalid(const Tensor& x, const Tensor& w, const Conv1dConfig& c, const char* msg) {
  return Error(std::string("conv1d invalid args ") + msg + ": inp: " + shape_str(x.shape()) +
               ", k: " + shape_str(w.shape()) + ", pad: " + std::to_string(c.padding) +
               ", stride: " + std::to_string(c.stride));
}

}  // namespace

Tensor Conv1d::forward(const Tensor& x) const {
  const Conv1dConfig& c = config;
  // Plain variables, not structured bindings: clang cannot capture bindings under -fopenmp.
  const std::array<size_t, 3> wd = dims3(weight), xd = dims3(x);
  const size_t c_out = wd[0], c_in_k = wd[1], K = wd[2];
  const size_t B = xd[0], c_in = xd[1], L = xd[2];
  if (c.groups == 0 || c_in_k > SIZE_MAX / c.groups || c_in != c_in_k * c.groups) {
    if (c.groups == 0 && c_in == 0) throw InternalFailure("attempt to divide by zero");
    throw conv1d_invalid(x, weight, c,
                         "the number of in-channels on the input doesn't match the kernel size");
  }
  if (c_out % c.groups != 0)
    throw conv1d_invalid(x, weight, c,
                         "the number of out-channels is not a multiple of the number of groups");
  if (c.stride == 0) throw InternalFailure("attempt to divide by zero");
  if (x.dtype() != weight.dtype()) throw dtype_mismatch("conv1d", x.dtype(), weight.dtype());

  // Output length; an input shorter than the kernel's span (dilation * (K - 1) + 1) gives none.
  size_t span = K == 0 ? 0 : c.dilation * (K - 1) + 1;
  size_t padded = L + 2 * c.padding;
  size_t l_out = padded >= span ? (padded - span) / c.stride + 1 : 0;
  Shape out_shape{B, c_out, l_out};
  if (shape_elem_count(out_shape) == 0) {
    Tensor y = Tensor::zeros(out_shape, x.dtype());
    return bias ? broadcast_add(y, reshape(*bias, {1, dims1(*bias)[0], 1})) : y;
  }
  DType dt = x.dtype();
  if (dt != DType::F32 && dt != DType::F16 && dt != DType::F64)
    throw unsupported_dtype(dt, "matmul");

  Tensor xc = x.contiguous();
  Tensor wc = weight.contiguous();
  Tensor y = Tensor::empty(out_shape, dt);
  size_t cin_g = c_in_k, cout_g = c_out / c.groups;
  detail::dispatch_float(dt, "matmul", [&](auto tr) {
    using T = decltype(tr);
    using S = typename T::S;
    using C = typename T::C;
    const S* xs = xc.data<S>();
    const S* ws = wc.data<S>();
    S* ys = y.data<S>();
    for (size_t b = 0; b < B; ++b)
      for (size_t o = 0; o < c_out; ++o) {
        size_t g = o / cout_g;
        const S* wrow = ws + o * cin_g * K;
        S* yrow = ys + (b * c_out + o) * l_out;
        for (size_t t = 0; t < l_out; ++t) {
          C acc = 0;
          for (size_t ci = 0; ci < cin_g; ++ci) {
            const S* xrow = xs + (b * c_in + g * cin_g + ci) * L;
            for (size_t j = 0; j < K; ++j) {
              // Input position t * stride + j * dilation - padding, skipped outside [0, L).
              size_t p = t * c.stride + j * c.dilation;
              if (p < c.padding || p - c.padding >= L) continue;
              acc += T::load(wrow[ci * K + j]) * T::load(xrow[p - c.padding]);
            }
          }
          yrow[t] = T::store(acc);
        }
      }
    return 0;
  });
  if (!bias) return y;
  size_t nb = dims1(*bias)[0];
  return broadcast_add(y, reshape(*bias, {1, nb, 1}));
}

Tensor softmax(const Tensor& x, long dim) {
  size_t d = resolve_dim(dim, x.shape(), "softmax");
  Tensor max = max_keepdim(x, (long)d);
  Tensor num = exp(broadcast_sub(x, max));
  Tensor den = sum_keepdim(num, (long)d);
  return broadcast_div(num, den);
}

Tensor sigmoid(const Tensor& x) {
  return detail::unary(x, "sigmoid", [](auto v, auto tr) {
    using T = decltype(tr);
    auto e = T::rnd(std::exp(-v));
    auto s = T::rnd(e + decltype(v)(1));
    return decltype(v)(1) / s;
  });
}

}  // namespace tl
