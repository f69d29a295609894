"""Whole-sequence generation, cache reset and streaming: the end-of-sequence rule, shared caches
and failed steps. Token choice over whole requests: test_sampling.py."""
from __future__ import annotations

import os

import pytest

import modelgen
import tessaline
from conftest import MIXER_CONFIGS

CONFIGS = MIXER_CONFIGS
PROMPT = [3, 1, 4, 1, 5, 9, 2, 6]
EMPTY_TEXT = "cannot reshape tensor of 0 elements to (1, 1, 0, ())"
NO_EOS = 2**32 - 1  # an end-of-sequence id no model here produces
SANITIZED = os.environ.get("TESSALINE_SANITIZED") == "1"  # set by tools/sanitize.sh


@pytest.fixture(params=list(CONFIGS))
def any_engine(request, make_engine):
    return make_engine(**CONFIGS[request.param])[0]


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


def next_of(s, times=1):
    return lambda: [next(s) for _ in range(times)]


# Each makes, on a given engine, a call that fails and must leave the caches as they were: the
# arguments of generate and streaming_generate convert before anything is reset, and a streamer's
# failed step (in its forward pass, or in the token choice after a whole forward pass) is rolled
# back. The streamers are made first, since making one resets the caches.
FAILURES = [
    lambda e: lambda: e.generate(PROMPT, 3, suppress_tokens={1}),
    lambda e: lambda: e.streaming_generate(PROMPT, 3, seed=None),
    lambda e: next_of(e.streaming_generate([1, 99], 4)),
    # One id, so its forward pass at offset 0 needs no mask and runs on the other run's caches.
    lambda e: next_of(e.streaming_generate([5], 4, suppress_tokens=range(64)), times=3),
]


@pytest.mark.parametrize("make_failure", FAILURES)
def test_failed_calls_leave_caches_as_before(any_engine, make_failure):
    plain = any_engine.generate(PROMPT, 10, temperature=0, eos_token_id=NO_EOS)
    fail = make_failure(any_engine)

    def interrupt():
        for _ in range(2):  # and fail the same way when retried
            with pytest.raises((TypeError, RuntimeError)):
                fail()
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
