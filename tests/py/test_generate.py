"""Whole-sequence generation, cache reset and streaming: agreement between the two paths, the
end-of-sequence rule, seeds, shared caches and failed steps."""
from __future__ import annotations

import os
import threading

import pytest

import modelgen
import tessaline

CONFIGS = {
    "softmax": {},
    "hybrid": dict(attention_type="hybrid", hybrid_ratio="3:1", num_hidden_layers=4),
    "moe": dict(moe_config=modelgen.moe(n_shared_experts=1, n_dense_layer=1),
                attention_type="hybrid", hybrid_ratio="1:1", num_hidden_layers=3),
    "gated": dict(attention_type="hybrid", hybrid_ratio="1:1", hybrid_softmax_gated=True,
                  gated_deltanet_config=modelgen.gdn(conv_bias=True), use_qk_norm=False),
}
PROMPT = [3, 1, 4, 1, 5, 9, 2, 6]
EMPTY_TEXT = "cannot reshape tensor of 0 elements to (1, 1, 0, ())"
NO_ORDER = "called `Option::unwrap()` on a `None` value"
NO_EOS = 2**32 - 1  # an end-of-sequence id no model here produces
SANITIZED = os.environ.get("TESSALINE_SANITIZED") == "1"  # set by tools/sanitize.sh


@pytest.fixture(params=list(CONFIGS))
def any_engine(request, make_engine):
    return make_engine(**CONFIGS[request.param])[0]


SETTINGS = [
    dict(temperature=0),
    dict(temperature=-1.0, repetition_penalty=1.3),
    dict(),  # the defaults sample at temperature 1.0 with seed 42
    dict(temperature=0.7, top_k=5, seed=7),
    dict(temperature=1.3, top_p=0.8, repetition_penalty=1.2, exclude_penalty_tokens=[1, 2],
         suppress_tokens=[0, 3, 4], seed=123),
    dict(temperature=2.0, top_k=3, top_p=0.5, seed=2**64 - 1),
]


@pytest.mark.parametrize("settings", SETTINGS)
def test_streaming_equals_generate(any_engine, settings):
    expected = any_engine.generate(PROMPT, 12, **settings)
    assert len(expected) == 12 or expected[-1] == settings.get("eos_token_id", 2)
    assert all(type(i) is int for i in expected)
    assert list(any_engine.streaming_generate(PROMPT, 12, **settings)) == expected
    # Equal arguments give equal lists, whatever ran in between.
    any_engine.generate([7, 7], 3, temperature=0.5, seed=1)
    assert any_engine.generate(PROMPT, 12, **settings) == expected


def test_calls_are_independent_of_earlier_state(engine):
    expected = engine.generate(PROMPT, 8, seed=5)
    s = engine.streaming_generate([9, 9, 9], 5, seed=3)
    next(s)
    assert engine.generate(PROMPT, 8, seed=5) == expected
    engine.clear_kv_cache()
    assert engine.generate(PROMPT, 8, seed=5) == expected


def test_greedy_ignores_the_seed_and_nonpositive_temperatures_agree(engine):
    runs = [engine.generate(PROMPT, 8, temperature=t, seed=s)
            for t in (0, 0.0, -0.5, float("nan"), float("-inf")) for s in (0, 42)]
    assert all(r == runs[0] for r in runs)
    # top_k 1 keeps only the most probable id, so any seed gives the greedy run.
    assert all(engine.generate(PROMPT, 8, top_k=1, seed=s) == runs[0] for s in range(4))


def test_seed_drives_sampling(engine):
    runs = {s: engine.generate(PROMPT, 10, temperature=8.0, seed=s) for s in range(6)}
    assert len({tuple(r) for r in runs.values()}) > 1
    assert engine.generate(PROMPT, 10) == engine.generate(PROMPT, 10, temperature=1.0, seed=42)


def test_suppressed_ids_never_chosen(engine):
    greedy = engine.generate(PROMPT, 10, temperature=0)
    banned = sorted(set(greedy))
    for seed in range(3):
        for kw in (dict(temperature=0), dict(temperature=1.5, seed=seed)):
            out = engine.generate(PROMPT, 10, suppress_tokens=banned + [10**6], eos_token_id=NO_EOS,
                                  **kw)
            assert len(out) == 10 and not set(out) & set(banned)


