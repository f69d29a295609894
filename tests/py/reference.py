"""NumPy reference of the whole model, written independently of the C++ code, for comparing
logits.

Two modes:
- "f32": every value in float64. The model computes in float32, so the two agree to about 1e-5
  relative per layer; the only float32 steps kept here are the ones that fix a value the model
  cannot avoid (the float32 inverse frequencies and the float32 rotary angle product).
- "f16": values live in float32 arrays that always hold binary16 numbers. Each elementary step
  (add, mul, div, exp, log, sqrt, ...) is computed in float32 on binary16 inputs and rounded to
  binary16, as the model rounds after every step. Matrix products and sums accumulate in
  float64 and round once; norm statistics and mixture-of-experts routing stay in float32/float64.

Usage: ref = Reference(cfg, tensors, "f32"); logits = ref.forward(ids, offset); ref.reset().
The caches (keys/values, delta-rule states, convolution tails) live in the object, so feeding a
prompt and then single tokens follows the same path as the model's decoding.
"""
from __future__ import annotations

import math

import numpy as np

from modelgen import dims, is_delta_layer

_F16_EPS_L2 = float(np.float16(1e-6))


class Reference:
    def __init__(self, cfg, tensors, dtype="f32"):
        if dtype not in ("f32", "f16"):
            raise ValueError(dtype)
        self.f16 = dtype == "f16"
        self.cfg = cfg
        self.d = dims(cfg)
        if self.f16:
            self.w = {k: np.asarray(v, np.float32).astype(np.float16).astype(np.float32)
                      for k, v in tensors.items()}
        else:
            self.w = {k: np.asarray(v, np.float64) for k, v in tensors.items()}
        self.eps = float(cfg.get("norm_eps", 1e-6))
        self.L = cfg["num_hidden_layers"]
        self.M = cfg.get("max_position_embeddings", 4096)
        self.tied = "lm_head.weight" not in tensors
        self.lm_bias = (not self.tied) and bool(cfg.get("lm_head_bias", False))
        self.mlp_bias = bool(cfg.get("mlp_bias", False))
        self.qkv_bias = bool(cfg.get("attention_qkv_bias", False))
        self.out_bias = bool(cfg.get("attention_out_bias", False))
        self.qk_norm = bool(cfg.get("use_qk_norm", True))
        self.moe = cfg.get("moe_config")
        self.delta = [is_delta_layer(cfg, i) for i in range(self.L)]
        self.rot, self.inv_freq = self._inv_freq()
        # Smallest gap seen between the k-th and (k+1)-th routing probability (ties at the cut
        # make the chosen experts depend on rounding; tests use this to recognise such inputs).
        self.min_route_gap = math.inf
        self.reset()

    # ----- rounding and basic steps -------------------------------------------------------------

    def R(self, a):
        """Round to the model dtype (binary16 in f16 mode; nothing in f32 mode)."""
        if self.f16:
            return np.asarray(a).astype(np.float16).astype(np.float32)
        return np.asarray(a, np.float64)

    def mm(self, a, b):
        """Matrix product, accumulated in float64, rounded once."""
        return self.R(np.asarray(a, np.float64) @ np.asarray(b, np.float64))

    def rsum(self, a):
        """Sum over the last axis: accumulated wide and rounded once to the model dtype (the
        engine's reductions never round partial sums)."""
        return self.R(np.sum(np.asarray(a, np.float64), axis=-1, keepdims=True))

    def scalar(self, v):
        """A float64 constant converted to the model dtype (affine factors and offsets)."""
        return float(np.float16(v)) if self.f16 else float(v)

    def linear(self, x, name, bias):
        y = self.mm(x, self.w[name + ".weight"].T)
        if bias:
            y = self.R(y + self.w[name + ".bias"])
        return y

    def silu(self, v):
        e = self.R(np.exp(-v))
        return self.R(v / self.R(1.0 + e))

    def sigmoid(self, v):
        e = self.R(np.exp(-v))
        return self.R(1.0 / self.R(e + 1.0))

    def rmsnorm(self, x, name):
        w = self.w[name]
        n = x.shape[-1]
        if self.f16:
            x32 = np.asarray(x, np.float32)
            ss = np.float32(np.sum(x32.astype(np.float64) ** 2, axis=-1, keepdims=True))
            mean = (ss * np.float32(1.0 / n)).astype(np.float32)
            rms = np.sqrt(mean + np.float32(self.eps)).astype(np.float32)
            y = self.R(x32 / rms)
            return self.R(y * w)
        rms = np.sqrt(np.mean(x * x, axis=-1, keepdims=True) + self.eps)
        return x / rms * w

    def l2norm(self, x):
        if self.f16:
            s = self.rsum(self.R(x * x))
            s2 = self.R(self.R(s * 1.0) + _F16_EPS_L2)
            return self.R(x / self.R(np.sqrt(s2)))
        return x / np.sqrt(np.sum(x * x, axis=-1, keepdims=True) + 1e-6)

    def softmax(self, s):
        m = np.max(s, axis=-1, keepdims=True)
        e = self.R(np.exp(self.R(s - m)))
        return self.R(e / self.rsum(e))

    # ----- rotary ------------------------------------------------------------------------------

    def _inv_freq(self):
        D = self.d["D"]
        prod = np.float32(self.cfg.get("partial_rotary_factor", 1.0)) * np.float32(D)
        rot = 0 if not (prod > 0) else int(prod)
        if rot % 2:
            raise ValueError("odd rotary width")
        theta = np.float32(self.cfg.get("rope_theta", 10000.0))
        inv = [np.float32(1.0) / (theta ** (np.float32(m) / np.float32(rot)))
               for m in range(0, rot, 2)]
        return rot, np.array(inv, np.float32)

    def tables(self, offset, S):
        """cos, sin: (S, R) in the model dtype for positions offset .. offset+S-1 (u32)."""
        pos = (np.arange(S, dtype=np.uint64) + np.uint64(offset % 2**32)) % np.uint64(2**32)
        if self.f16:
            p = pos.astype(np.float32).astype(np.float16).astype(np.float32)
            inv = self.R(self.inv_freq)
            freqs = self.R(p[:, None] * inv[None, :])
        else:
            # The angle product is rounded to float32 in the model dtype F32.
            freqs = (pos.astype(np.float32)[:, None] * self.inv_freq[None, :]).astype(np.float64)
        emb = np.concatenate([freqs, freqs], axis=-1)
        return self.R(np.cos(emb)), self.R(np.sin(emb))

    def rope(self, x, cos, sin):
        """x: (S, heads, width); rotates channels 0..R of every head (rotate-half pairs)."""
        R = self.rot
        xr = x[..., :R]
        h = R // 2
        rot = np.concatenate([-xr[..., h:2 * h], xr[..., :h]], axis=-1)
        c, s = cos[:, None, :], sin[:, None, :]
        out = self.R(self.R(xr * c) + self.R(rot * s))
        return np.concatenate([out, x[..., R:]], axis=-1)

    # ----- layers ------------------------------------------------------------------------------

    def mlp(self, x, prefix):
        g = self.linear(x, prefix + ".gate_proj", self.mlp_bias)
        u = self.linear(x, prefix + ".up_proj", self.mlp_bias)
        p = self.R(self.silu(g) * u)
        return self.linear(p, prefix + ".down_proj", self.mlp_bias)

    def moe_block(self, x, prefix):
        cfg = self.moe
        k = cfg.num_experts_per_tok
        gate = self.w[prefix + ".gate.weight"]
        # Routing is F32 math: float64 here in f32 mode; in f16 mode float32 arithmetic, so the
        # weights handed to the F16 mix round like the model's.
        rt = np.float32 if self.f16 else np.float64
        logits = (np.asarray(x, np.float64) @ np.asarray(gate, np.float64).T).astype(rt)
        probs = np.exp(logits - logits.max(axis=-1, keepdims=True))
        probs = probs / probs.sum(axis=-1, keepdims=True, dtype=np.float64).astype(rt)
        E = probs.shape[1]
        if k > E:
            raise IndexError(f"index out of bounds: the len is {E} but the index is {E}")
        out = np.zeros_like(x)
        for t in range(x.shape[0]):
            order = np.argsort(-probs[t], kind="stable")
            if 0 < k < E:
                self.min_route_gap = min(self.min_route_gap,
                                         float(probs[t, order[k - 1]] - probs[t, order[k]]))
            ids = order[:k]
            w = probs[t, ids].astype(np.float32).astype(rt)
            if k >= 2 and cfg.norm_topk_prob:
                w = w / w.sum(dtype=np.float64).astype(rt)
            w = w * rt(np.float32(cfg.routed_scaling_factor))
            acc = self.R(np.zeros(x.shape[1]))
            for e, we in zip(ids, w):
                y = self.mlp(x[t:t + 1], f"{prefix}.experts.{e}")[0]
                acc = self.R(acc + self.R(y * self.scalar(float(np.float32(we)))))
            out[t] = acc
        if cfg.n_shared_experts is not None:
            out = self.R(out + self.mlp(x, prefix + ".shared_experts"))
        return out

    def attention(self, x, i, cos, sin, offset):
        d = self.d
        Hq, Hkv, D, gated = d["Hq"], d["Hkv"], d["Dq"], d["gated"]
        a = f"layers.{i}.attn"
        S = x.shape[0]
        qp = self.linear(x, a + ".q_proj", self.qkv_bias)
        if gated:
            qp = qp.reshape(S, Hq, 2 * D)
            q, gate = qp[..., :D], qp[..., D:]
        else:
            q, gate = qp.reshape(S, Hq, D), None
        k = self.linear(x, a + ".k_proj", self.qkv_bias).reshape(S, Hkv, D)
        v = self.linear(x, a + ".v_proj", self.qkv_bias).reshape(S, Hkv, D)
        if self.qk_norm:
            q = self.rmsnorm(q, a + ".q_norm.weight")
            k = self.rmsnorm(k, a + ".k_norm.weight")
        q = self.rope(q, cos, sin)
        k = self.rope(k, cos, sin)
        c = self.cache[i]
        if c is not None:
            k = np.concatenate([c[0], k], axis=0)
            v = np.concatenate([c[1], v], axis=0)
        self.cache[i] = (k, v)
        T = k.shape[0]
        n_rep = Hq // Hkv
        kh = np.repeat(k, n_rep, axis=1)  # query head h reads key/value head h // n_rep
        vh = np.repeat(v, n_rep, axis=1)
        scores = self.mm(q.transpose(1, 0, 2), kh.transpose(1, 2, 0))  # (Hq, S, T)
        scores = self.R(scores * self.scalar(1.0 / math.sqrt(D)))
        if S >= 2:
            allowed = np.arange(T)[None, :] <= offset + np.arange(S)[:, None]
            scores = np.where(allowed[None], scores, -np.inf)
        p = self.softmax(scores)
        o = self.mm(p, vh.transpose(1, 0, 2))  # (Hq, S, D)
        o = o.transpose(1, 0, 2).reshape(S, Hq * D)
        if gated:
            o = self.R(o * self.sigmoid(gate.reshape(S, Hq * D)))
        return self.linear(o, a + ".o_proj", self.out_bias)

    def short_conv(self, x, name, tail):
        """x: (T, C); tail: (C, K-1) raw inputs or None. Returns y (T, C) and the new tail."""
        w = self.w[name + ".weight"][:, 0, :]  # (C, K)
        C, K = w.shape
        T = x.shape[0]
        prev = tail if tail is not None else self.R(np.zeros((C, K - 1)))
        xc = np.concatenate([prev, x.T], axis=1)  # (C, K-1+T)
        win = np.stack([xc[:, t:t + K] for t in range(T)], axis=0)  # (T, C, K)
        y = self.R(np.sum(np.asarray(win, np.float64) * np.asarray(w, np.float64), axis=-1))
        if self.d["conv_bias"]:
            y = self.R(y + self.w[name + ".bias"])
        L = xc.shape[1]
        return y, xc[:, L - (K - 1):]

    def delta_net(self, x, i):
        d = self.d
        N, D = d["N"], d["D"]
        a = f"layers.{i}.attn"
        T = x.shape[0]
        q = self.linear(x, a + ".q_proj", False)
        k = self.linear(x, a + ".k_proj", False)
        v = self.linear(x, a + ".v_proj", False)
        g = self.linear(x, a + ".g_proj", False)
        beta = self.sigmoid(self.linear(x, a + ".beta_proj", False))
        al = self.linear(x, a + ".alpha_proj", False)
        c = self.cache[i] or {}
        new = {}
        if d["conv"]:
            q, new["q"] = self.short_conv(q, a + ".conv_q.conv", c.get("q"))
            k, new["k"] = self.short_conv(k, a + ".conv_k.conv", c.get("k"))
            v, new["v"] = self.short_conv(v, a + ".conv_v.conv", c.get("v"))
        q = self.silu(q).reshape(T, N, D)
        k = self.silu(k).reshape(T, N, D)
        v = self.silu(v).reshape(T, N, D)
        g = g.reshape(T, N, D)
        z = self.R(al + self.w[a + ".dt_bias"])
        if self.f16:
            m = np.maximum(z, 0.0)
            e = self.R(np.exp(-np.abs(z)))
            l = self.R(np.log(self.R(self.R(e * 1.0) + 1.0)))
            sp = self.R(m + l)
        else:
            sp = np.maximum(z, 0.0) + np.log1p(np.exp(-np.abs(z)))
        A = self.R(np.exp(self.w[a + ".A_log"]))
        decay = self.R(np.exp(self.R(-sp * A)))  # (T, N)
        q = self.l2norm(q)
        k = self.l2norm(k)
        q = self.R(q * self.scalar(1.0 / math.sqrt(D)))
        S = c.get("state")
        if S is None:
            S = self.R(np.zeros((N, D, D)))
        outs = []
        for t in range(T):
            S = self.R(S * decay[t][:, None, None])
            r = self.R(np.einsum("ha,hab->hb", np.asarray(k[t], np.float64),
                                 np.asarray(S, np.float64)))
            delta = self.R(self.R(v[t] - r) * beta[t][:, None])
            S = self.R(S + self.R(k[t][:, :, None] * delta[:, None, :]))
            outs.append(self.R(np.einsum("ha,hab->hb", np.asarray(q[t], np.float64),
                                         np.asarray(S, np.float64))))
        new["state"] = S
        self.cache[i] = new
        o = np.stack(outs, axis=0)  # (T, N, D)
        o = self.rmsnorm(o, a + ".g_norm.weight")
        o = self.R(o * self.silu(g))
        return self.linear(o.reshape(T, N * D), a + ".o_proj", False)

    def is_moe_layer(self, i):
        m = self.moe
        return m is not None and not (m.n_dense_layer is not None and i < m.n_dense_layer)

    # ----- whole model -------------------------------------------------------------------------

    def reset(self):
        self.cache = [None] * self.L

    def forward(self, ids, offset):
        """Logits (vocab,) of the chunk's last position; advances the caches by len(ids)."""
        ids = list(ids)
        S = len(ids)
        if S == 0:
            raise ValueError("empty chunk")
        if S >= 2 and offset + S > self.M:
            raise ValueError("chunk beyond max_position_embeddings")
        x = self.w["embed_tokens.weight"][np.asarray(ids)]
        cos, sin = self.tables(offset, S)
        for i in range(self.L):
            p = f"layers.{i}"
            h = self.rmsnorm(x, p + ".attn_norm.weight")
            if self.delta[i]:
                m = self.delta_net(h, i)
            else:
                m = self.attention(h, i, cos, sin, offset)
            x = self.R(m + x)
            h2 = self.rmsnorm(x, p + ".mlp_norm.weight")
            f = self.moe_block(h2, p + ".mlp") if self.is_moe_layer(i) else self.mlp(h2, p + ".mlp")
            x = self.R(f + x)
        last = self.rmsnorm(x[-1:], "head_norm.weight")
        name = "embed_tokens" if self.tied else "lm_head"
        return np.asarray(self.linear(last, name, self.lm_bias)[0], np.float64)

    def greedy(self, prompt, n_new):
        """Greedy ids (the highest id among equal maxima) fed one token at a time after the
        prompt, and the logits each id was chosen from."""
        self.reset()
        logits = self.forward(prompt, 0)
        pos = len(prompt)
        ids, steps = [], []
        for _ in range(n_new):
            t = int(np.flatnonzero(logits == logits.max())[-1])
            ids.append(t)
            steps.append(logits)
            logits = self.forward([t], pos)
            pos += 1
        return ids, steps


# Tolerances for comparing the model's logits with the reference: F32 to 1e-4 of the logit scale
# (the largest reference logit); F16 to a few binary16 ulps of that scale, since each of the many
# rounded steps may round the other way when the accumulation order differs.
F16_ULPS = 4


def tolerance(ref_logits, dtype):
    scale = max(float(np.max(np.abs(ref_logits))), 1e-30)
    if dtype == "f32":
        return 1e-4 * scale
    return F16_ULPS * 2.0 ** (math.floor(math.log2(scale)) - 10)


def assert_logits_close(got, ref_logits, dtype, what=""):
    got = np.asarray(got, np.float64)
    err = float(np.max(np.abs(got - ref_logits)))
    tol = tolerance(ref_logits, dtype)
    assert err <= tol, (f"{what}: max |model - reference| = {err:.3g} > {tol:.3g} "
                        f"(logit scale {np.max(np.abs(ref_logits)):.3g})")
