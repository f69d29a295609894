"""Python threads on the module's objects.

Threads sharing one engine get results or the busy-engine errors, never anything else, and never
a result another thread's call has disturbed; engines in different threads are independent; a
streamer refuses every thread but its creator and reports being dropped on another one.

Conversion hooks that sleep(0) hand the interpreter lock to other threads while a call holds its
engine, so the conflicts happen on every run rather than by chance."""
from __future__ import annotations

import gc
import json
import os
import random
import re
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import modelgen
import tessaline

PROMPT = [3, 1, 4, 1, 5, 9, 2, 6]
NO_EOS = 2**32 - 1
BORROWED = "Already borrowed"
BORROWED_MUT = "Already borrowed: PyBorrowMutError"
FOREIGN = re.compile(
    r"^assertion `left == right` failed: tessaline::LlmStreamer is unsendable, but sent to "
    r"another thread\n  left: (.+)\n right: (.+)$")
DROPPED = "tessaline::LlmStreamer is unsendable, but is being dropped on another thread"
SETTINGS = [dict(temperature=0), dict(temperature=0.8, top_k=10, seed=3),
            dict(temperature=1.2, top_p=0.9, repetition_penalty=1.2, seed=77)]


class Yield:
    """An integer whose conversion lets other threads run first."""
    def __init__(self, v):
        self.v = v

    def __index__(self):
        time.sleep(0)
        return self.v


def live_streamers():
    """Streamer objects alive, plus a constant: each holds a reference to its class."""
    return sys.getrefcount(tessaline.LlmStreamer)


@pytest.fixture(autouse=True)
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(old)


