"""Resources over long runs and in every release order.

Live instances are counted exactly through the reference counts of the two classes (every
instance holds a reference to its class until it is freed); memory through the process's resident
size and the interpreter's count of allocated blocks. Memory measurements run in a child
interpreter (this file run as a script), away from whatever the rest of the suite allocated.

Under the sanitizer (tools/sanitize.sh) resident memory says nothing (freed blocks wait in
quarantine): there the children check for leaks with LeakSanitizer instead, and resident-memory
bounds are left to the plain build."""
from __future__ import annotations

import ctypes
import gc
import itertools
import json
import os
import random
import subprocess
import sys
import threading

import numpy as np
import pytest

import modelgen
import tessaline

PROMPT = [3, 1, 4, 1, 5, 9, 2, 6]
NO_EOS = 2**32 - 1
MiB = 1 << 20
SANITIZED = os.environ.get("TESSALINE_SANITIZED") == "1"  # set by tools/sanitize.sh


def live():
    """(engines, streamers) alive in this process, plus a constant per class."""
    return (sys.getrefcount(tessaline.LlmEngine), sys.getrefcount(tessaline.LlmStreamer))


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def loop_config(big=False):
    """A hybrid model with every cache kind and mixture-of-experts layers. `big` makes its
    weights (about 9 MiB) dominate anything else an engine allocates."""
    return modelgen.base_config(
        vocab_size=8192 if big else 2048, hidden_size=128 if big else 32,
        attention_type="hybrid", hybrid_ratio="1:1", num_hidden_layers=2,
        moe_config=modelgen.moe(n_shared_experts=1, n_dense_layer=1),
        max_position_embeddings=64)


def write(path, cfg):
    tensors = modelgen.random_weights(cfg, seed=3, tied=False)
    tensors["embed_tokens.weight"] *= np.float32(0.2)
    modelgen.write_model(path, cfg, tensors=tensors)


# --- child: long loops --------------------------------------------------------------------------

def generate_round(e, rng, vocab):
    """One generate call from a mix of settings and failures; returns its outcome kind."""
    prompt = [rng.randrange(vocab) for _ in range(rng.randint(1, 12))]
    kind = rng.randrange(10)
    try:
        if kind == 0:
            e.generate(prompt, 6, temperature=0)
        elif kind == 1:
            e.generate(prompt, rng.randint(0, 8), top_k=rng.choice([0, 5, 50]),
                       top_p=rng.choice([0.5, 1.0]), seed=rng.randrange(2**64))
        elif kind == 2:
            e.generate(prompt, 8, repetition_penalty=1.3, exclude_penalty_tokens=prompt[:3],
                       suppress_tokens=range(0, vocab, 7), eos_token_id=NO_EOS)
        elif kind == 3:
            e.generate(prompt, 8, temperature=0, eos_token_id=prompt[-1])
        elif kind == 4:
            e.generate(prompt + [vocab + 5], 3)  # forward pass fails at the embedding
        elif kind == 5:
            e.generate([], 2)  # empty prompt fails
        elif kind == 6:
            e.generate(prompt, 3, suppress_tokens=range(vocab))  # nothing left to sample
        elif kind == 7:
            e.generate(prompt, 3, seed=-1)  # conversion fails, engine untouched
        elif kind == 8:
            e.generate(list(range(70)), 2)  # longer than the positions
        else:
            e.clear_kv_cache()
        return "ok"
    except (RuntimeError, OverflowError, TypeError) as ex:
        return type(ex).__name__


def stream_round(e, rng, vocab):
    """One short stream: run out, abandoned part-way, or with a failing step retried."""
    prompt = [rng.randrange(vocab) for _ in range(rng.randint(1, 12))]
    kind = rng.randrange(5)
    s = e.streaming_generate(prompt, rng.randint(0, 5), temperature=rng.choice([0, 0.8]),
                             seed=rng.randrange(1000), eos_token_id=NO_EOS,
                             repetition_penalty=1.1, exclude_penalty_tokens=prompt)
    if kind == 0:
        list(s)
    elif kind == 1:
        for _ in zip(range(2), s):
            pass
    elif kind == 2:
        next(iter(s), None)
    elif kind == 3:
        bad = e.streaming_generate(prompt + [vocab], 3)
        for _ in range(3):
            try:
                next(bad)
            except RuntimeError:
                pass
    else:
        del s  # never stepped


