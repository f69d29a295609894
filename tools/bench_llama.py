"""Speed benchmark against llama.cpp on the same weights, printed as one markdown table.

The model is bench.py's `moe32` made expressible in llama.cpp's "qwen3next" architecture
(tools/gguf_qwen3next.py says how the tensors map): hidden 1024, 16 layers 3:1 delta rule /
softmax, head_dim 128, 8 query / 2 key-value heads, 32 experts of width 512 with 4 chosen plus a
shared one, vocabulary 32,000; but MoE in every layer (llama.cpp wants a router in each; moe32's
first four layers are dense) and gated softmax attention (llama.cpp's is gated), 0.98 B parameters.
The random weights are written once as safetensors under demo/ and from those as GGUF, F32 and
F16, under the cache folder.

llama.cpp itself comes from the source of the llama-cpp-python package on PyPI (its vendored
llama.cpp): `pip download llama-cpp-python==0.3.36 --no-binary :all: --no-deps`, unpacked and
built (CPU, GGML_NATIVE, Release, shared libraries) under the cache folder (--cache, default
~/.cache/tessaline-bench): llama-bench for the timings, and tools/llama_logits.c compiled against
its libllama for the check. Nothing of llama.cpp lands in the checkout.

Before any timing both engines must agree: logits of a 100-token prompt, three single tokens and a
7-token chunk (the last token of each call), and 64 greedy ids after them, llama.cpp with a key/value
cache of the weights' type. The limits apply to llama.cpp's plain attention path: F32 every call
within 1e-4 of the largest logit and all 64 ids the same (they agree to about 1e-6); F16 the
median call within 1e-2 (about 2e-3 here: our F16 mode rounds every activation to F16 as
PyTorch's half precision does, llama.cpp keeps activations in F32 and only its weights and matmul
inputs in F16; a router near-tie at the top-k cut could move one call further). The same figures
with flash attention, which the timings use, are printed too: llama.cpp's CPU flash attention
rounds through F16 even over an F32 cache (about 1e-4 in F32).

Timings, each setting in a fresh process with the thread count fixed (ours: RAYON_NUM_THREADS and
OMP_NUM_THREADS; llama.cpp: -t, and the same variables): prompt tok/s of a 512-token prompt from
an empty cache, decode tok/s of 64 greedy tokens after it (llama-bench pp512, and tg64 with
-d 512), and decode tok/s of 64 tokens after a --depth-token prompt (default 16,384; llama-bench
tg64 -d 16384). --repeat pairs of processes (--depth-repeat for the depth column), ours and then
llama-bench with one repetition, in turn: each figure is the median of its engine's runs and each
ratio the median of the pairs' ratios, so that a drift of the machine's speed during the run (other
tenants of a virtual machine) moves both sides of a pair alike. llama.cpp uses its default F16 key/value cache and flash attention "auto" (--kv
to change the cache type). Read bandwidth (tools/read_bandwidth.cpp) is measured in the same run.

    python3 tools/bench_llama.py                       # everything, about 20 minutes
    python3 tools/bench_llama.py --depth 0 --dtypes fp32 --threads 8 --repeat 1   # quick

Needs the gguf package and scikit-build-core (`pip install gguf==0.19.0 scikit-build-core`; the
latter lets pip read the source package's metadata), cmake and a C/C++ compiler, and the test
build of tools/test.sh (tessaline_testing and read_bandwidth in --build, default build/tests)."""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tarfile
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import modelgen  # noqa: E402
from bench import child_env, prompt_ids  # noqa: E402

LLAMA_CPP_PYTHON = "0.3.36"
MODEL = "moe32all"
CHECK_CHUNKS = (100, 1, 1, 1, 7)
CHECK_GREEDY = 64
MAX_POSITIONS = 32768  # room for the depth runs


