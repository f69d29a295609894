"""The same model math in PyTorch eager mode on the CPU: the peer the benchmark compares against.

Written the way a strong PyTorch user would write it for inference, from one safetensors file and
the same configuration dictionary the engine takes:
- softmax attention through `F.scaled_dot_product_attention` over a preallocated key/value cache
  (grown by doubling), causal flag for a prompt at offset 0, a boolean mask for later chunks;
- the gated delta rule in its chunked (WY) form for multi-token calls, as public PyTorch code for
  it does (blocks of 64 tokens: in-block products as batched matrix products, the block's
  triangular system solved once, the state carried block to block), and the recurrence for
  single tokens; both in float32 with a float32 state, whatever the model dtype;
- mixture of experts with the tokens grouped by expert (one index_select per chosen expert, one
  index_add back), the router in float32."""
import math

import torch
import torch.nn.functional as F
from safetensors.torch import load_file

CHUNK = 64  # tokens per block of the chunked delta rule


def _cfg(cfg, key, default):
    v = cfg.get(key, default)
    return default if v is None else v


def _ratio(text):
    parts = text.split(":")

    def num(s, d):
        s = s[1:] if s.startswith("+") else s
        return int(s) if s.isascii() and s.isdigit() and int(s) < 2**64 else d

    return num(parts[0], 3), (num(parts[1], 1) if len(parts) > 1 else 1)


def chunk_gated_delta_rule(q, k, v, g, beta, state):
    """Gated delta rule over a whole chunk of tokens, blockwise.

    q, k, v: (B, N, T, D) float32 (q already scaled); g: (B, N, T) log decays; beta: (B, N, T);
    state: (B, N, D, D) float32, indexed [key channel][value channel]. Returns the outputs
    (B, N, T, D) and the state after the last token. Per token the recurrence is
    S = exp(g) S; S += k (beta (v - k S)); o = q S; within a block of C tokens this becomes
    U = W (beta v), Wk = W (beta k exp(G)) with W = (I + strict_lower(beta k k^T * exp(G_i - G_j)))^-1
    (G the running sum of g inside the block), and each block needs one product with the state."""
    B, N, T, D = q.shape
    C = CHUNK
    pad = (-T) % C
    if pad:
        q, k, v = (F.pad(t, (0, 0, 0, pad)) for t in (q, k, v))
        g, beta = (F.pad(t, (0, pad)) for t in (g, beta))  # padded steps: no decay, no write
    n = (T + pad) // C
    q, k, v = (t.reshape(B, N, n, C, D) for t in (q, k, v))
    G = g.reshape(B, N, n, C).cumsum(-1)
    beta = beta.reshape(B, N, n, C, 1)
    kb = k * beta
    lower = torch.ones(C, C, dtype=torch.bool).tril()
    # exp(G_i - G_j) for j <= i, 0 above the diagonal: (B, N, n, C, C)
    decay = (G.unsqueeze(-1) - G.unsqueeze(-2)).masked_fill(~lower, float("-inf")).exp()
    M = (kb @ k.transpose(-1, -2)) * decay
    M = M.tril(-1) + torch.eye(C)
    eye = torch.eye(C).expand_as(M)
    W = torch.linalg.solve_triangular(M, eye, upper=False, unitriangular=True)
    U = W @ (v * beta)
    Wk = W @ (kb * G.exp().unsqueeze(-1))
    attn = (q @ k.transpose(-1, -2)) * decay  # in-block scores, causal incl. the diagonal
    qG = q * G.exp().unsqueeze(-1)
    kG = k * (G[..., -1:] - G).exp().unsqueeze(-1)
    last = G[..., -1].exp()  # (B, N, n)
    out = torch.empty_like(q)
    S = state
    for i in range(n):
        v_new = U[:, :, i] - Wk[:, :, i] @ S
        out[:, :, i] = qG[:, :, i] @ S + attn[:, :, i] @ v_new
        S = S * last[:, :, i, None, None] + kG[:, :, i].transpose(-1, -2) @ v_new
    return out.reshape(B, N, n * C, D)[:, :, :T], S