def loops_main(folder, rounds):
    cfg = loop_config()
    path = os.path.join(folder, "loops.safetensors")
    write(path, cfg)
    e = tessaline.LlmEngine(path, cfg)
    vocab = cfg["vocab_size"]
    rng = random.Random(7)
    outcomes = {}

    def run(n):
        for _ in range(n):
            k = generate_round(e, rng, vocab)
            outcomes[k] = outcomes.get(k, 0) + 1
            stream_round(e, rng, vocab)
        gc.collect()
        return {"rss": rss(), "blocks": sys.getallocatedblocks(), "live": live()}

    marks = [run(200)]  # warm-up: buffers reach their working sizes
    for _ in range(2):
        marks.append(run(rounds))
    return {"marks": marks, "outcomes": outcomes}


# --- child: release orders and what they give back ----------------------------------------------

def release_main(folder, cycles):
    cfg = loop_config(big=True)
    path = os.path.join(folder, "big.safetensors")
    write(path, cfg)
    vocab = cfg["vocab_size"]
    rng = random.Random(3)
    weights = os.path.getsize(path)

    def cycle():
        names = {"engine": tessaline.LlmEngine(path, cfg)}
        e = names["engine"]
        names["fresh"] = e.streaming_generate(PROMPT, 4)
        names["mid"] = e.streaming_generate(PROMPT, 4)
        next(names["mid"])
        names["done"] = e.streaming_generate(PROMPT, 2)
        list(names["done"])
        names["failed"] = e.streaming_generate([vocab], 2)
        try:
            next(names["failed"])
        except RuntimeError:
            pass
        del e
        for key in rng.sample(sorted(names), len(names)):
            del names[key]

    gc.collect()
    base = rss()
    for _ in range(3):
        cycle()
    gc.collect()
    warm = rss()
    for _ in range(cycles):
        cycle()
    gc.collect()
    after = rss()
    # A streamer outliving every other reference to its engine: the engine's memory stays until
    # the streamer goes.
    s = tessaline.LlmEngine(path, cfg).streaming_generate(PROMPT, 3)
    held = rss()
    ids = list(s)
    del s
    gc.collect()
    released = rss()
    # A streamer released on another thread keeps its engine on purpose (a leak by design, so
    # not under the leak checker).
    kept = None
    if not SANITIZED:
        holder = [tessaline.LlmEngine(path, cfg).streaming_generate(PROMPT, 3)]
        sys.unraisablehook = lambda u: None
        t = threading.Thread(target=holder.clear)
        t.start()
        t.join()
        gc.collect()
        kept = rss()
    return {"base": base, "warm": warm, "after": after, "held": held, "released": released,
            "kept": kept, "weights": weights, "ids": ids, "live": live()}


# --- child: failed constructions ----------------------------------------------------------------

def failures_main(folder, rounds):
    cfg = loop_config()
    path = os.path.join(folder, "fail.safetensors")
    write(path, cfg)
    # A missing file, a tensor of the wrong shape met after the embedding table has been loaded,
    # and two configuration errors.
    cases = [(path + ".missing", cfg), (path, dict(cfg, head_dim=4)), (path, {"vocab_size": 1}),
             (path, dict(cfg, moe_config={}))]

    def fail(n):
        refused = 0
        for _ in range(n):
            for args in cases:
                try:
                    tessaline.LlmEngine(*args)
                except Exception:  # noqa: BLE001 - each case fails in its own way
                    refused += 1
        gc.collect()
        return refused

    fail(20)
    base, before = rss(), live()
    refused = fail(rounds)
    return {"refused": refused, "grew": rss() - base, "live": [before, live()],
            "table": cfg["vocab_size"] * cfg["hidden_size"] * 4}


# --- child: what a reset gives back -------------------------------------------------------------

def reset_config():
    """Two attention layers whose cache dominates what a long prompt leaves behind, and two
    delta-rule layers with their states."""
    return modelgen.base_config(
        vocab_size=256, hidden_size=64, intermediate_size=64, num_hidden_layers=4,
        num_attention_heads=4, num_key_value_heads=4, head_dim=128, attention_type="hybrid",
        hybrid_ratio="1:1", max_position_embeddings=2048)