def model_config():
    return dict(hidden_size=1024, num_hidden_layers=16, num_attention_heads=8,
                num_key_value_heads=2, head_dim=128, rope_theta=1e6,
                max_position_embeddings=MAX_POSITIONS, attention_type="hybrid",
                hybrid_ratio="3:1", hybrid_softmax_gated=True,
                gated_deltanet_config=modelgen.gdn(), vocab_size=32000, intermediate_size=3072,
                moe_config=modelgen.moe(intermediate_size=512, n_routed_experts=32,
                                        num_experts_per_tok=4, n_shared_experts=1,
                                        norm_topk_prob=True, n_dense_layer=None))


def run(cmd, **kw):
    res = subprocess.run(cmd, capture_output=True, text=True, **kw)
    if res.returncode != 0:
        raise SystemExit(f"failed: {' '.join(cmd)}\n{res.stdout[-2000:]}\n{res.stderr[-4000:]}")
    return res.stdout


# ---- llama.cpp: download, build ---------------------------------------------------------------

def build_llama(cache):
    """Paths of llama-bench and llama_logits, building them first if needed."""
    src = os.path.join(cache, f"src-{LLAMA_CPP_PYTHON}")
    build = os.path.join(cache, "llama.cpp", "build")
    tools = {"bench": os.path.join(build, "bin", "llama-bench"),
             "logits": os.path.join(build, "bin", "llama_logits")}
    if not os.path.isdir(src):
        sdist = os.path.join(cache, f"llama_cpp_python-{LLAMA_CPP_PYTHON}.tar.gz")
        if not os.path.exists(sdist):
            print(f"downloading the llama-cpp-python {LLAMA_CPP_PYTHON} source into {cache}",
                  flush=True)
            # --no-build-isolation: pip would otherwise build cmake from source just to read
            # the package's metadata; scikit-build-core (its build backend) must be importable.
            run([sys.executable, "-m", "pip", "download", f"llama-cpp-python=={LLAMA_CPP_PYTHON}",
                 "--no-binary", ":all:", "--no-deps", "--no-build-isolation", "-d", cache])
        with tempfile.TemporaryDirectory(dir=cache) as tmp:
            with tarfile.open(sdist) as tf:
                tf.extractall(tmp, filter="data")
            os.replace(os.path.join(tmp, f"llama_cpp_python-{LLAMA_CPP_PYTHON}"), src)
    llama = os.path.join(src, "vendor", "llama.cpp")
    if not os.path.exists(tools["bench"]):
        print(f"building llama.cpp (CPU, native, Release) in {build}", flush=True)
        run(["cmake", "-S", llama, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DGGML_NATIVE=ON",
             "-DBUILD_SHARED_LIBS=ON", "-DLLAMA_CURL=OFF", "-DLLAMA_OPENSSL=OFF",
             "-DLLAMA_BUILD_TESTS=OFF", "-DLLAMA_BUILD_EXAMPLES=OFF", "-DLLAMA_BUILD_SERVER=OFF"])
        run(["cmake", "--build", build, "-j", str(os.cpu_count()), "--target", "llama-bench",
             "llama"])
    source = os.path.join(HERE, "llama_logits.c")
    if (not os.path.exists(tools["logits"])
            or os.path.getmtime(tools["logits"]) < os.path.getmtime(source)):
        lib = os.path.join(build, "bin")
        run(["cc", "-O2", "-o", tools["logits"], source, "-I", os.path.join(llama, "include"),
             "-I", os.path.join(llama, "ggml", "include"), "-L", lib, "-lllama", "-lggml",
             "-lggml-base", f"-Wl,-rpath,{lib}"])
    return tools


# ---- the model ----------------------------------------------------------------------------------

