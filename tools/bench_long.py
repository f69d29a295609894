"""Long generation: a 1,024-token prompt then 4,096 streamed tokens on the demo model. Prints the
per-token time and resident memory at intervals, and the key/value cache's own size, so one can see
that time grows only by attention reading a longer cache and memory only by the cache itself."""
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import demo  # noqa: E402
import modelgen  # noqa: E402
import tessaline  # noqa: E402


def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def main(prompt_len=1024, new=4096, dtype="fp32"):
    cfg = demo.demo_config()
    path = os.path.join(HERE, "..", "demo", "model.safetensors")
    if not os.path.exists(path):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        modelgen.write_model(path, cfg, seed=1234)
    eng = tessaline.LlmEngine(path, cfg, dtype=dtype)
    d = modelgen.dims(cfg)
    attn_layers = sum(not modelgen.is_delta_layer(cfg, i) for i in range(cfg["num_hidden_layers"]))
    item = 2 if dtype == "fp16" else 4
    kv_per_token = attn_layers * 2 * d["Hkv"] * d["Dq"] * item
    prompt = [(i * 31) % cfg["vocab_size"] for i in range(prompt_len)]
    base = rss_mb()
    s = eng.streaming_generate(prompt, new, temperature=0.0, eos_token_id=2**32 - 1)
    t0 = time.perf_counter()
    next(s)
    print(f"prompt {prompt_len}: {time.perf_counter() - t0:.2f} s; rss before {base:.0f} MB")
    window, t = [], time.perf_counter()
    for i in range(1, new):
        next(s)
        now = time.perf_counter()
        window.append(now - t)
        t = now
        if (i + 1) % 512 == 0:
            cache_mb = (prompt_len + i) * kv_per_token / 2**20
            print(f"token {i + 1:5d}: {1e3 * sum(window) / len(window):6.2f} ms/token, rss "
                  f"{rss_mb() - base:7.1f} MB above start, kv cache {cache_mb:6.1f} MB")
            window = []


if __name__ == "__main__":
    main(dtype=sys.argv[1] if len(sys.argv) > 1 else "fp32")
