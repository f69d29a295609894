"""Random tiny models for tests: a configuration dict and a safetensors file with every tensor the
loader asks for, named and shaped as the weight-name scheme says."""
from __future__ import annotations

import types

import numpy as np
from safetensors.numpy import save_file


def base_config(**over):
    cfg = dict(
        vocab_size=64,
        hidden_size=32,
        intermediate_size=48,
        num_hidden_layers=2,
        num_attention_heads=4,
        num_key_value_heads=2,
        head_dim=8,
        norm_eps=1e-6,
        rope_theta=10000.0,
        max_position_embeddings=128,
    )
    cfg.update(over)
    return cfg


def moe(intermediate_size=16, n_routed_experts=4, num_experts_per_tok=2, n_shared_experts=None,
        routed_scaling_factor=1.0, norm_topk_prob=False, n_dense_layer=None):
    """The "moe_config" value: an object read by attribute."""
    return types.SimpleNamespace(
        intermediate_size=intermediate_size, n_routed_experts=n_routed_experts,
        n_shared_experts=n_shared_experts, num_experts_per_tok=num_experts_per_tok,
        routed_scaling_factor=routed_scaling_factor, norm_topk_prob=norm_topk_prob,
        n_dense_layer=n_dense_layer)


def gdn(use_short_conv=True, conv_kernel_size=4, conv_bias=False):
    """The "gated_deltanet_config" value: an object read by attribute."""
    return types.SimpleNamespace(use_short_conv=use_short_conv, conv_kernel_size=conv_kernel_size,
                                 conv_bias=conv_bias)


def _ratio(text):
    def num(s):
        if s.startswith("+"):
            s = s[1:]
        if not s or not s.isascii() or not s.isdigit():
            return None
        v = int(s)
        return v if v < 2**64 else None
    parts = text.split(":")
    a = num(parts[0])
    a = 3 if a is None else a
    b = num(parts[1]) if len(parts) >= 2 else None
    b = 1 if b is None else b
    return a, b


def is_delta_layer(cfg, i):
    if cfg.get("attention_type", "softmax") != "hybrid":
        return False
    a, b = _ratio(cfg.get("hybrid_ratio", "3:1"))
    period = (a + b) % 2**64
    return period != 0 and (i % period) < a