def ensure_models(cfg, cache):
    """Our safetensors file and the two GGUF files written from it."""
    from safetensors.numpy import load_file
    import gguf_qwen3next

    st = os.path.join(ROOT, "demo", f"{MODEL}.safetensors")
    if not os.path.exists(st):
        os.makedirs(os.path.dirname(st), exist_ok=True)
        print(f"writing {st}", flush=True)
        modelgen.write_model(st + ".tmp", cfg, seed=5, tied=False)
        os.replace(st + ".tmp", st)
    ggufs = {dt: os.path.join(cache, "models", f"{MODEL}-{dt}.gguf") for dt in ("fp32", "fp16")}
    tensors = None
    for dt, path in ggufs.items():
        if os.path.exists(path) and os.path.getmtime(path) > os.path.getmtime(st):
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        print(f"writing {path}", flush=True)
        if tensors is None:
            tensors = load_file(st)
        gguf_qwen3next.write_gguf(path + ".tmp", cfg, tensors, f16=dt == "fp16")
        os.replace(path + ".tmp", path)
    return ggufs


# ---- children: one measurement each -------------------------------------------------------------

def child(args):
    cfg = model_config()
    out = {}
    if args.child == "tessaline":
        import tessaline
        prompt = prompt_ids(cfg, args.prompt)
        eng = tessaline.LlmEngine(args.path, cfg, dtype=args.dtypes[0])
        eng.generate(prompt[:16], 4, temperature=0.0)  # warm-up
        stream = eng.streaming_generate(prompt, args.decode + 1, temperature=0.0,
                                        eos_token_id=2**32 - 1)
        t = time.perf_counter()
        next(stream)
        out["prompt_s"] = time.perf_counter() - t
        t = time.perf_counter()
        n = len(list(stream))
        out["decode_s"] = time.perf_counter() - t
        assert n == args.decode
    elif args.child == "check":
        # The same calls and greedy continuation as tools/llama_logits.c.
        import numpy as np
        import tessaline_testing
        dt = {"fp16": "f16", "fp32": "f32"}[args.dtypes[0]]
        m = tessaline_testing.Model(args.path, modelgen.config_json(cfg), dt)
        ids = prompt_ids(cfg, sum(CHECK_CHUNKS))
        logits, off = [], 0
        for n in CHECK_CHUNKS:
            logits.append(np.array(m.forward(ids[off:off + n], off), dtype=np.float32))
            off += n
        np.save(args.out, np.stack(logits))
        greedy, last = [], logits[-1]
        for i in range(CHECK_GREEDY):
            greedy.append(int(np.argmax(last)))
            if i + 1 < CHECK_GREEDY:
                last = np.array(m.forward([greedy[-1]], off))
                off += 1
        out["greedy"] = greedy
    print(json.dumps(out))


def run_ours(kind, threads, dtype, args, prompt, extra=()):
    cmd = [sys.executable, os.path.abspath(__file__), "--child", kind, "--threads", str(threads),
           "--dtypes", dtype, "--prompt", str(prompt), "--decode", str(args.decode),
           "--depth", str(args.depth), "--build", args.build, *extra]
    out = run(cmd, env=child_env(threads, args.build), cwd=HERE)
    return json.loads(out.strip().splitlines()[-1])


def llama_bench(tools, gguf, threads, args, prompt, gen, depth, reps):
    """llama-bench's tok/s (median of its repetitions) for one test in one process."""
    cmd = [tools["bench"], "-m", gguf, "-t", str(threads), "-p", str(prompt), "-n", str(gen),
           "-d", str(depth), "-r", str(reps), "-ctk", args.kv, "-ctv", args.kv, "-o", "json"]
    res = json.loads(run(cmd, env=child_env(threads, args.build)))
    assert len(res) == 1, res
    if not args.llama_info:
        r = res[0]
        args.llama_info = (f"llama-bench build {r.get('build_commit')}, key/value cache "
                           f"{r.get('type_k')}/{r.get('type_v')}, flash attention "
                           f"{ {-1: 'auto', 0: 'off', 1: 'on'}.get(r.get('flash_attn'))}, "
                           f"n_batch {r.get('n_batch')}, n_ubatch {r.get('n_ubatch')}, "
                           f"load mode {r.get('load_mode')}")
    return statistics.median(res[0]["samples_ts"])


