"""Writes one of our hybrid models as a GGUF file of llama.cpp's "qwen3next" architecture.

llama.cpp's qwen3next graph computes the same layer math as ours: RMS norms that multiply by the
stored weight (its converter adds the 1 of Qwen3-Next's checkpoints, so the file holds the
effective scale, as ours does); gated delta-rule layers with one depthwise causal convolution over
[q, k, v] then SiLU, q and k L2-normalised (x / sqrt(sum x^2 + eps)), q scaled by 1/sqrt(head_dim),
decay g = -exp(A_log) * softplus(alpha + dt_bias), beta = sigmoid(beta_proj x), the output
RMS-normalised per head and multiplied by silu(z); softmax attention whose query projection holds,
per head, head_dim query rows then head_dim gate rows (output * sigmoid(gate)), q/k RMS norms,
NeoX-style rotary (rotate-half); every third of four layers is delta rule, every fourth softmax
(full_attention_interval 4 = our hybrid_ratio "3:1"); MoE with a softmax router, top-k weights
renormalised (always: our norm_topk_prob must be on) and no routed scaling (ours must be 1).

Where the layouts differ:
- ours has separate conv_q / conv_k / conv_v kernels (C, 1, K); llama.cpp one kernel over the
  concatenated channels [q | k | v], (3C, K): the same depthwise convolution;
- q_proj / k_proj / v_proj of a delta-rule layer become one attn_qkv [q | k | v] (what llama.cpp's
  converter writes), g_proj is attn_gate (z); beta_proj / alpha_proj become ssm_ba, per key head
  [beta rows, alpha rows] (one of each here: as many value heads as key heads);
- A_log is stored as ssm_a = -exp(A_log) (as the converter does);
- llama.cpp multiplies the shared expert by sigmoid(w . x) with a per-layer gate vector w, which
  our model does not have: w is written as zeros, so the gate is exactly 1/2, and the shared
  expert's down projection is written doubled (exact in binary floating point), so the product is
  exactly our ungated shared expert;
- llama.cpp wants a router in every layer, so the model must have MoE in every layer
  (n_dense_layer None) with one shared expert of the routed width;
- the output bias is not written (our configuration must not use lm_head_bias);
- no tokenizer: tokenizer.ggml.model "none" with vocab_size dummy tokens (ids are fed directly).

F16 files follow llama.cpp's converter: norms, 1-D tensors, the router, the shared-expert gate and
the convolution kernel stay F32 (their values rounded through F16 first, so both engines use the
same numbers), everything else is F16."""
import numpy as np

ARCH = "qwen3next"


def check_config(cfg):
    """Refuses configurations this mapping cannot express."""
    m = cfg.get("moe_config")
    problems = []
    if cfg.get("attention_type") != "hybrid" or cfg.get("hybrid_ratio", "3:1") != "3:1":
        problems.append('attention_type must be "hybrid" with hybrid_ratio "3:1"')
    if not cfg.get("hybrid_softmax_gated", False):
        problems.append("hybrid_softmax_gated must be on (llama.cpp's attention is gated)")
    for key in ("hybrid_softmax_num_heads", "hybrid_softmax_num_kv_heads", "hybrid_softmax_head_dim"):
        if cfg.get(key) is not None:
            problems.append(f"{key} must be unset")
    if not cfg.get("use_qk_norm", True):
        problems.append("use_qk_norm must be on")
    for key in ("attention_qkv_bias", "attention_out_bias", "mlp_bias", "lm_head_bias"):
        if cfg.get(key, False):
            problems.append(f"{key} must be off")
    g = cfg.get("gated_deltanet_config")
    if g is not None and (not g.use_short_conv or g.conv_bias):
        problems.append("the delta-rule layers need the short convolution, without bias")
    if m is None or m.n_dense_layer not in (None, 0):
        problems.append("every layer must be MoE (n_dense_layer None)")
    elif (m.n_shared_experts != 1 or not m.norm_topk_prob or m.routed_scaling_factor != 1.0):
        problems.append("MoE needs one shared expert, norm_topk_prob on, routed_scaling_factor 1")
    if problems:
        raise ValueError("cannot write as qwen3next: " + "; ".join(problems))