def run_threads(targets):
    """Starts one thread per target together; returns their results; re-raises the first
    exception a thread ended with."""
    barrier = threading.Barrier(len(targets))
    results = [None] * len(targets)
    errors = []

    def wrap(i, fn):
        barrier.wait()
        try:
            results[i] = fn()
        except BaseException as e:  # noqa: BLE001 - handed to the main thread
            errors.append(e)

    threads = [threading.Thread(target=wrap, args=(i, fn)) for i, fn in enumerate(targets)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
        assert not t.is_alive()
    if errors:
        raise errors[0]
    return results


CONFIGS = {
    "plain": {},
    "hybrid_moe": dict(attention_type="hybrid", hybrid_ratio="1:1", num_hidden_layers=3,
                       moe_config=modelgen.moe(n_shared_experts=1, n_dense_layer=1)),
    "gated": dict(attention_type="hybrid", hybrid_ratio="1:1", hybrid_softmax_gated=True,
                  gated_deltanet_config=modelgen.gdn(conv_bias=True), use_qk_norm=False),
}


def solo(e, prompt=PROMPT, n=8):
    """What an engine gives alone: generate under every setting, and one stream."""
    out = [e.generate(prompt, n, eos_token_id=NO_EOS, **s) for s in SETTINGS]
    out.append(list(e.streaming_generate(prompt, n, eos_token_id=NO_EOS, **SETTINGS[1])))
    return out


def test_threads_sharing_one_engine(make_engine):
    """Six threads call generate (holding the engine across a hook that yields), clear the
    caches and run streamers on one engine. Every generate result is exact or refused as busy;
    streamers see only the busy-engine text or forward errors of caches reset under them."""
    engine, cfg = make_engine(**CONFIGS["hybrid_moe"])
    vocab = cfg["vocab_size"]
    expected = [engine.generate(PROMPT, 6, eos_token_id=NO_EOS, **s) for s in SETTINGS]
    final = solo(engine)

    def worker(seed):
        rng = random.Random(seed)
        seen = {}

        def note(key):
            seen[key] = seen.get(key, 0) + 1

        streamers = []
        for _ in range(120):
            op = rng.randrange(5)
            try:
                if op <= 1:
                    i = rng.randrange(len(SETTINGS))
                    n = Yield(6) if op == 0 else 6
                    got = engine.generate(PROMPT, n, eos_token_id=NO_EOS, **SETTINGS[i])
                    assert got == expected[i], (got, expected[i])
                    note("generate ok")
                elif op == 2:
                    assert engine.clear_kv_cache() is None
                    note("clear ok")
                elif op == 3:
                    streamers.append(engine.streaming_generate(PROMPT, Yield(4), temperature=0))
                    note("streaming ok")
                elif streamers:
                    s = rng.choice(streamers)
                    t = next(s)
                    assert type(t) is int and 0 <= t < vocab
                    note("next ok")
            except StopIteration:
                note("next end")
            except RuntimeError as e:
                text = str(e)
                if op <= 2:
                    assert text == BORROWED, text
                elif op == 3:
                    assert text == BORROWED_MUT, text
                else:
                    # A step meets the engine busy, or runs on caches another thread reset.
                    assert text == BORROWED_MUT or not text.startswith(
                        ("Already", "assertion")), text
                note(f"{['generate', 'generate', 'clear', 'streaming', 'next'][op]} {text[:20]}")
        return seen

    counts = {}
    for seen in run_threads([lambda s=s: worker(s) for s in range(6)]):
        for k, v in seen.items():
            counts[k] = counts.get(k, 0) + v
    # Both outcomes really happened: exact results and refusals.
    assert counts.get("generate ok", 0) > 20, counts
    assert counts.get(f"generate {BORROWED}", 0) > 0, counts
    assert counts.get("next ok", 0) > 0, counts
    # Nothing the threads did left a mark on the engine.
    assert solo(engine) == final


def test_engines_in_threads_match_their_solo_runs(make_engine):
    """One engine per thread, each of another kind (an F16 one among them): every result in
    the threads equals what the engine gives alone, and no call is ever refused."""
    engines = [make_engine(**cfg)[0] for cfg in CONFIGS.values()]
    engines.append(make_engine(dtype="fp16", seed=1, **CONFIGS["hybrid_moe"])[0])
    alone = [solo(e) for e in engines]
    assert len({repr(a) for a in alone}) == len(engines)  # the models really differ

    def worker(e, want):
        for _ in range(15):
            got = [e.generate(PROMPT, Yield(8), eos_token_id=NO_EOS, **s) for s in SETTINGS]
            got.append(list(e.streaming_generate(PROMPT, Yield(8), eos_token_id=NO_EOS,
                                                 **SETTINGS[1])))
            assert got == want
        return True

    assert all(run_threads([lambda e=e, w=w: worker(e, w) for e, w in zip(engines, alone)]))


def test_constructions_in_threads(write_model):
    """Engines built at the same time in several threads, their configuration objects yielding
    the interpreter lock while read, load the same model."""
    cfg = modelgen.base_config(**CONFIGS["hybrid_moe"])
    path = write_model(cfg)
    want = solo(tessaline.LlmEngine(path, cfg))

    class SlowMoe:
        def __getattr__(self, name):
            time.sleep(0)
            return getattr(cfg["moe_config"], name)

    slow = dict(cfg, moe_config=SlowMoe(), num_hidden_layers=Yield(cfg["num_hidden_layers"]))
    engines = run_threads([lambda: tessaline.LlmEngine(path, slow) for _ in range(6)])
    assert len({id(e) for e in engines}) == 6
    assert all(solo(e) == want for e in engines)


@pytest.fixture
def unraisable(monkeypatch):
    seen = []
    lock = threading.Lock()

    def hook(u):
        with lock:
            seen.append((u.exc_type, str(u.exc_value), u.object))
    monkeypatch.setattr(sys, "unraisablehook", hook)
    return seen


def test_streamer_refuses_other_threads(engine):
    """Eight threads hammering on one streamer all get the unsendable error, each with its own
    identity against the creator's; the creator's run is untouched."""
    want = engine.generate(PROMPT, 6, temperature=0.7, seed=2)
    s = engine.streaming_generate(PROMPT, 6, temperature=0.7, seed=2)

    def worker():
        ids = set()
        for i in range(20):
            with pytest.raises(RuntimeError) as ei:
                next(s) if i % 2 else iter(s)
            m = FOREIGN.match(str(ei.value))
            assert m, str(ei.value)
            ids.add(m.groups())
        assert len(ids) == 1
        return ids.pop()

    pairs = run_threads([worker] * 8)
    assert len({left for left, _ in pairs}) == 8  # identities are per thread
    assert len({right for _, right in pairs}) == 1
    assert pairs[0][0] != pairs[0][1]
    assert list(s) == want


def test_streamer_made_on_a_worker_refuses_the_main_thread(engine, unraisable):
    made = run_threads([lambda: engine.streaming_generate(PROMPT, 3, temperature=0)])[0]
    with pytest.raises(RuntimeError, match="unsendable, but sent to another thread"):
        next(made)
    # Giving it back to a (new) worker does not help either: the creator has ended.
    got = []
    with pytest.raises(RuntimeError, match="unsendable, but sent to another thread"):
        run_threads([lambda: got.append(next(made))])
    assert got == []
    assert unraisable == []
    del made
    gc.collect()
    assert unraisable == [(RuntimeError, DROPPED, None)]


def test_streamer_made_on_a_worker_is_usable_there(engine):
    got = run_threads([lambda: list(engine.streaming_generate([1], 2, temperature=0))])[0]
    assert got == engine.generate([1], 2, temperature=0)


def test_foreign_release_during_exception_keeps_that_exception(engine, unraisable):
    holder = [engine.streaming_generate([1], 1)]

    def drop_while_raising():
        try:
            raise KeyError("in flight")
        finally:
            holder.clear()
    with pytest.raises(KeyError, match="in flight"):
        run_threads([drop_while_raising])
    assert unraisable == [(RuntimeError, DROPPED, None)]


def test_streamers_dropped_on_other_threads(engine, unraisable):
    """Eight streamers released at once on eight other threads: each is reported through the
    unraisable hook, its object is freed, and the reference it held keeps the engine alive."""
    gc.collect()
    before = sys.getrefcount(engine)
    streamers_before = live_streamers()
    holders = []
    for i in range(8):
        holders.append([engine.streaming_generate(PROMPT, 3, seed=i)])
        if i % 2:
            next(holders[-1][0])  # some stepped, some not
    run_threads([h.clear for h in holders])
    gc.collect()
    assert unraisable == [(RuntimeError, DROPPED, None)] * 8
    assert live_streamers() == streamers_before
    assert sys.getrefcount(engine) == before + 8
    assert engine.generate(PROMPT, 4, temperature=0) == engine.generate(PROMPT, 4, temperature=0)


def test_unraisable_hook_may_use_the_engine(engine, monkeypatch):
    """The report runs Python code inside the release; that code may use the same engine."""
    got = []
    monkeypatch.setattr(sys, "unraisablehook",
                        lambda u: got.append(engine.generate(PROMPT, 3, temperature=0)))
    holder = [engine.streaming_generate(PROMPT, 3)]
    run_threads([holder.clear])
    assert got == [engine.generate(PROMPT, 3, temperature=0)]


# --- interpreter exit with daemon threads inside calls --------------------------------------------

def daemon_exit_main(path, cfg_json, delay):
    """Child: daemon threads busy in calls whose conversion hooks wait for the interpreter lock,
    while the main thread exits. The interpreter ends such threads where they wait, unwinding
    them through the module's frames without the lock."""
    cfg = json.loads(cfg_json)
    shared = tessaline.LlmEngine(path, cfg)
    slow_cfg = dict(cfg, num_hidden_layers=Yield(cfg["num_hidden_layers"]))
    kept = []

    def work():
        own = tessaline.LlmEngine(path, cfg)
        kept.append(own.streaming_generate([1, 2], 3))  # released on the main thread at exit
        while True:
            for call in (lambda: shared.generate([Yield(1), Yield(2)], Yield(2)),
                         lambda: own.generate(list(map(Yield, PROMPT)), 2, seed=Yield(1)),
                         lambda: list(shared.streaming_generate([Yield(1)], Yield(2))),
                         lambda: tessaline.LlmEngine(path, slow_cfg)):
                try:
                    call()
                except RuntimeError:
                    pass  # the shared engine is busy

    for _ in range(6):
        threading.Thread(target=work, daemon=True).start()
    time.sleep(delay)


@pytest.mark.skipif(os.environ.get("TESSALINE_SANITIZED") == "1",  # set by tools/sanitize.sh
                    reason="the address sanitizer's runtime fails an internal check when the "
                           "interpreter ends a thread by unwinding it")
def test_interpreter_exit_with_daemon_threads_in_calls(write_model):
    """Each exit ends the daemon threads at a random point of their calls; none may crash the
    process (a reference released without the lock during that unwinding used to)."""
    cfg = modelgen.base_config()
    path = write_model(cfg)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(tessaline.__file__), env.get("PYTHONPATH", "")])
    children = [subprocess.Popen([sys.executable, os.path.abspath(__file__), path,
                                  json.dumps(cfg), str(0.01 * (1 + i % 10))],
                                 env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 text=True) for i in range(12)]
    for c in children:
        _, err = c.communicate(timeout=120)
        assert c.returncode == 0, (c.returncode, err[-2000:])
        assert "Fatal Python error" not in err, err[-2000:]