def test_penalty_spares_excluded_ids(engine):
    greedy = engine.generate(PROMPT, 10, temperature=0)
    vocab = modelgen.base_config()["vocab_size"]
    assert engine.generate(PROMPT, 10, temperature=0, repetition_penalty=50.0,
                           exclude_penalty_tokens=range(vocab)) == greedy
    for off in (1.0, 1.00005, 0.0, -2.0, float("nan")):
        assert engine.generate(PROMPT, 10, temperature=0, repetition_penalty=off) == greedy


# --- limits and the end-of-sequence rule --------------------------------------------------------

def test_max_new_tokens_zero(engine):
    assert engine.generate(PROMPT, 0) == []
    assert engine.generate([], 0) == []
    s = engine.streaming_generate(PROMPT, 0)
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(s)


def test_end_of_sequence(engine):
    greedy = engine.generate(PROMPT, 12, temperature=0, eos_token_id=NO_EOS)
    assert len(greedy) == 12
    first, second = greedy[0], greedy[1]
    assert engine.generate(PROMPT, 12, temperature=0, eos_token_id=first) == [first]
    assert list(engine.streaming_generate(PROMPT, 12, temperature=0, eos_token_id=first)) == [first]
    if second != first:
        assert engine.generate(PROMPT, 12, temperature=0, eos_token_id=second) == [first, second]
        s = engine.streaming_generate(PROMPT, 10, temperature=0, eos_token_id=second)
        assert [next(s), next(s)] == [first, second]
        for _ in range(3):  # exhausted after the end-of-sequence id, and stays so
            with pytest.raises(StopIteration):
                next(s)
    # An end-of-sequence id inside the prompt has no effect: only chosen ids are compared.
    never = next(i for i in range(64) if i not in greedy)
    assert engine.generate(PROMPT + [never], 12, temperature=0, eos_token_id=never) == \
        engine.generate(PROMPT + [never], 12, temperature=0, eos_token_id=NO_EOS)


def test_exhausted_streamer_never_touches_the_engine(engine):
    s = engine.streaming_generate(PROMPT, 2, temperature=0)
    assert len(list(s)) == 2
    seen = []

    class Probe:
        def __index__(self):
            try:
                next(s)
            except BaseException as e:  # noqa: BLE001
                seen.append(type(e))
            return 0
    engine.generate(PROMPT, Probe())  # holds the engine's flag while converting
    assert seen == [StopIteration]


@pytest.mark.parametrize("dtype", ["fp32", "bf16"])
@pytest.mark.parametrize("layers", [2, 0])
def test_empty_prompt(make_engine, dtype, layers):
    """The same text in every dtype (a BF16 model, which cannot compute any step, included), also
    without layers."""
    engine, _ = make_engine(dtype=dtype, num_hidden_layers=layers)
    with pytest.raises(RuntimeError) as ei:
        engine.generate([], 1)
    assert str(ei.value) == EMPTY_TEXT
    s = engine.streaming_generate([], 3, temperature=0)
    for _ in range(2):  # the failed step left the streamer where it was
        with pytest.raises(RuntimeError) as ei:
            next(s)
        assert str(ei.value) == EMPTY_TEXT
    if dtype == "fp32":
        assert engine.generate([1], 1, temperature=0) != []


def test_prompt_id_outside_vocabulary(engine):
    with pytest.raises(RuntimeError, match=r"^index-select invalid index 64 with dim size 64$"):
        engine.generate([1, 64], 3)
    s = engine.streaming_generate([70], 3)
    with pytest.raises(RuntimeError, match="invalid index 70"):
        next(s)


def test_choice_with_nothing_to_order(engine):
    vocab = modelgen.base_config()["vocab_size"]
    with pytest.raises(RuntimeError) as ei:
        engine.generate(PROMPT, 3, suppress_tokens=range(vocab))  # sampling over all -inf
    assert str(ei.value) == NO_ORDER
    # Greedy choice over all -inf logits picks the last id.
    out = engine.generate(PROMPT, 3, temperature=0, suppress_tokens=range(vocab))
    assert out == [vocab - 1] * 3


