"""The same model math in PyTorch eager mode on the CPU: the peer the benchmark compares against.

Written the way a PyTorch user would write it (HF-style modules: KV cache by concatenation, the delta
rule as a per-token recurrence, experts looped over with index_add), from one safetensors file and the
same configuration dictionary the engine takes."""
import math

import torch
import torch.nn.functional as F
from safetensors.torch import load_file


def _cfg(cfg, key, default):
    v = cfg.get(key, default)
    return default if v is None else v


def _ratio(text):
    parts = text.split(":")

    def num(s, d):
        s = s[1:] if s.startswith("+") else s
        return int(s) if s.isascii() and s.isdigit() and int(s) < 2**64 else d

    return num(parts[0], 3), (num(parts[1], 1) if len(parts) > 1 else 1)


class TorchModel:
    def __init__(self, path, cfg, dtype=torch.float32):
        self.w = {k: v.to(dtype).contiguous() for k, v in load_file(path).items()}
        self.cfg = cfg
        self.dtype = dtype
        H = cfg["hidden_size"]
        self.N = cfg["num_attention_heads"]
        self.Nkv = _cfg(cfg, "num_key_value_heads", self.N)
        self.D = _cfg(cfg, "head_dim", H // self.N)
        self.eps = _cfg(cfg, "norm_eps", 1e-6)
        self.hybrid = cfg.get("attention_type") == "hybrid"
        self.a, self.b = _ratio(_cfg(cfg, "hybrid_ratio", "3:1"))
        rot = int(_cfg(cfg, "partial_rotary_factor", 1.0) * self.D)
        theta = _cfg(cfg, "rope_theta", 10000.0)
        self.rot = rot
        self.inv_freq = 1.0 / (theta ** (torch.arange(0, rot, 2, dtype=torch.float32) / rot))
        self.moe = cfg.get("moe_config")
        g = cfg.get("gated_deltanet_config")
        self.K = getattr(g, "conv_kernel_size", 4) if g is not None else 4
        self.use_conv = getattr(g, "use_short_conv", True) if g is not None else True
        self.L = cfg["num_hidden_layers"]
        self.lm_head = self.w.get("lm_head.weight", self.w["embed_tokens.weight"])

    def is_delta(self, i):
        p = self.a + self.b
        return self.hybrid and p != 0 and i % p < self.a

    def rms(self, x, w):
        x32 = x.float()
        y = x32 * torch.rsqrt(x32.pow(2).mean(-1, keepdim=True) + self.eps)
        return y.to(x.dtype) * w

    def mlp(self, x, p):
        w = self.w
        return F.linear(F.silu(F.linear(x, w[p + ".gate_proj.weight"])) *
                        F.linear(x, w[p + ".up_proj.weight"]), w[p + ".down_proj.weight"])

    def moe_block(self, x, p):
        m = self.moe
        h = x.shape[-1]
        flat = x.reshape(-1, h)
        probs = torch.softmax(flat.float() @ self.w[p + ".gate.weight"].float().t(), dim=-1)
        topw, topi = torch.topk(probs, m.num_experts_per_tok, dim=-1)
        if m.norm_topk_prob and m.num_experts_per_tok > 1:
            topw = topw / topw.sum(-1, keepdim=True)
        topw = (topw * m.routed_scaling_factor).to(x.dtype)
        out = torch.zeros_like(flat)
        for e in range(m.n_routed_experts):
            tok, slot = torch.where(topi == e)
            if tok.numel() == 0:
                continue
            y = self.mlp(flat[tok], f"{p}.experts.{e}") * topw[tok, slot, None]
            out.index_add_(0, tok, y)
        if m.n_shared_experts is not None:
            out = out + self.mlp(flat, p + ".shared_experts")
        return out.reshape(x.shape)

    def attention(self, x, p, cos, sin, cache, i):
        w, cfg = self.w, self.cfg
        B, S, _ = x.shape
        Hq = _cfg(cfg, "hybrid_softmax_num_heads", self.N) if self.hybrid else self.N
        Hkv = _cfg(cfg, "hybrid_softmax_num_kv_heads", self.Nkv) if self.hybrid else self.Nkv
        D = _cfg(cfg, "hybrid_softmax_head_dim", self.D) if self.hybrid else self.D
        gated = self.hybrid and _cfg(cfg, "hybrid_softmax_gated", False)
        qp = F.linear(x, w[p + ".q_proj.weight"], w.get(p + ".q_proj.bias"))
        if gated:
            qp = qp.view(B, S, Hq, 2 * D)
            q, gate = qp[..., :D], qp[..., D:]
        else:
            q, gate = qp.view(B, S, Hq, D), None
        k = F.linear(x, w[p + ".k_proj.weight"], w.get(p + ".k_proj.bias")).view(B, S, Hkv, D)
        v = F.linear(x, w[p + ".v_proj.weight"], w.get(p + ".v_proj.bias")).view(B, S, Hkv, D)
        if p + ".q_norm.weight" in w:
            q = self.rms(q, w[p + ".q_norm.weight"])
            k = self.rms(k, w[p + ".k_norm.weight"])
        q, k, v = q.transpose(1, 2), k.transpose(1, 2), v.transpose(1, 2)
        R = self.rot

        def rope(t):
            t1, t2 = t[..., :R], t[..., R:]
            h = R // 2
            rot = torch.cat((-t1[..., h:], t1[..., :h]), -1)
            return torch.cat((t1 * cos + rot * sin, t2), -1)

        q, k = rope(q), rope(k)
        if cache[i] is not None:
            k = torch.cat((cache[i][0], k), 2)
            v = torch.cat((cache[i][1], v), 2)
        cache[i] = (k, v)
        o = F.scaled_dot_product_attention(q, k, v, is_causal=False, enable_gqa=Hq != Hkv,
                                           attn_mask=self._mask(S, k.shape[2], x.dtype))
        o = o.transpose(1, 2).reshape(B, S, Hq * D)
        if gate is not None:
            o = o * torch.sigmoid(gate.reshape(B, S, Hq * D))
        return F.linear(o, w[p + ".o_proj.weight"], w.get(p + ".o_proj.bias"))

    @staticmethod
    def _mask(S, T, dtype):
        if S == 1:
            return None
        off = T - S
        m = torch.full((S, T), float("-inf"), dtype=dtype)
        return torch.triu(m, diagonal=off + 1)

    def conv(self, x, p, state):
        # x: (B, T, C); state: (B, C, K-1) raw inputs
        w = self.w[p + ".conv.weight"]
        xt = x.transpose(1, 2)
        xc = torch.cat((state, xt), -1)
        y = F.conv1d(xc, w, self.w.get(p + ".conv.bias"), groups=xt.shape[1])
        return y.transpose(1, 2), xc[..., xc.shape[-1] - (self.K - 1):]

    def delta(self, x, p, cache, i):
        w = self.w
        B, T, _ = x.shape
        N, D = self.N, self.D
        C = N * D
        q = F.linear(x, w[p + ".q_proj.weight"])
        k = F.linear(x, w[p + ".k_proj.weight"])
        v = F.linear(x, w[p + ".v_proj.weight"])
        g = F.linear(x, w[p + ".g_proj.weight"])
        beta = torch.sigmoid(F.linear(x, w[p + ".beta_proj.weight"]))
        a = F.linear(x, w[p + ".alpha_proj.weight"])
        st = cache[i] or {}
        if self.use_conv:
            new = {}
            for name, t in (("q", q), ("k", k), ("v", v)):
                prev = st.get(name, torch.zeros(B, C, self.K - 1, dtype=x.dtype))
                y, new[name] = self.conv(t, f"{p}.conv_{name}", prev)
                if name == "q":
                    q = y
                elif name == "k":
                    k = y
                else:
                    v = y
        q, k, v = F.silu(q).view(B, T, N, D), F.silu(k).view(B, T, N, D), F.silu(v).view(B, T, N, D)
        decay = torch.exp(-F.softplus(a + w[p + ".dt_bias"]) * torch.exp(w[p + ".A_log"]))
        q = F.normalize(q, dim=-1, eps=1e-6) / math.sqrt(D)
        k = F.normalize(k, dim=-1, eps=1e-6)
        S = st.get("S", torch.zeros(B, N, D, D, dtype=x.dtype))
        outs = []
        for t in range(T):
            S = S * decay[:, t, :, None, None]
            r = torch.einsum("zha,zhab->zhb", k[:, t], S)
            delta = (v[:, t] - r) * beta[:, t, :, None]
            S = S + k[:, t, :, :, None] * delta[:, :, None, :]
            outs.append(torch.einsum("zha,zhab->zhb", q[:, t], S))
        o = torch.stack(outs, 1)
        o = self.rms(o, w[p + ".g_norm.weight"]) * F.silu(g.view(B, T, N, D))
        new_st = {"S": S}
        if self.use_conv:
            new_st.update(new)
        cache[i] = new_st
        return F.linear(o.reshape(B, T, C), w[p + ".o_proj.weight"])

    @torch.inference_mode()
    def forward(self, ids, offset, cache):
        w = self.w
        x = w["embed_tokens.weight"][torch.tensor(ids)].unsqueeze(0)
        S = len(ids)
        pos = torch.arange(offset, offset + S, dtype=torch.float32)
        freqs = pos[:, None] * self.inv_freq[None, :]
        emb = torch.cat((freqs, freqs), -1)
        cos, sin = emb.cos().to(x.dtype), emb.sin().to(x.dtype)
        for i in range(self.L):
            p = f"layers.{i}"
            h = self.rms(x, w[p + ".attn_norm.weight"])
            if self.is_delta(i):
                x = x + self.delta(h, p + ".attn", cache, i)
            else:
                x = x + self.attention(h, p + ".attn", cos, sin, cache, i)
            h = self.rms(x, w[p + ".mlp_norm.weight"])
            dense = self.moe is None or (self.moe.n_dense_layer is not None and i < self.moe.n_dense_layer)
            x = x + (self.mlp(h, p + ".mlp") if dense else self.moe_block(h, p + ".mlp"))
        x = self.rms(x[:, -1], w["head_norm.weight"])
        bias = w.get("lm_head.bias") if "lm_head.weight" in w and self.cfg.get("lm_head_bias") else None
        return F.linear(x, self.lm_head, bias).float()[0]

    def new_cache(self):
        return [None] * self.L

    def greedy(self, prompt, n):
        cache = self.new_cache()
        out, toks, off = [], list(prompt), 0
        for _ in range(n):
            logits = self.forward(toks, off, cache)
            t = int(torch.argmax(logits))
            out.append(t)
            off += len(toks)
            toks = [t]
        return out