# --- fork ----------------------------------------------------------------------------------------

def native_threads():
    return len(os.listdir("/proc/self/task")) if os.path.isdir("/proc/self/task") else None


def fork_main(path, cfg_json):
    """Child (4 pool threads): generates, so the pool's workers are running, then forks with
    multiprocessing's fork start method; the forked process makes the same requests. Prints what
    both got as JSON."""
    import multiprocessing
    import queue

    engine = tessaline.LlmEngine(path, json.loads(cfg_json))
    prompt = list(range(1, 25))  # long enough that the products split over the pool

    def requests():
        return [engine.generate(prompt, 10, eos_token_id=NO_EOS, **s) for s in SETTINGS]

    out = {"parent": requests(), "parent_threads": native_threads()}
    ctx = multiprocessing.get_context("fork")
    results = ctx.Queue()
    child = ctx.Process(target=lambda: results.put((requests(), native_threads())))
    child.start()
    try:
        out["child"], out["child_threads"] = results.get(timeout=60)
    except queue.Empty:
        out["child"] = "no answer in 60 s"
    child.join(10)
    if child.is_alive():
        child.kill()
    print(json.dumps(out))


def test_forked_child_generates_like_its_parent(write_model):
    """A process forked after the pool's workers ran (they do not exist in the child) neither
    hangs nor differs: its first parallel region starts a new pool of the same size."""
    cfg = modelgen.base_config(vocab_size=2048, hidden_size=128, intermediate_size=256,
                               head_dim=32, max_position_embeddings=256)
    path = write_model(cfg)
    env = dict(os.environ, RAYON_NUM_THREADS="4")
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(tessaline.__file__), env.get("PYTHONPATH", "")])
    r = subprocess.run([sys.executable, os.path.abspath(__file__), "fork", path, json.dumps(cfg)],
                       env=env, capture_output=True, text=True, timeout=180)
    assert r.returncode == 0, r.stderr[-2000:]
    out = json.loads(r.stdout.strip().splitlines()[-1])
    assert out["child"] == out["parent"], out
    pool = min(4, os.cpu_count() or 1)  # the pool never outnumbers the online processors
    if out["parent_threads"] is not None:  # the caller and its workers, on each side of the fork
        assert out["parent_threads"] >= pool and out["child_threads"] >= pool, out