# --- shared caches and failed steps -------------------------------------------------------------

def run_with_interruption(engine, k, interrupt, n=10, **kw):
    """ids of a greedy streamer whose engine is `interrupt`-ed after k ids."""
    s = engine.streaming_generate(PROMPT, n, temperature=0, eos_token_id=NO_EOS, **kw)
    out = [next(s) for _ in range(k)]
    interrupt()
    return out + list(s)


def test_streamer_continues_on_reset_caches(make_engine):
    engine, _ = make_engine(**CONFIGS["hybrid"])
    plain = engine.generate(PROMPT, 10, temperature=0, eos_token_id=NO_EOS)
    assert run_with_interruption(engine, 4, lambda: None) == plain
    # generate, streaming_generate and clear_kv_cache all reset the caches under a live streamer,
    # which goes on from its own offset without complaint.
    cleared = run_with_interruption(engine, 4, engine.clear_kv_cache)
    assert cleared[:4] == plain[:4] and cleared != plain
    assert run_with_interruption(engine, 4, lambda: engine.generate([1], 0)) == cleared
    assert run_with_interruption(engine, 4, lambda: engine.streaming_generate([1], 5)) == cleared


@pytest.mark.parametrize("bad_call", [
    lambda e: e.generate("not ids", 3),
    lambda e: e.generate(PROMPT, -1),
    lambda e: e.streaming_generate(PROMPT, 3, seed=None),
    lambda e: e.generate(PROMPT, 3, suppress_tokens={1}),
])
def test_argument_errors_leave_caches_alone(any_engine, bad_call):
    plain = any_engine.generate(PROMPT, 10, temperature=0, eos_token_id=NO_EOS)

    def interrupt():
        with pytest.raises((TypeError, OverflowError)):
            bad_call(any_engine)
    assert run_with_interruption(any_engine, 3, interrupt) == plain


def test_failed_choice_leaves_caches_as_before(any_engine):
    """A step whose forward pass succeeds but whose token choice fails must not leave its tokens
    in the shared caches: a second streamer of the same engine continues exactly as if the failed
    step had never run."""
    vocab = modelgen.base_config()["vocab_size"]
    plain = any_engine.generate(PROMPT, 10, temperature=0, eos_token_id=NO_EOS)
    # One id, so its forward pass at offset 0 needs no mask and succeeds on the other run's caches.
    failing = any_engine.streaming_generate([5], 4, suppress_tokens=range(vocab))

    def interrupt():
        for _ in range(3):
            with pytest.raises(RuntimeError, match=r"^called `Option::unwrap\(\)`"):
                next(failing)
    assert run_with_interruption(any_engine, 4, interrupt) == plain


def test_failed_forward_leaves_caches_as_before(any_engine):
    plain = any_engine.generate(PROMPT, 10, temperature=0, eos_token_id=NO_EOS)
    failing = any_engine.streaming_generate([1, 99], 4)

    def interrupt():
        with pytest.raises(RuntimeError, match="invalid index 99"):
            next(failing)
    assert run_with_interruption(any_engine, 4, interrupt) == plain


def test_busy_engine_step_can_be_retried(any_engine):
    """A step refused because the engine is in use changes nothing; the retried step continues
    the run exactly."""
    plain = any_engine.generate(PROMPT, 10, temperature=0.8, seed=11, eos_token_id=NO_EOS)
    s = any_engine.streaming_generate(PROMPT, 10, temperature=0.8, seed=11, eos_token_id=NO_EOS)
    out = [next(s) for _ in range(3)]
    refused = []

    class Probe:
        # Runs while generate holds the engine's flag and is converting input_ids; returning -1
        # then fails that conversion, so generate never resets the caches.
        def __index__(self):
            try:
                next(s)
            except RuntimeError as e:
                refused.append(str(e))
            return -1
    with pytest.raises(OverflowError):
        any_engine.generate([Probe()], 5)
    assert refused == ["Already borrowed: PyBorrowMutError"]
    assert out + list(s) == plain