# ---- the check ----------------------------------------------------------------------------------

def check(tools, ggufs, cfg, args):
    import numpy as np
    ids = prompt_ids(cfg, sum(CHECK_CHUNKS))
    for dt in args.dtypes:
        with tempfile.TemporaryDirectory() as tmp:
            ours_npy = os.path.join(tmp, "ours.npy")
            ours = run_ours("check", 2, dt, args, 0, extra=("--out", ours_npy))
            a = np.load(ours_npy)
            results = {}
            for flash in ("off", "on"):
                out_bin = os.path.join(tmp, f"theirs-{flash}.bin")
                out = run([tools["logits"], ggufs[dt], "2", "f32" if dt == "fp32" else "f16",
                           flash, out_bin, ",".join(map(str, CHECK_CHUNKS)), str(CHECK_GREEDY)],
                          input=" ".join(map(str, ids)), env=child_env(2, args.build))
                b = np.fromfile(out_bin, dtype=np.float32).reshape(a.shape)
                diffs = [float(np.max(np.abs(x - y)) / np.max(np.abs(y))) for x, y in zip(a, b)]
                greedy = [int(t) for t in out.split()]
                same = next((i for i, (x, y) in enumerate(zip(ours["greedy"], greedy)) if x != y),
                            len(greedy))
                results[flash] = diffs, same
                print(f"  logits check {dt}, llama.cpp flash attention {flash}: "
                      f"max |llama.cpp - tessaline| / max |logit| per call "
                      f"{'/'.join(map(str, CHECK_CHUNKS))}: " + ", ".join(f"{d:.1e}" for d in diffs)
                      + f"; greedy ids agree on {same}/{CHECK_GREEDY}", flush=True)
        # The limits hold the mapping to the plain attention path; flash attention (used for the
        # timings) is reported only: llama.cpp's CPU version rounds through F16.
        diffs, same = results["off"]
        if dt == "fp32":
            bad = max(diffs) > 1e-4 or same < CHECK_GREEDY
        else:
            bad = statistics.median(diffs) > 1e-2
        if bad:
            raise SystemExit(f"llama.cpp and tessaline disagree in {dt}: the GGUF mapping (or an "
                             "engine) is wrong; not timing")


# ---- the table ----------------------------------------------------------------------------------

def read_bandwidth(threads, args):
    out = run([os.path.join(args.build, "read_bandwidth"), str(threads)])
    return float(out.strip())