def reset_main(folder, tokens):
    cfg = reset_config()
    path = os.path.join(folder, "reset.safetensors")
    write(path, cfg)
    e = tessaline.LlmEngine(path, cfg)
    long_prompt = [i % cfg["vocab_size"] for i in range(tokens)]
    # Once through first: threads started, the matrix library's own buffers touched. The base
    # holds a short run's cache.
    e.generate(long_prompt, 2, temperature=0)
    e.generate(PROMPT, 4, temperature=0)
    gc.collect()
    base = rss()
    e.generate(long_prompt, 2, temperature=0)
    held = rss()
    e.generate(PROMPT, 4, temperature=0)  # its own reset gives the long run's memory back
    restarted = rss()
    e.generate(long_prompt, 2, temperature=0)
    e.clear_kv_cache()
    gc.collect()
    return {"base": base, "held": held, "restarted": restarted, "cleared": rss()}


def run_child(args, timeout=120):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(tessaline.__file__), env.get("PYTHONPATH", "")])
    # Large blocks come straight from the system and go straight back, so resident memory
    # follows what the engines hold.
    env.update(MALLOC_MMAP_THRESHOLD_="65536", MALLOC_TRIM_THRESHOLD_="131072")
    if SANITIZED:
        # Every Python object from the system allocator, so LeakSanitizer sees what refers to
        # what; the child runs the check itself once all it made is released (see __main__).
        env.update(PYTHONMALLOC="malloc", ASAN_OPTIONS=env.get("ASAN_OPTIONS", "") +
                   ":detect_leaks=1:leak_check_at_exit=0")
    r = subprocess.run([sys.executable, os.path.abspath(__file__), *map(str, args)], env=env,
                       capture_output=True, text=True, timeout=timeout)
    assert r.returncode == 0, (r.returncode, r.stderr[-3000:])
    out = json.loads(r.stdout.strip().splitlines()[-1])
    assert out["leaks"] == 0, r.stderr[-3000:]
    return out


def test_thousand_generates_and_streams_keep_memory_stable(tmp_path):
    rounds = 100 if SANITIZED else 1000
    out = run_child(["loops", tmp_path, rounds])
    warm, first, second = out["marks"]
    # Every kind of outcome was exercised, failures included.
    assert set(out["outcomes"]) == {"ok", "RuntimeError", "OverflowError"}, out["outcomes"]
    assert min(out["outcomes"].values()) >= rounds // 10, out["outcomes"]
    assert warm["live"] == first["live"] == second["live"]
    if SANITIZED:
        return
    # A thousand rounds of each, twice: no growth beyond allocator noise. One leaked logits
    # vector per call would be 8 KiB x 1000; one leaked cache per stream far more.
    assert first["rss"] - warm["rss"] < 2 * MiB, out["marks"]
    assert second["rss"] - first["rss"] < 512 << 10, out["marks"]
    # No Python object is kept either: result lists, ids, exceptions, streamers.
    assert abs(second["blocks"] - warm["blocks"]) < 200, out["marks"]


def test_engines_and_streamers_released_in_any_order_give_memory_back(tmp_path):
    out = run_child(["release", tmp_path, 10 if SANITIZED else 30])
    assert len(out["ids"]) == 3
    if SANITIZED:
        return
    w = out["weights"]
    assert w > 8 * MiB
    # Thirty engines with four streamers each, released in shuffled orders: nothing stays.
    assert out["after"] - out["warm"] < w // 4, out
    assert out["warm"] - out["base"] < w // 2, out
    # The streamer kept its engine (and its weights) alive, and gave both back.
    assert out["held"] - out["after"] > w // 2, out
    assert out["held"] - out["released"] > w // 2, out
    # Dropped on another thread, a streamer keeps its engine and the weights stay.
    assert out["kept"] - out["released"] > w // 2, out


