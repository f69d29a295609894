// Reductions over one dimension, keeping it with size 1.
#include "tensor/ops.h"
#include "tensor/ops_internal.h"

namespace tl {

namespace {

enum class Reduce { Sum, Max };

// x viewed as (outer, D, inner) around dimension d; out is (outer, 1, inner). For each output the
// D values are combined in index order: Sum rounds every partial sum to the dtype, Max keeps the
// running value unless it compares below the next one.
Tensor reduce(const Tensor& x, size_t d, Reduce kind, const char* name) {
  Shape shape = x.shape();
  size_t D = shape[d];
  if (kind == Reduce::Max && D == 0) throw Error("empty tensor for reduce");
  size_t outer = 1, inner = 1;
  for (size_t i = 0; i < d; ++i) outer *= shape[i];
  for (size_t i = d + 1; i < shape.size(); ++i) inner *= shape[i];
  shape[d] = 1;
  return detail::dispatch_float(x.dtype(), name, [&](auto tr) {
    using T = decltype(tr);
    using S = typename T::S;
    using C = typename T::C;
    Tensor out = Tensor::empty(shape, x.dtype());
    if (outer * inner == 0) return out;
    Tensor src = x.contiguous();
    const S* s = src.data<S>();
    S* o = out.data<S>();
    std::vector<C> acc(inner);
    for (size_t b = 0; b < outer; ++b) {
      const S* blk = s + b * D * inner;
      if (kind == Reduce::Sum) {
        std::fill(acc.begin(), acc.end(), C(0));
        for (size_t j = 0; j < D; ++j)
          for (size_t i = 0; i < inner; ++i) acc[i] = T::rnd(acc[i] + T::load(blk[j * inner + i]));
      } else {
        for (size_t i = 0; i < inner; ++i) acc[i] = T::load(blk[i]);
        for (size_t j = 1; j < D; ++j)
          for (size_t i = 0; i < inner; ++i) {
            C v = T::load(blk[j * inner + i]);
            if (acc[i] < v) acc[i] = v;
          }
      }
      for (size_t i = 0; i < inner; ++i) o[b * inner + i] = T::store(acc[i]);
    }
    return out;
  });
}

}  // namespace

Tensor sum_keepdim(const Tensor& x, long dim) {
  return reduce(x, resolve_dim(dim, x.shape(), "sum"), Reduce::Sum, "sum");
}

Tensor mean_keepdim(const Tensor& x, long dim) {
  size_t d = resolve_dim(dim, x.shape(), "mean-keepdim");
  double scale = 1.0 / (double)x.shape()[d];
  return affine(reduce(x, d, Reduce::Sum, "sum"), scale, 0.0);
}

Tensor max_keepdim(const Tensor& x, long dim) {
  return reduce(x, resolve_dim(dim, x.shape(), "max"), Reduce::Max, "max");
}

}  // namespace tl
