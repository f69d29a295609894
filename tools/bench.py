"""Speed benchmark against PyTorch eager on the same weights, printed as one markdown table.

Two hybrid models (3:1 delta-rule / softmax layers, head_dim 128, 8 query / 2 key-value heads,
hidden 1024, 16 layers, random weights written once under demo/):
- `bench`: 0.5 B parameters, MoE with 8 experts of width 1024, 2 chosen plus a shared one in layers
  8-15, vocabulary 64,000;
- `moe32`: 0.8 B parameters, many small experts: 32 of width 512, 4 chosen plus a shared one in
  layers 4-15, vocabulary 32,000.

For each model, dtype (F32, F16) and thread count (2 and all): prompt tokens/s (one 512-token call)
and decode tokens/s (64 greedy tokens) for tessaline and for the PyTorch version of the same math
(tools/torch_model.py: chunked delta rule, scaled_dot_product_attention, experts grouped), the
decode GB/s of the weight bytes one token reads, and that as a share of the read bandwidth measured
in the same run at the same thread count (tools/read_bandwidth.cpp: 1 GiB, eight streams a thread).
One more row per model under load: all threads while the script keeps half of the cores busy with
spinning processes, next to the quiet figures at half the threads.

Before any timing, the PyTorch version must give the engine's logits (a prompt longer than one
delta-rule block, single tokens, a later chunk); otherwise the script stops. Every measurement
runs in its own process, so thread counts are fixed before the libraries start (tessaline:
RAYON_NUM_THREADS and OMP_NUM_THREADS; PyTorch: torch.set_num_threads). Each figure is the median
of --repeat runs.

    python3 tools/bench.py                          # everything (takes a while)
    python3 tools/bench.py --models moe32 --dtypes fp32 --threads 2 --repeat 1 --no-load

The build directory (--build or TESSALINE_TEST_BUILD, default build/tests) must hold
tessaline_testing and read_bandwidth (a build with -DTESSALINE_TESTS=ON); the tessaline module is
taken from there when it was built there too, else from the installed package."""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)  # modelgen
import modelgen  # noqa: E402


def model_config(name):
    common = dict(hidden_size=1024, num_hidden_layers=16, num_attention_heads=8,
                  num_key_value_heads=2, head_dim=128, rope_theta=1e6,
                  max_position_embeddings=8192, attention_type="hybrid", hybrid_ratio="3:1",
                  gated_deltanet_config=modelgen.gdn())
    if name == "bench":
        return dict(common, vocab_size=64000, intermediate_size=3072,
                    moe_config=modelgen.moe(intermediate_size=1024, n_routed_experts=8,
                                            num_experts_per_tok=2, n_shared_experts=1,
                                            norm_topk_prob=True, n_dense_layer=8))
    if name == "moe32":
        return dict(common, vocab_size=32000, intermediate_size=3072,
                    moe_config=modelgen.moe(intermediate_size=512, n_routed_experts=32,
                                            num_experts_per_tok=4, n_shared_experts=1,
                                            norm_topk_prob=True, n_dense_layer=4))
    raise SystemExit(f"unknown model {name!r}")


MODELS = ["bench", "moe32"]


def model_path(name):
    return os.path.join(ROOT, "demo", f"{name}.safetensors")


def prompt_ids(cfg, n):
    return [(i * 7919 + 13) % cfg["vocab_size"] for i in range(n)]


def bytes_per_token(tensors, cfg, itemsize):
    """Weight bytes one decode step reads: everything except the experts not chosen (k of E)."""
    m = cfg["moe_config"]
    total = 0
    for name, t in tensors.items():
        n = t.size * itemsize
        if ".experts." in name:
            n = n * m.num_experts_per_tok / m.n_routed_experts
        if name == "embed_tokens.weight":
            n = t.shape[1] * itemsize  # one row is gathered; a tied head reads it all below
        total += n
    if "lm_head.weight" not in tensors:
        total += tensors["embed_tokens.weight"].size * itemsize
    return total


# ---- child processes: one measurement each ---------------------------------------------------

def child(args):
    cfg = model_config(args.model)
    prompt = prompt_ids(cfg, args.prompt)
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
        # The PyTorch version must compute the engine's logits before its speed counts: a prompt
        # over one delta-rule block (the blockwise path with a partial last block), single tokens
        # (the recurrence, attention over the cache), then a chunk after cached tokens.
        import numpy as np
        import torch
        import tessaline_testing
        from torch_model import TorchModel
        dt = {"fp16": "f16", "fp32": "f32"}[args.dtype]
        ours = tessaline_testing.Model(args.path, modelgen.config_json(cfg), dt)
        theirs = TorchModel(args.path, cfg, dtype=torch.float16 if dt == "f16" else torch.float32)
        cache = theirs.new_cache()
        diffs, off = [], 0
        for n in (100, 1, 1, 1, 7):
            ids = prompt[off:off + n]
            a = np.array(ours.forward(ids, off))
            b = theirs.forward(ids, off, cache).numpy()
            diffs.append(float(np.max(np.abs(a - b)) / np.max(np.abs(b))))
            off += n
        out["rel_diffs"] = diffs
    print(json.dumps(out))