def test_failed_constructions_release_everything_and_make_no_engine(tmp_path):
    rounds = 200
    out = run_child(["failures", tmp_path, rounds])
    assert out["refused"] == 4 * rounds
    before, after = out["live"]
    assert before == after
    if SANITIZED:
        return
    # Keeping the embedding table (or the mapped file) of each load that fails part-way would
    # add 200 x 256 KiB = 50 MiB; allocator noise stays far below a tenth of that.
    assert out["table"] >= 256 << 10
    assert out["grew"] < rounds * out["table"] // 10, out


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator keeps freed memory in quarantine")
def test_reset_gives_back_cache_and_long_prompt_buffers(tmp_path):
    tokens = 1500  # beyond the 512 tokens whose working buffers stay allocated between calls
    out = run_child(["reset", tmp_path, tokens])
    cfg = reset_config()
    # Keys and values of the two attention layers in F32 after the prompt and one more token.
    cache = 2 * 2 * (tokens + 1) * cfg["num_key_value_heads"] * cfg["head_dim"] * 4
    assert out["held"] - out["base"] > cache * 3 // 4, out  # the measurement sees the cache
    # After the reset that starts generate, and after clear_kv_cache, the cache and the long
    # prompt's working buffers are gone: what stays is far below the cache alone.
    assert out["restarted"] - out["base"] < cache // 4, out
    assert out["cleared"] - out["base"] < cache // 4, out


# --- in process: exact live counts --------------------------------------------------------------

@pytest.fixture(scope="module")
def model(tmp_path_factory):
    cfg = loop_config()
    path = str(tmp_path_factory.mktemp("res") / "m.safetensors")
    write(path, cfg)
    return path, cfg


STATES = ["fresh", "mid", "done", "failed", "cycle"]


def make_streamers(e, vocab):
    made = {"fresh": e.streaming_generate(PROMPT, 4)}
    made["mid"] = e.streaming_generate(PROMPT, 4)
    next(made["mid"])
    made["done"] = e.streaming_generate(PROMPT, 2)
    list(made["done"])
    made["failed"] = e.streaming_generate([vocab], 2)
    with pytest.raises(RuntimeError):
        next(made["failed"])
    box = [e.streaming_generate(PROMPT, 1)]
    box.append(box)  # a reference cycle through a list: freed by the collector
    made["cycle"] = box
    return made


def test_every_release_order_frees_engine_and_streamers(model):
    """Every order of releasing an engine and five streamers in different states: the engine
    lives exactly as long as its last holder, and everything is freed at the end."""
    path, cfg = model
    gc.collect()
    e0, s0 = live()
    orders = list(itertools.permutations(["engine"] + STATES))
    for order in orders[::7]:  # 103 of the 720 orders, the engine in every position
        names = {"engine": tessaline.LlmEngine(path, cfg)}
        names.update(make_streamers(names["engine"], cfg["vocab_size"]))
        assert live() == (e0 + 1, s0 + 5)
        for key in order:
            del names[key]
            if key == "cycle":
                gc.collect()
            streamers = len(names) - ("engine" in names)
            assert live() == (e0 + (1 if names else 0), s0 + streamers), (order, key)
    assert live() == (e0, s0)


def test_streamer_outliving_its_engine_reference_keeps_working(model):
    """A streamer whose engine has no other reference left: the engine stays alive and intact
    while the streamer runs, and is freed with it."""
    path, cfg = model
    expected = tessaline.LlmEngine(path, cfg).generate(PROMPT, 6, seed=4, eos_token_id=NO_EOS)
    gc.collect()
    e0, s0 = live()
    s = tessaline.LlmEngine(path, cfg).streaming_generate(PROMPT, 6, seed=4, eos_token_id=NO_EOS)
    gc.collect()
    assert live() == (e0 + 1, s0 + 1)
    got = [next(s) for _ in range(3)]
    gc.collect()
    got += list(s)
    assert got == expected
    del s
    assert live() == (e0, s0)


if __name__ == "__main__":
    mode, folder, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
    result = {"loops": loops_main, "release": release_main, "failures": failures_main,
              "reset": reset_main}[mode](
        folder, n)
    # Checked here, with everything the run made released: objects that only a running
    # function's local variables refer to would look unreachable to the leak checker.
    gc.collect()
    result["leaks"] = ctypes.CDLL(None).__lsan_do_recoverable_leak_check() if SANITIZED else 0
    print(json.dumps(result))