def write_gguf(path, cfg, tensors, f16):
    """tensors: our safetensors tensors by name (numpy float32). f16: F16 weights, else F32."""
    import gguf
    from gguf import MODEL_TENSOR as T

    check_config(cfg)
    H = cfg["hidden_size"]
    N = cfg["num_attention_heads"]
    Nkv = cfg.get("num_key_value_heads", N)
    D = cfg.get("head_dim", H // N)
    L = cfg["num_hidden_layers"]
    m = cfg["moe_config"]
    g = cfg.get("gated_deltanet_config")
    K = g.conv_kernel_size if g is not None else 4

    w = gguf.GGUFWriter(str(path), ARCH)
    w.add_name("tessaline moe benchmark model")
    w.add_context_length(cfg["max_position_embeddings"])
    w.add_embedding_length(H)
    w.add_block_count(L)
    w.add_feed_forward_length(m.intermediate_size)
    w.add_head_count(N)
    w.add_head_count_kv(Nkv)
    w.add_key_length(D)
    w.add_value_length(D)
    w.add_rope_freq_base(cfg.get("rope_theta", 10000.0))
    w.add_rope_dimension_count(int(cfg.get("partial_rotary_factor", 1.0) * D))
    w.add_layer_norm_rms_eps(cfg.get("norm_eps", 1e-6))
    w.add_expert_count(m.n_routed_experts)
    w.add_expert_used_count(m.num_experts_per_tok)
    w.add_expert_feed_forward_length(m.intermediate_size)
    w.add_expert_shared_feed_forward_length(m.intermediate_size)
    # The delta-rule layers: as many key as value heads, each head_dim wide.
    w.add_ssm_conv_kernel(K)
    w.add_ssm_state_size(D)
    w.add_ssm_group_count(N)
    w.add_ssm_time_step_rank(N)
    w.add_ssm_inner_size(N * D)
    w.add_full_attention_interval(4)
    w.add_tokenizer_model("none")
    w.add_vocab_size(cfg["vocab_size"])
    w.add_file_type(gguf.LlamaFileType.MOSTLY_F16 if f16 else gguf.LlamaFileType.ALL_F32)

    def f16_values(a):
        return a.astype(np.float16).astype(np.float32) if f16 else a

    def add(tensor, bid, array, suffix=".weight", keep_f32=False):
        name = gguf.TENSOR_NAMES[tensor].format(bid=bid) + suffix
        array = np.ascontiguousarray(array, dtype=np.float32)
        if keep_f32 or array.ndim == 1:
            w.add_tensor(name, f16_values(array))
        else:
            w.add_tensor(name, array.astype(np.float16) if f16 else array)

    add(T.TOKEN_EMBD, None, tensors["embed_tokens.weight"])
    add(T.OUTPUT_NORM, None, tensors["head_norm.weight"])
    add(T.OUTPUT, None, tensors.get("lm_head.weight", tensors["embed_tokens.weight"]))
    for i in range(L):
        p, a = f"layers.{i}", f"layers.{i}.attn"
        add(T.ATTN_NORM, i, tensors[f"{p}.attn_norm.weight"])
        add(T.ATTN_POST_NORM, i, tensors[f"{p}.mlp_norm.weight"])
        if i % 4 != 3:  # delta rule
            add(T.ATTN_QKV, i, np.concatenate([tensors[f"{a}.{x}_proj.weight"] for x in "qkv"]))
            add(T.ATTN_GATE, i, tensors[f"{a}.g_proj.weight"])
            conv = [tensors[f"{a}.conv_{x}.conv.weight"][:, 0, :] for x in "qkv"]
            add(T.SSM_CONV1D, i, np.concatenate(conv), keep_f32=True)
            ba = np.stack([tensors[f"{a}.beta_proj.weight"], tensors[f"{a}.alpha_proj.weight"]], 1)
            add(T.SSM_BETA_ALPHA, i, ba.reshape(2 * N, H))
            add(T.SSM_DT, i, tensors[f"{a}.dt_bias"], suffix=".bias")
            add(T.SSM_A, i, -np.exp(f16_values(tensors[f"{a}.A_log"])), suffix="")
            add(T.SSM_NORM, i, tensors[f"{a}.g_norm.weight"])
            add(T.SSM_OUT, i, tensors[f"{a}.o_proj.weight"])
        else:  # gated softmax attention
            add(T.ATTN_Q, i, tensors[f"{a}.q_proj.weight"])
            add(T.ATTN_K, i, tensors[f"{a}.k_proj.weight"])
            add(T.ATTN_V, i, tensors[f"{a}.v_proj.weight"])
            add(T.ATTN_OUT, i, tensors[f"{a}.o_proj.weight"])
            add(T.ATTN_Q_NORM, i, tensors[f"{a}.q_norm.weight"])
            add(T.ATTN_K_NORM, i, tensors[f"{a}.k_norm.weight"])
        e = [f"{p}.mlp.experts.{j}" for j in range(m.n_routed_experts)]
        add(T.FFN_GATE_INP, i, tensors[f"{p}.mlp.gate.weight"], keep_f32=True)
        add(T.FFN_GATE_EXP, i, np.stack([tensors[f"{x}.gate_proj.weight"] for x in e]))
        add(T.FFN_UP_EXP, i, np.stack([tensors[f"{x}.up_proj.weight"] for x in e]))
        add(T.FFN_DOWN_EXP, i, np.stack([tensors[f"{x}.down_proj.weight"] for x in e]))
        s = f"{p}.mlp.shared_experts"
        add(T.FFN_GATE_INP_SHEXP, i, np.zeros(H, np.float32))  # sigmoid(0) = 1/2 ...
        add(T.FFN_GATE_SHEXP, i, tensors[f"{s}.gate_proj.weight"])
        add(T.FFN_UP_SHEXP, i, tensors[f"{s}.up_proj.weight"])
        add(T.FFN_DOWN_SHEXP, i, 2.0 * tensors[f"{s}.down_proj.weight"])  # ... times 2 = 1
    w.write_header_to_file()
    w.write_kv_data_to_file()
    w.write_tensors_to_file()
    w.close()