def test_busy_engine_texts_from_a_second_thread(engine):
    """One thread's generate holds the engine while it converts its arguments; a second thread
    meets the busy engine in every entry point."""
    started, release = threading.Event(), threading.Event()
    texts = {}

    class Slow:
        def __index__(self):
            started.set()
            release.wait(10)
            return 2

    def holder():
        texts["holder"] = engine.generate(PROMPT, Slow(), temperature=0)

    s = engine.streaming_generate(PROMPT, 3, temperature=0, eos_token_id=NO_EOS)
    t = threading.Thread(target=holder)
    t.start()
    assert started.wait(10)
    for name, call in (("generate", lambda: engine.generate(PROMPT, 1)),
                       ("clear_kv_cache", engine.clear_kv_cache),
                       ("streaming_generate", lambda: engine.streaming_generate(PROMPT, 1)),
                       ("next", lambda: next(s))):
        with pytest.raises(RuntimeError) as ei:
            call()
        texts[name] = str(ei.value)
    release.set()
    t.join()
    assert texts == {"generate": "Already borrowed", "clear_kv_cache": "Already borrowed",
                     "streaming_generate": "Already borrowed: PyBorrowMutError",
                     "next": "Already borrowed: PyBorrowMutError",
                     "holder": engine.generate(PROMPT, 2, temperature=0)}
    # The refused step did not advance the streamer: on emptied caches it makes the whole run
    # from its prompt at offset 0.
    engine.clear_kv_cache()
    assert list(s) == engine.generate(PROMPT, 3, temperature=0, eos_token_id=NO_EOS)


def test_f16_engine_streams_like_it_generates(make_engine):
    engine, _ = make_engine(dtype="fp16", **CONFIGS["hybrid"])
    for settings in (dict(temperature=0), dict(temperature=0.9, top_p=0.9, seed=4)):
        assert list(engine.streaming_generate(PROMPT, 8, **settings)) == \
            engine.generate(PROMPT, 8, **settings)


@pytest.mark.parametrize("mixer", ["attention", "delta"])
def test_f16_positions_past_the_largest_f16_value(make_engine, mixer):
    """From position 65520 on, a position rounded to F16 is infinite: a model whose attention
    layers rotate by position refuses such a step with a clear error and keeps its caches as they
    were; a model without them goes on."""
    # Attention without heads still builds its rotary tables, and its prompt costs linear time.
    over = (dict(num_attention_heads=0, num_key_value_heads=0) if mixer == "attention" else
            dict(attention_type="hybrid", hybrid_ratio="1:0", num_attention_heads=1,
                 num_key_value_heads=1))
    engine, _ = make_engine(dtype="fp16", vocab_size=16, hidden_size=4, intermediate_size=4,
                            num_hidden_layers=1, head_dim=2, max_position_embeddings=2**16, **over)
    s = engine.streaming_generate([1] * 65515, 8, temperature=0, eos_token_id=NO_EOS)
    got = [next(s) for _ in range(6)]  # the last step fed position 65519
    if mixer == "delta":
        assert len(got + list(s)) == 8
        return
    for _ in range(2):  # the failed step changed nothing: its retry meets the same position
        with pytest.raises(RuntimeError) as ei:
            next(s)
        assert str(ei.value) == ("position 65520 cannot be represented in F16 (largest finite "
                                 "F16 value is 65504)")
    with pytest.raises(RuntimeError, match=r"^position 65520 cannot"):  # also inside a chunk
        engine.generate([1] * 65521, 1)