def dims(cfg):
    """Resolved sizes shared by the writer and the reference model."""
    H = cfg["hidden_size"]
    N = cfg["num_attention_heads"]
    Nkv = cfg.get("num_key_value_heads", N)
    D = cfg.get("head_dim", H // N if N else 0)
    hybrid = cfg.get("attention_type", "softmax") == "hybrid"
    Hq = cfg.get("hybrid_softmax_num_heads") if hybrid and cfg.get("hybrid_softmax_num_heads") is not None else N
    Hkv = (cfg.get("hybrid_softmax_num_kv_heads")
           if hybrid and cfg.get("hybrid_softmax_num_kv_heads") is not None else Nkv)
    Dq = cfg.get("hybrid_softmax_head_dim") if hybrid and cfg.get("hybrid_softmax_head_dim") is not None else D
    gated = bool(hybrid and cfg.get("hybrid_softmax_gated", False))
    g = cfg.get("gated_deltanet_config")
    conv = getattr(g, "use_short_conv", True) if g is not None else True
    K = getattr(g, "conv_kernel_size", 4) if g is not None else 4
    conv_bias = getattr(g, "conv_bias", False) if g is not None else False
    return dict(H=H, N=N, Nkv=Nkv, D=D, Hq=Hq, Hkv=Hkv, Dq=Dq, gated=gated, conv=conv, K=K,
                conv_bias=conv_bias, V=cfg["vocab_size"], I=cfg["intermediate_size"])


def tensor_specs(cfg, tied=False):
    """(name, shape) in fetch order."""
    d = dims(cfg)
    H, V = d["H"], d["V"]
    out = [("embed_tokens.weight", (V, H))]
    moe_cfg = cfg.get("moe_config")

    def mlp(prefix, inner):
        for proj, shape in (("gate_proj", (inner, H)), ("up_proj", (inner, H)), ("down_proj", (H, inner))):
            out.append((f"{prefix}.{proj}.weight", shape))
            if cfg.get("mlp_bias", False):
                out.append((f"{prefix}.{proj}.bias", (shape[0],)))

    for i in range(cfg["num_hidden_layers"]):
        p = f"layers.{i}"
        dense = moe_cfg is None or (moe_cfg.n_dense_layer is not None and i < moe_cfg.n_dense_layer)
        if dense:
            mlp(f"{p}.mlp", d["I"])
        else:
            for j in range(moe_cfg.n_routed_experts):
                mlp(f"{p}.mlp.experts.{j}", moe_cfg.intermediate_size)
            if moe_cfg.n_shared_experts is not None:
                mlp(f"{p}.mlp.shared_experts", moe_cfg.n_shared_experts * moe_cfg.intermediate_size)
            out.append((f"{p}.mlp.gate.weight", (moe_cfg.n_routed_experts, H)))
        a = f"{p}.attn"
        if is_delta_layer(cfg, i):
            N, D = d["N"], d["D"]
            C = N * D
            if d["conv"]:
                for c in ("conv_q", "conv_k", "conv_v"):
                    out.append((f"{a}.{c}.conv.weight", (C, 1, d["K"])))
                    if d["conv_bias"]:
                        out.append((f"{a}.{c}.conv.bias", (C,)))
            for proj, shape in (("q_proj", (C, H)), ("k_proj", (C, H)), ("v_proj", (C, H)),
                                ("beta_proj", (N, H)), ("alpha_proj", (N, H)), ("g_proj", (C, H)),
                                ("o_proj", (H, C))):
                out.append((f"{a}.{proj}.weight", shape))
            out.append((f"{a}.g_norm.weight", (D,)))
            out.append((f"{a}.dt_bias", (N,)))
            out.append((f"{a}.A_log", (N,)))
        else:
            Hq, Hkv, Dq = d["Hq"], d["Hkv"], d["Dq"]
            if cfg.get("use_qk_norm", True):
                out.append((f"{a}.q_norm.weight", (Dq,)))
                out.append((f"{a}.k_norm.weight", (Dq,)))
            qkv_bias = cfg.get("attention_qkv_bias", False)
            for proj, rows in (("q_proj", Hq * Dq * (2 if d["gated"] else 1)), ("k_proj", Hkv * Dq),
                               ("v_proj", Hkv * Dq)):
                out.append((f"{a}.{proj}.weight", (rows, H)))
                if qkv_bias:
                    out.append((f"{a}.{proj}.bias", (rows,)))
            out.append((f"{a}.o_proj.weight", (H, Hq * Dq)))
            if cfg.get("attention_out_bias", False):
                out.append((f"{a}.o_proj.bias", (H,)))
        out.append((f"{p}.attn_norm.weight", (H,)))
        out.append((f"{p}.mlp_norm.weight", (H,)))
    out.append(("head_norm.weight", (H,)))
    if not tied:
        out.append(("lm_head.weight", (V, H)))
        out.append(("lm_head.bias", (V,)))
    return out


def random_weights(cfg, seed=0, tied=False, scale=0.3, dtype=np.float32):
    """Deterministic random tensors for every name. Norm scales sit near 1, A_log near 0, so the
    model's activations stay in a sensible range."""
    rng = np.random.default_rng(seed)
    tensors = {}
    for name, shape in tensor_specs(cfg, tied=tied):
        if name.endswith("norm.weight"):
            t = 1.0 + 0.1 * rng.standard_normal(shape)
        elif name.endswith("A_log"):
            t = 0.5 * rng.standard_normal(shape)
        elif name.endswith("dt_bias"):
            t = 0.5 * rng.standard_normal(shape)
        elif name == "embed_tokens.weight":
            t = rng.standard_normal(shape)
        else:
            fan_in = shape[-1] if len(shape) > 1 else 1
            t = scale * rng.standard_normal(shape) / np.sqrt(max(fan_in, 1)) * 2.0
        tensors[name] = np.ascontiguousarray(t.astype(dtype))
    return tensors


def write_model(path, cfg, seed=0, tied=False, dtype=np.float32, tensors=None):
    """Writes the safetensors file and returns the tensors written (as numpy arrays)."""
    if tensors is None:
        tensors = random_weights(cfg, seed=seed, tied=tied, dtype=dtype)
    save_file(tensors, str(path))
    return tensors


def config_json(cfg):
    """The configuration as JSON text, with the two attribute objects as nested objects."""
    import json

    out = {}
    for k, v in cfg.items():
        out[k] = vars(v) if isinstance(v, types.SimpleNamespace) else v
    return json.dumps(out)
