"""Speed benchmark: a ~0.5 B-parameter hybrid model (3:1 delta-rule / softmax, head_dim 128, grouped-query
attention, MoE in the later layers) run by tessaline and by the same math in PyTorch eager mode, at the
same thread count, for F32 and F16: prompt tokens/s (512-token prompt), decode tokens/s (256 new tokens,
greedy), and the achieved GB/s against the machine's measured read bandwidth.

    python3 tools/bench.py                 # all threads and 2 threads, F32 and F16
    python3 tools/bench.py --threads 2 --dtypes fp32

Each measurement runs in its own process so that the thread count is fixed before the libraries start."""
import argparse
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
import modelgen  # noqa: E402


def bench_config():
    return dict(
        vocab_size=64000, hidden_size=1024, intermediate_size=3072, num_hidden_layers=16,
        num_attention_heads=8, num_key_value_heads=2, head_dim=128, rope_theta=1e6,
        max_position_embeddings=8192, attention_type="hybrid", hybrid_ratio="3:1",
        moe_config=modelgen.moe(intermediate_size=1024, n_routed_experts=8, num_experts_per_tok=2,
                                n_shared_experts=1, norm_topk_prob=True, n_dense_layer=8),
        gated_deltanet_config=modelgen.gdn(),
    )


def bytes_per_token(tensors, cfg, itemsize):
    """Weight bytes one decode step reads: everything except the experts not chosen (k of E)."""
    m = cfg["moe_config"]
    total = 0
    for name, t in tensors.items():
        n = t.size * itemsize
        if ".experts." in name:
            n = n * m.num_experts_per_tok / m.n_routed_experts
        if name == "embed_tokens.weight":
            n = t.shape[1] * itemsize  # one row is gathered; the tied head reads it all below
        total += n
    if "lm_head.weight" not in tensors:
        total += tensors["embed_tokens.weight"].size * itemsize
    return total


def child(args):
    cfg = bench_config()
    prompt = [(i * 7919) % cfg["vocab_size"] for i in range(args.prompt)]
    out = {}
    if args.impl == "tessaline":
        import tessaline
        eng = tessaline.LlmEngine(args.path, cfg, dtype=args.dtype)
        eng.generate(prompt[:16], 4, temperature=0.0)  # warm-up
        stream = eng.streaming_generate(prompt, args.decode + 1, temperature=0.0,
                                        eos_token_id=2**32 - 1)
        t = time.perf_counter()
        ids = [next(stream)]
        out["prompt_s"] = time.perf_counter() - t
        t = time.perf_counter()
        ids += list(stream)
        out["decode_s"] = time.perf_counter() - t
        out["ids"] = ids
    elif args.impl == "torch":
        import torch
        torch.set_num_threads(args.threads)
        from torch_model import TorchModel
        m = TorchModel(args.path, cfg, dtype=torch.float16 if args.dtype == "fp16" else torch.float32)
        m.greedy(prompt[:16], 4)  # warm-up
        cache = m.new_cache()
        t = time.perf_counter()
        ids = [int(torch.argmax(m.forward(prompt, 0, cache)))]
        out["prompt_s"] = time.perf_counter() - t
        off = len(prompt)
        t = time.perf_counter()
        for _ in range(args.decode):
            ids.append(int(torch.argmax(m.forward([ids[-1]], off, cache))))
            off += 1
        out["decode_s"] = time.perf_counter() - t
        out["ids"] = ids
    elif args.impl == "check":
        # The PyTorch version must compute the same logits as the engine before its speed counts.
        import numpy as np
        import torch
        sys.path.insert(0, os.path.join(HERE, "..", "build", "tests"))
        import tessaline_testing
        from torch_model import TorchModel
        dt = {"fp16": "f16", "fp32": "f32"}[args.dtype]
        ours = tessaline_testing.Model(args.path, modelgen.config_json(cfg), dt)
        theirs = TorchModel(args.path, cfg, dtype=torch.float16 if dt == "f16" else torch.float32)
        cache = theirs.new_cache()
        worst = 0.0
        for ids, off in ((prompt[:16], 0), (prompt[16:17], 16), (prompt[17:18], 17)):
            a = np.array(ours.forward(ids, off))
            b = theirs.forward(ids, off, cache).numpy()
            worst = max(worst, float(np.max(np.abs(a - b)) / np.max(np.abs(b))))
        out["max_rel_diff"] = worst
    elif args.impl == "bandwidth":
        import torch
        torch.set_num_threads(args.threads)
        x = torch.ones(256 * 1024 * 1024, dtype=torch.float32)  # 1 GiB
        x.sum()
        best = min(_timed(x.sum) for _ in range(5))
        out["gbps"] = x.numel() * 4 / best / 1e9
    print(json.dumps(out))