def child_env(threads, build):
    env = dict(os.environ)
    for var in ("RAYON_NUM_THREADS", "OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
        env[var] = str(threads)
    env.pop("RAYON_RS_NUM_CPUS", None)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (build, env.get("PYTHONPATH")) if p)
    return env


def run_child(impl, model, threads, dtype, args):
    cmd = [sys.executable, os.path.abspath(__file__), "--child", impl, "--models", model,
           "--threads", str(threads), "--dtypes", dtype, "--prompt", str(args.prompt),
           "--decode", str(args.decode), "--build", args.build]
    res = subprocess.run(cmd, env=child_env(threads, args.build), capture_output=True, text=True,
                         cwd=HERE)
    if res.returncode != 0:
        raise RuntimeError(f"{impl} {model} {dtype} threads={threads} failed:\n{res.stderr[-3000:]}")
    return json.loads(res.stdout.strip().splitlines()[-1])


def read_bandwidth(threads, args):
    tool = os.path.join(args.build, "read_bandwidth")
    res = subprocess.run([tool, str(threads)], capture_output=True, text=True, check=True)
    return float(res.stdout.strip())


class Spinners:
    """`count` processes that spin until stopped: other users holding cores."""

    def __init__(self, count):
        self.count = count
        self.procs = []

    def __enter__(self):
        for _ in range(self.count):
            self.procs.append(subprocess.Popen([sys.executable, "-c", "while True: pass"]))
        time.sleep(0.5)
        return self

    def __exit__(self, *exc):
        for p in self.procs:
            p.kill()
        for p in self.procs:
            p.wait()


# ---- the table --------------------------------------------------------------------------------

def median_run(impl, model, threads, dtype, args):
    runs = [run_child(impl, model, threads, dtype, args) for _ in range(args.repeat)]
    return dict(prompt_tps=statistics.median(args.prompt / r["prompt_s"] for r in runs),
                decode_tps=statistics.median(args.decode / r["decode_s"] for r in runs),
                ids=runs[0]["ids"])


def measure(model, threads, dtype, args, busy=0):
    """Both implementations at one setting (medians), with `busy` cores held by spinners."""
    row = dict(model=model, threads=threads, dtype=dtype, busy=busy)
    with Spinners(busy):
        for impl in ["tessaline"] + ([] if args.no_torch else ["torch"]):
            row[impl] = median_run(impl, model, threads, dtype, args)
    return row


def same_ids(row):
    if "torch" not in row:
        return ""
    a, b = row["tessaline"]["ids"], row["torch"]["ids"]
    n = next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), len(a))
    return f"{n}/{len(a)}"


def pair(row, key, fmt):
    ours = format(row["tessaline"][key], fmt)
    if "torch" not in row:
        return ours
    theirs = row["torch"][key]
    return f"{ours} / {format(theirs, fmt)} ({row['tessaline'][key] / theirs:.2f}x)"