MEMORY_SCRIPT = r"""
import json, mmap, os, resource, sys
sys.path.insert(0, sys.argv[1])
import tessaline
path, cfg, n, margin = sys.argv[2], json.loads(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
kw = dict(temperature=0.9, top_p=0.95, seed=3, eos_token_id=2**32 - 1)
# The reference run uses an engine of its own: buffers keep their capacity, so a run on the same
# engine would never need to grow them again. Its steps split work over threads, so the worker
# threads (and their stacks) exist before any limit is set.
expected = tessaline.LlmEngine(path, cfg).generate([1, 2, 3], n, **kw)
threads = len(os.listdir("/proc/self/task"))
s = tessaline.LlmEngine(path, cfg).streaming_generate([1, 2, 3], n, **kw)
got, failed_at, bad_margin = [None] * n, [], []  # no list growth while limited
got[0], k = next(s), 1  # the prompt step runs unlimited (it uses the BLAS library)
# The address-space size is read unbuffered into a buffer allocated once: a buffered read would
# map (and then free) a buffer of its own at the measuring point, headroom the limit never sees.
fd, buf = os.open("/proc/self/statm", os.O_RDONLY), bytearray(256)
page = os.sysconf("SC_PAGE_SIZE")
soft, hard = resource.getrlimit(resource.RLIMIT_AS)


def fits(size):
    try:
        mmap.mmap(-1, size).close()
        return True
    except OSError:
        return False


while True:
    retry = bool(failed_at) and failed_at[-1] == k
    if not retry:  # room for `margin` more bytes: a step whose buffers grow by more fails
        used = os.preadv(fd, [buf], 0)
        limit = int(bytes(buf[:used]).split()[0]) * page + margin
        resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
        # The margin holds what the limit was set for, give or take one allocator arena.
        if not fits(margin - (3 << 19)) or fits(margin + (3 << 19)):
            bad_margin.append(k)
    try:
        tok = next(s)
        status = 0
    except MemoryError:
        status = 1
    except StopIteration:
        status = 2
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    if status == 2:
        break
    if status == 1:
        failed_at.append(k)
    else:
        got[k], k = tok, k + 1
print(json.dumps({"same": got == expected, "failed_at": failed_at, "n": k, "threads": threads,
                  "bad_margin": bad_margin}))
"""


def test_steps_failing_for_lack_of_memory_can_be_retried(write_model):
    """Steps cut short by an allocation failure (a cache buffer that must grow, part-way through
    the forward pass, after earlier layers have written their pending state) raise MemoryError and
    leave the caches and the streamer as they were; retried, they give the ids of an unfailed
    run."""
    import json
    import os
    import subprocess
    import sys

    if SANITIZED:
        pytest.skip("the sanitizer reserves its address space up front: no limit can apply")
    # A delta-rule layer, then an attention layer whose key and value rows are 16 KiB each: its
    # cache buffers double at 49, 97, 193 and 385 positions, needing 2.25 to 18 MiB more address
    # space, past the 2 MiB margin; a step that grows nothing needs far less than the margin.
    n, margin = 400, 2 << 20
    cfg = modelgen.base_config(vocab_size=300, hidden_size=64, intermediate_size=96,
                               num_hidden_layers=2, attention_type="hybrid", hybrid_ratio="1:1",
                               hybrid_softmax_num_heads=16, hybrid_softmax_num_kv_heads=16,
                               hybrid_softmax_head_dim=256, max_position_embeddings=1024)
    path = write_model(cfg)
    # Blocks of a page or more come straight from the system, so every buffer growth needs new
    # address space. Small blocks come from a heap that keeps up to 256 KiB free at its top: the
    # thread runtime's per-region block (whose failure aborts the process) is then taken from
    # there again instead of growing the heap under the limit.
    env = dict(os.environ, OMP_NUM_THREADS="2", OPENBLAS_NUM_THREADS="1",
               MALLOC_MMAP_THRESHOLD_="4096", MALLOC_TRIM_THRESHOLD_=str(256 << 10),
               MALLOC_TOP_PAD_="0")
    mod_dir = os.path.dirname(tessaline.__file__)
    r = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT, mod_dir, path, json.dumps(cfg),
                        str(n), str(margin)], env=env, capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr[-2000:]
    out = json.loads(r.stdout.strip().splitlines()[-1])
    assert out["threads"] > 1 and out["bad_margin"] == [], out
    assert len(out["failed_at"]) >= 2 and out["n"] == n, out
    assert out["same"], out
