"""The main job: a demo hybrid model (3:1 delta-rule / softmax layers, MoE feed-forward in the later
layers, about 145 M parameters, random weights from a fixed seed, F32 file) generated once into demo/,
then greedy and seeded-sampling generation and a streaming loop, each with its tokens/s."""
import argparse
import os
import time

import modelgen  # beside this file; the tests use it too
import tessaline

HERE = os.path.dirname(os.path.abspath(__file__))


def demo_config():
    return dict(
        vocab_size=32000, hidden_size=768, intermediate_size=2048, num_hidden_layers=8,
        num_attention_heads=12, num_key_value_heads=4, head_dim=64, rope_theta=1e6,
        partial_rotary_factor=0.5, max_position_embeddings=4096, attention_type="hybrid",
        hybrid_ratio="3:1", hybrid_softmax_gated=True,
        moe_config=modelgen.moe(intermediate_size=512, n_routed_experts=8, num_experts_per_tok=2,
                                n_shared_experts=1, norm_topk_prob=True, n_dense_layer=2),
        gated_deltanet_config=modelgen.gdn(use_short_conv=True, conv_kernel_size=4),
    )


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--dir", default=os.path.join(HERE, "..", "demo"))
    ap.add_argument("--new-tokens", type=int, default=64)
    ap.add_argument("--dtype", default="fp32")
    args = ap.parse_args()
    cfg = demo_config()
    path = os.path.join(args.dir, "model.safetensors")
    if not os.path.exists(path):
        os.makedirs(args.dir, exist_ok=True)
        t = time.time()
        tensors = modelgen.write_model(path + ".tmp", cfg, seed=1234)
        os.replace(path + ".tmp", path)
        n = sum(v.size for v in tensors.values())
        print(f"wrote {path}: {n / 1e6:.1f} M parameters in {time.time() - t:.1f} s")
    t = time.time()
    engine = tessaline.LlmEngine(path, cfg, dtype=args.dtype)
    print(f"loaded in {time.time() - t:.2f} s ({args.dtype})")
    prompt = [1, 15, 300, 4000, 27, 9, 812, 77]
    n = args.new_tokens

    def timed(label, fn):
        t0 = time.time()
        ids = fn()
        dt = time.time() - t0
        print(f"{label}: {len(ids)} ids, {len(ids) / dt:.1f} tokens/s\n  {ids}")
        return ids

    timed("greedy", lambda: engine.generate(prompt, n, temperature=0.0, eos_token_id=2**32 - 1))
    timed("sampled (seed 7, top_p 0.9)",
          lambda: engine.generate(prompt, n, temperature=0.8, top_p=0.9, seed=7,
                                  eos_token_id=2**32 - 1))
    print("streaming:", end=" ", flush=True)
    t0 = time.time()
    count = 0
    for tok in engine.streaming_generate(prompt, n, temperature=0.8, top_k=50, seed=7,
                                         eos_token_id=2**32 - 1):
        print(tok, end=" ", flush=True)
        count += 1
    dt = time.time() - t0
    print(f"\nstreamed {count} ids, {count / dt:.1f} tokens/s")


if __name__ == "__main__":
    main()