def print_table(rows, bw, bpt, quiet_half):
    print("\n| model | dtype | threads | prompt tok/s: ours / PyTorch | decode tok/s: ours / PyTorch "
          "| decode GB/s (ours) | of read bandwidth | same greedy ids |")
    print("|---|---|---|---|---|---|---|---|")
    for r in rows:
        gbps = r["tessaline"]["decode_tps"] * bpt[(r["model"], r["dtype"])] / 1e9
        if r["busy"]:
            th = f"{r['threads']}, {r['busy']} cores busy"
            q = quiet_half.get((r["model"], r["dtype"]))
            share = ""
            if q is not None:
                share = (f"prompt {100 * r['tessaline']['prompt_tps'] / q['tessaline']['prompt_tps']:.0f}%"
                         f", decode {100 * r['tessaline']['decode_tps'] / q['tessaline']['decode_tps']:.0f}%"
                         f" of quiet {q['threads']} threads")
        else:
            th = str(r["threads"])
            b = bw[r["threads"]]
            share = f"{100 * gbps / b:.0f}% of {b:.1f} GB/s"
        print(f"| {r['model']} | {r['dtype'].upper()} | {th} | {pair(r, 'prompt_tps', '.0f')} | "
              f"{pair(r, 'decode_tps', '.1f')} | {gbps:.1f} | {share} | {same_ids(r)} |")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--child")
    ap.add_argument("--models", nargs="*", default=MODELS)
    ap.add_argument("--threads", type=int, nargs="*")
    ap.add_argument("--dtypes", nargs="*", default=["fp32", "fp16"])
    ap.add_argument("--prompt", type=int, default=512)
    ap.add_argument("--decode", type=int, default=64)
    ap.add_argument("--repeat", type=int, default=3, help="runs per figure (median)")
    ap.add_argument("--build", default=os.environ.get("TESSALINE_TEST_BUILD", "build/tests"))
    ap.add_argument("--no-torch", action="store_true", help="tessaline only (no check, no peer)")
    ap.add_argument("--no-load", action="store_true", help="skip the rows under load")
    args = ap.parse_args()
    if not os.path.isabs(args.build):
        args.build = os.path.join(ROOT, args.build)
    if args.child:
        args.impl, args.model = args.child, args.models[0]
        args.threads, args.dtype = args.threads[0], args.dtypes[0]
        args.path = model_path(args.model)
        return child(args)

    from safetensors.numpy import load_file
    ncpu = os.cpu_count()
    threads = args.threads or sorted({2, ncpu})
    half = max(1, ncpu // 2)
    res = subprocess.run([sys.executable, "-c", "import tessaline; print(tessaline.__file__)"],
                         env=child_env(1, args.build), capture_output=True, text=True, check=True)
    load = os.getloadavg()
    print(f"tessaline module: {res.stdout.strip()}; {ncpu} CPUs; load average at start "
          f"{load[0]:.1f} {load[1]:.1f} {load[2]:.1f}; medians of {args.repeat} runs; prompt "
          f"{args.prompt} tokens, decode {args.decode} greedy tokens", flush=True)
    bpt = {}
    for model in args.models:
        cfg = model_config(model)
        path = model_path(model)
        if not os.path.exists(path):
            os.makedirs(os.path.dirname(path), exist_ok=True)
            modelgen.write_model(path + ".tmp", cfg, seed=5, tied=False)
            os.replace(path + ".tmp", path)
        tensors = load_file(path)
        nparams = sum(t.size for t in tensors.values())
        for dt in args.dtypes:
            bpt[(model, dt)] = bytes_per_token(tensors, cfg, 2 if dt == "fp16" else 4)
        del tensors
        print(f"{model}: {nparams / 1e6:.0f} M parameters; decode reads "
              f"{bpt[(model, args.dtypes[0])] / 1e6:.0f} MB a token in {args.dtypes[0]}", flush=True)
        if not args.no_torch:
            for dt in args.dtypes:
                diffs = run_child("check", model, 2, dt, args)["rel_diffs"]
                print(f"  logits check {dt}: max |PyTorch - tessaline| / max |logit| per call: "
                      + ", ".join(f"{d:.1e}" for d in diffs), flush=True)
                # F32 must agree on every call. In F16 the two round at different steps, and a
                # token whose router probabilities nearly tie at the top-k cut may then go to a
                # different expert (a few percent on that call's logits): most calls must agree.
                bad = (statistics.median(diffs) > 2e-2 if dt == "fp16" else max(diffs) > 1e-4)
                if bad:
                    raise SystemExit("the PyTorch version disagrees with the engine: fix it first")

    bw = {th: statistics.median(read_bandwidth(th, args) for _ in range(args.repeat))
          for th in sorted(set(threads) | ({half} if not args.no_load else set()))}
    print("read bandwidth: " + ", ".join(f"{bw[t]:.1f} GB/s at {t} threads" for t in sorted(bw)),
          flush=True)
    rows, quiet_half = [], {}
    for model in args.models:
        for dt in args.dtypes:
            for th in threads:
                rows.append(measure(model, th, dt, args))
                print(f"  {model} {dt} {th} threads: done", file=sys.stderr, flush=True)
        if not args.no_load:
            dt = args.dtypes[0]
            q = next((r for r in rows if (r["model"], r["dtype"], r["threads"]) == (model, dt, half)),
                     None)
            if q is None:
                q = measure(model, half, dt, args)
                rows.append(q)
            quiet_half[(model, dt)] = q
            rows.append(measure(model, ncpu, dt, args, busy=half))
            print(f"  {model} {dt} under load: done", file=sys.stderr, flush=True)
    print_table(rows, bw, bpt, quiet_half)
    load = os.getloadavg()
    print(f"\nload average at the end {load[0]:.1f} {load[1]:.1f} {load[2]:.1f}")


if __name__ == "__main__":
    main()