# --- pool size -----------------------------------------------------------------------------------

# Every kind of split at once: a delta-rule layer and a softmax layer whose decode step reads a
# cache of a few hundred positions over 8 heads (partial sums over positions), experts with tens
# of rows each (sgemm products cut into pieces) plus a shared one, and the products with hundreds of
# rows of the prompt (sgemm tiles).
POOL_CONFIG = dict(vocab_size=512, hidden_size=128, intermediate_size=256, num_attention_heads=8,
                   num_key_value_heads=2, head_dim=32, max_position_embeddings=1024,
                   attention_type="hybrid", hybrid_ratio="1:1",
                   moe_config=modelgen.moe(intermediate_size=256, n_routed_experts=8,
                                           num_experts_per_tok=2, n_shared_experts=1))


def pool_main(path, cfg_json):
    """Child: the prompt's and then six single tokens' logits, F32 and F16, as digests of their
    bytes, and the greedy ids of generate."""
    import hashlib
    import tessaline_testing

    rng = np.random.default_rng(11)
    vocab = json.loads(cfg_json)["vocab_size"]
    out = {}
    for dtype in ("f32", "f16"):
        model = tessaline_testing.Model(path, cfg_json, dtype)
        for n in (40, 300):
            prompt = rng.integers(0, vocab, n).tolist()
            digest = hashlib.sha256()
            logits = np.asarray(model.forward(prompt, 0), dtype=np.float32)
            for step in range(6):
                digest.update(logits.tobytes())
                logits = np.asarray(model.forward([int(np.argmax(logits))], n + step),
                                    dtype=np.float32)
            model.reset()
            out[f"{dtype} {n}"] = digest.hexdigest()
    engine = tessaline.LlmEngine(path, json.loads(cfg_json) | {
        "moe_config": modelgen.moe(**json.loads(cfg_json)["moe_config"])}, "fp16")
    out["ids"] = engine.generate(list(range(1, 301)), 12, temperature=0, eos_token_id=NO_EOS)
    print(json.dumps(out))