def ratio(a, b, r, fmt):
    """Medians of ours and of llama.cpp, and the median of the pairs' ratios."""
    return f"{format(a, fmt)} / {format(b, fmt)} ({r:.2f}x)"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--child")
    ap.add_argument("--out")
    ap.add_argument("--threads", type=int, nargs="*")
    ap.add_argument("--dtypes", nargs="*", default=["fp32", "fp16"])
    ap.add_argument("--prompt", type=int, default=512)
    ap.add_argument("--decode", type=int, default=64)
    ap.add_argument("--depth", type=int, default=16384, help="decode depth of the last column; 0 skips it")
    ap.add_argument("--repeat", type=int, default=3, help="runs per figure (median)")
    ap.add_argument("--depth-repeat", type=int, default=3, help="runs per depth figure")
    ap.add_argument("--kv", default="f16", help="llama.cpp's key/value cache type when timing")
    ap.add_argument("--cache", default=os.path.join(os.path.expanduser("~"), ".cache",
                                                    "tessaline-bench"))
    ap.add_argument("--build", default=os.environ.get("TESSALINE_TEST_BUILD", "build/tests"))
    args = ap.parse_args()
    if not os.path.isabs(args.build):
        args.build = os.path.join(ROOT, args.build)
    cfg = model_config()
    args.llama_info = None
    args.path = os.path.join(ROOT, "demo", f"{MODEL}.safetensors")
    if args.child:
        return child(args)

    start = time.time()
    if args.depth + args.decode + 16 > MAX_POSITIONS:
        raise SystemExit(f"--depth must leave room for {args.decode} tokens in {MAX_POSITIONS}")
    if shutil.which("cmake") is None:
        raise SystemExit("cmake is needed to build llama.cpp")
    tools = build_llama(args.cache)
    ggufs = ensure_models(cfg, args.cache)
    ncpu = os.cpu_count()
    threads = args.threads or sorted({2, ncpu})
    load = os.getloadavg()
    print(f"{ncpu} CPUs; load average at start {load[0]:.1f} {load[1]:.1f} {load[2]:.1f}; "
          f"llama.cpp from llama-cpp-python {LLAMA_CPP_PYTHON} in {args.cache}; key/value cache "
          f"{args.kv}; medians of {args.repeat} runs ({args.depth_repeat} at depth {args.depth})",
          flush=True)
    check(tools, ggufs, cfg, args)

    bw = {th: statistics.median(read_bandwidth(th, args) for _ in range(args.repeat))
          for th in threads}
    print("read bandwidth: " + ", ".join(f"{bw[t]:.1f} GB/s at {t} threads" for t in threads),
          flush=True)
    rows = []
    for dt in args.dtypes:
        for th in threads:
            row = dict(dt=dt, th=th)
            # Ours and llama.cpp in turn, one process each, so that a drift of the machine's speed
            # (other tenants) moves both figures of a pair alike; ratios are taken pair by pair.
            pairs = {"prompt": [], "decode": [], "depth": []}
            for _ in range(args.repeat):
                ours = run_ours("tessaline", th, dt, args, args.prompt)
                pairs["prompt"].append((args.prompt / ours["prompt_s"],
                                        llama_bench(tools, ggufs[dt], th, args, prompt=args.prompt,
                                                    gen=0, depth=0, reps=1)))
                pairs["decode"].append((args.decode / ours["decode_s"],
                                        llama_bench(tools, ggufs[dt], th, args, prompt=0,
                                                    gen=args.decode, depth=args.prompt, reps=1)))
            for _ in range(args.depth_repeat if args.depth else 0):
                deep = run_ours("tessaline", th, dt, args, args.depth)
                pairs["depth"].append((args.decode / deep["decode_s"],
                                       llama_bench(tools, ggufs[dt], th, args, prompt=0,
                                                   gen=args.decode, depth=args.depth, reps=1)))
            for key, ps in pairs.items():
                if ps:
                    row[key] = (statistics.median(a for a, _ in ps),
                                statistics.median(b for _, b in ps),
                                statistics.median(a / b for a, b in ps))
            rows.append(row)
            load = os.getloadavg()
            print(f"  {dt} {th} threads: done at {(time.time() - start) / 60:.1f} min, load "
                  f"average {load[0]:.1f} {load[1]:.1f} {load[2]:.1f}", flush=True)

    depth_col = f" decode tok/s at depth {args.depth}: ours / llama.cpp |" if args.depth else ""
    print(f"\n| weights | threads | prompt tok/s: ours / llama.cpp | decode tok/s: ours / "
          f"llama.cpp |{depth_col} read bandwidth |")
    print("|---|---|---|---|" + ("---|" if args.depth else "") + "---|")
    for r in rows:
        depth = f" {ratio(*r['depth'], '.1f')} |" if args.depth else ""
        print(f"| {r['dt'].upper()} | {r['th']} | {ratio(*r['prompt'], '.0f')} | "
              f"{ratio(*r['decode'], '.1f')} |{depth} {bw[r['th']]:.1f} GB/s |")
    print(f"\n{args.llama_info}")
    load = os.getloadavg()
    print(f"load average at the end {load[0]:.1f} {load[1]:.1f} {load[2]:.1f}; "
          f"took {(time.time() - start) / 60:.1f} minutes")


if __name__ == "__main__":
    main()