def recurrent_gated_delta_rule(q, k, v, g, beta, state):
    """One token: q, k, v (B, N, D) float32; g, beta (B, N); state (B, N, D, D)."""
    S = state * g.exp()[..., None, None]
    r = torch.einsum("zha,zhab->zhb", k, S)
    S = S + k.unsqueeze(-1) * ((v - r) * beta.unsqueeze(-1)).unsqueeze(-2)
    return torch.einsum("zha,zhab->zhb", q, S), S


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
        # Router weights widened once (the router runs in float32).
        self.router = {k: v.float() for k, v in self.w.items() if k.endswith(".gate.weight")}

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
        k = m.num_experts_per_tok
        probs = torch.softmax(flat.float() @ self.router[p + ".gate.weight"].t(), dim=-1)
        topw, topi = torch.topk(probs, k, dim=-1)
        if m.norm_topk_prob and k > 1:
            topw = topw / topw.sum(-1, keepdim=True)
        topw = (topw * m.routed_scaling_factor).to(x.dtype)
        # Group the (token, rank) pairs by expert: one gather, one MLP and one scatter-add per
        # expert that has tokens.
        ids = topi.reshape(-1)
        order = torch.argsort(ids, stable=True)
        counts = torch.bincount(ids, minlength=len(self.router[p + ".gate.weight"])).tolist()
        tok = order // k
        wts = topw.reshape(-1)[order].unsqueeze(-1)
        out = torch.zeros_like(flat)
        start = 0
        for e, c in enumerate(counts):
            if c == 0:
                continue
            t = tok[start:start + c]
            y = self.mlp(flat.index_select(0, t), f"{p}.experts.{e}") * wts[start:start + c]
            out.index_add_(0, t, y)
            start += c
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
        # Preallocated cache (B, Hkv, capacity, D), grown by doubling; the new keys are written
        # in place.
        ent = cache[i]
        if ent is None:
            ent = cache[i] = {"k": k.new_empty(B, Hkv, 0, D), "v": v.new_empty(B, Hkv, 0, D), "n": 0}
        n = ent["n"]
        if n + S > ent["k"].shape[2]:
            cap = max(2 * ent["k"].shape[2], n + S, 256)
            for name in ("k", "v"):
                t = ent[name].new_empty(B, Hkv, cap, D)
                t[:, :, :n] = ent[name][:, :, :n]
                ent[name] = t
        ent["k"][:, :, n:n + S] = k
        ent["v"][:, :, n:n + S] = v
        ent["n"] = n + S
        keys, values = ent["k"][:, :, :n + S], ent["v"][:, :, :n + S]
        mask = None
        if S > 1 and n > 0:  # a chunk after cached tokens: query i sees keys up to n + i
            mask = torch.ones(S, n + S, dtype=torch.bool).tril(diagonal=n)
        o = F.scaled_dot_product_attention(q, keys, values, attn_mask=mask,
                                           is_causal=S > 1 and n == 0, enable_gqa=Hq != Hkv)
        o = o.transpose(1, 2).reshape(B, S, Hq * D)
        if gate is not None:
            o = o * torch.sigmoid(gate.reshape(B, S, Hq * D))
        return F.linear(o, w[p + ".o_proj.weight"], w.get(p + ".o_proj.bias"))

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
        beta = torch.sigmoid(F.linear(x, w[p + ".beta_proj.weight"]).float())
        a = F.linear(x, w[p + ".alpha_proj.weight"]).float()
        st = cache[i] or {}
        new = {}
        if self.use_conv:
            convolved = []
            for name, t in (("q", q), ("k", k), ("v", v)):
                prev = st.get(name, torch.zeros(B, C, self.K - 1, dtype=x.dtype))
                y, new[name] = self.conv(t, f"{p}.conv_{name}", prev)
                convolved.append(y)
            q, k, v = convolved
        q, k, v = (F.silu(t).float().view(B, T, N, D).transpose(1, 2) for t in (q, k, v))
        logdecay = -F.softplus(a + w[p + ".dt_bias"].float()) * w[p + ".A_log"].float().exp()
        q = q * torch.rsqrt(q.pow(2).sum(-1, keepdim=True) + 1e-6) / math.sqrt(D)
        k = k * torch.rsqrt(k.pow(2).sum(-1, keepdim=True) + 1e-6)
        S = st.get("S")
        if S is None:
            S = torch.zeros(B, N, D, D)
        gl, bt = logdecay.transpose(1, 2), beta.transpose(1, 2)  # (B, N, T)
        if T == 1:
            o, S = recurrent_gated_delta_rule(q[:, :, 0], k[:, :, 0], v[:, :, 0], gl[..., 0],
                                              bt[..., 0], S)
            o = o.unsqueeze(2)
        else:
            o, S = chunk_gated_delta_rule(q, k, v, gl, bt, S)
        o = o.transpose(1, 2).to(x.dtype)  # (B, T, N, D)
        o = self.rms(o, w[p + ".g_norm.weight"]) * F.silu(g.view(B, T, N, D))
        new["S"] = S
        cache[i] = new
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