def run_child(args, threads, timeout=300, limit=None):
    """This file as a script in a child interpreter with `threads` as the pool size (and an
    address-space limit from its start, when given); returns its last line of output."""
    import resource

    import tessaline_testing

    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    env.pop("OMP_NUM_THREADS", None)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(tessaline.__file__), os.path.dirname(tessaline_testing.__file__),
         env.get("PYTHONPATH", "")])
    pre = None
    if limit is not None:
        pre = lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))
    r = subprocess.run([sys.executable, os.path.abspath(__file__), *args], env=env,
                       capture_output=True, text=True, timeout=timeout, preexec_fn=pre)
    assert r.returncode == 0, (threads, r.returncode, r.stderr[-2000:])
    return r.stdout.strip().splitlines()[-1]


def test_same_bits_at_every_pool_size(write_model):
    """Logits bytes and ids do not depend on the pool size (fixed per process, so one child per
    size): no split whose pieces round differently may follow the thread count."""
    cfg = modelgen.base_config(**POOL_CONFIG)
    path = write_model(cfg)
    results = {t: json.loads(run_child(["pool", path, modelgen.config_json(cfg)], t))
               for t in (1, 2, 3, 5, 8, 64)}
    for t, got in results.items():
        assert got == results[1], (t, got, results[1])


# A product with thousands of rows and a wide MLP: about a thousand sgemm tiles a prompt.
WIDE_CONFIG = dict(vocab_size=256, hidden_size=64, intermediate_size=8192, num_hidden_layers=1,
                   num_attention_heads=1, num_key_value_heads=1, head_dim=16,
                   attention_type="hybrid", hybrid_ratio="1:0", max_position_embeddings=8192)


def wide_main(path, cfg_json, n, limit):
    """Child: greedy ids after an n-token prompt, with an address-space limit set after the
    engine is made when `limit` (bytes) is not 0."""
    import resource

    engine = tessaline.LlmEngine(path, json.loads(cfg_json))
    if int(limit):
        resource.setrlimit(resource.RLIMIT_AS, (int(limit), resource.RLIM_INFINITY))
    print(json.dumps(engine.generate([i % 256 for i in range(int(n))], 4, temperature=0,
                                     eos_token_id=NO_EOS)))


@pytest.mark.skipif(os.environ.get("TESSALINE_SANITIZED") == "1",  # set by tools/sanitize.sh
                    reason="the sanitizer reserves its address space up front: no limit can apply")
@pytest.mark.parametrize("n, threads, limit, from_start", [
    (8192, 4096, 0, False),           # crashed OpenBLAS: more callers than its buffers
    (8192, 100000, 0, False),
    (600, 100000, 3 << 30, False),   # thousands of thread stacks under 3 GiB
    (600, 100000, 3 << 30, True),
])
def test_huge_pool_sizes_run_like_a_small_pool(write_model, n, threads, limit, from_start):
    """Pool sizes far beyond the machine, with and without an address-space limit (set after
    the engine is made, or from the process's start), give the ids of a pool of 2, never a crash,
    an abort or a hang."""
    cfg = modelgen.base_config(**WIDE_CONFIG)
    path = write_model(cfg)
    args = ["wide", path, modelgen.config_json(cfg), str(n)]
    want = run_child(args + ["0"], 2)
    got = run_child(args + ["0" if from_start else str(limit)], threads, timeout=120,
                    limit=limit if from_start else None)
    assert got == want


if __name__ == "__main__":
    if sys.argv[1] == "fork":
        fork_main(sys.argv[2], sys.argv[3])
    elif sys.argv[1] == "pool":
        pool_main(sys.argv[2], sys.argv[3])
    elif sys.argv[1] == "wide":
        wide_main(*sys.argv[2:6])
    else:
        daemon_exit_main(sys.argv[1], sys.argv[2], float(sys.argv[3]))