def _timed(fn):
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t


def run_child(impl, threads, dtype, path, prompt, decode):
    env = dict(os.environ, OMP_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS=str(threads))
    cmd = [sys.executable, __file__, "--child", impl, "--threads", str(threads), "--dtypes", dtype,
           "--path", path, "--prompt", str(prompt), "--decode", str(decode)]
    res = subprocess.run(cmd, env=env, capture_output=True, text=True, cwd=HERE)
    if res.returncode != 0:
        raise RuntimeError(f"{impl} failed:\n{res.stderr[-3000:]}")
    return json.loads(res.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--child")
    ap.add_argument("--impl")
    ap.add_argument("--threads", type=int, nargs="*")
    ap.add_argument("--dtypes", nargs="*", default=["fp32", "fp16"])
    ap.add_argument("--path", default=os.path.join(HERE, "..", "demo", "bench.safetensors"))
    ap.add_argument("--prompt", type=int, default=512)
    ap.add_argument("--decode", type=int, default=256)
    ap.add_argument("--no-torch", action="store_true")
    args = ap.parse_args()
    if args.child:
        args.impl = args.child
        args.threads = args.threads[0]
        args.dtype = args.dtypes[0]
        return child(args)
    cfg = bench_config()
    if not os.path.exists(args.path):
        os.makedirs(os.path.dirname(args.path), exist_ok=True)
        modelgen.write_model(args.path + ".tmp", cfg, seed=5, tied=False)
        os.replace(args.path + ".tmp", args.path)
    from safetensors.numpy import load_file
    tensors = load_file(args.path)
    nparams = sum(t.size for t in tensors.values())
    threads = args.threads or sorted({os.cpu_count(), 2}, reverse=True)
    print(f"model: {nparams / 1e6:.0f} M parameters; prompt {args.prompt}, decode {args.decode} greedy")
    if not args.no_torch:
        for dt in args.dtypes:
            diff = run_child("check", max(threads), dt, args.path, args.prompt, 0)["max_rel_diff"]
            print(f"logits check {dt}: PyTorch vs tessaline max |diff| / max |logit| = {diff:.2e}")
            if diff > (2e-2 if dt == "fp16" else 1e-4):
                raise SystemExit("the PyTorch version disagrees with the engine: fix it first")
    rows = []
    for th in threads:
        bw = run_child("bandwidth", th, "fp32", args.path, 0, 0)["gbps"]
        for dt in args.dtypes:
            item = 2 if dt == "fp16" else 4
            bpt = bytes_per_token(tensors, cfg, item)
            for impl in ["tessaline"] + ([] if args.no_torch else ["torch"]):
                r = run_child(impl, th, dt, args.path, args.prompt, args.decode)
                decode_s = r["decode_s"]
                dec_tps = args.decode / decode_s
                rows.append(dict(impl=impl, threads=th, dtype=dt, bw=bw,
                                 prompt_tps=args.prompt / r["prompt_s"], decode_tps=dec_tps,
                                 gbps=dec_tps * bpt / 1e9, bound_tps=bw * 1e9 / bpt, ids=r["ids"][:8]))
                row = rows[-1]
                print(f"{impl:9s} threads={th} {dt}: prompt {row['prompt_tps']:8.1f} tok/s | decode "
                      f"{dec_tps:7.2f} tok/s = {row['gbps']:5.1f} GB/s of {bw:5.1f} measured "
                      f"({100 * row['gbps'] / bw:4.0f}%) | first ids {row['ids']}", flush=True)
    print(json.dumps([{k: v for k, v in r.items() if k != "ids"} for r in rows]))


if __name__ == "__main__":
    main()
