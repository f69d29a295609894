"""The Python surface under hostile arguments.

Every call either succeeds with a well-formed result or raises an ordinary Python exception:
nothing crashes, hangs, reports a C++ library's own error text, returns with a stray exception
(SystemError) or leaves an engine giving different ids afterwards. Objects whose conversion hooks
re-enter the engine meet its borrow rules: during generate's conversions the engine is busy;
during streaming_generate's and the constructor's it is not.

The seeded fuzz loop runs in a child interpreter (this file run as a script), so a crash fails
the test instead of taking pytest down; the targeted cases run in process."""
from __future__ import annotations

import array
import collections
import decimal
import fractions
import json
import os
import pathlib
import random
import subprocess
import sys
import types
import warnings

import numpy as np
import pytest

import modelgen
import tessaline

VOCAB = 64  # every model written here
PROMPT = [3, 1, 4, 1, 5, 9, 2, 6]
NO_EOS = 2**32 - 1
BORROWED = "Already borrowed"
BORROWED_MUT = "Already borrowed: PyBorrowMutError"
# Texts that would mean a C++ failure escaped without being given the system's own message.
CXX_LEAKS = ("unknown C++ exception", "lost Python exception", "vector::", "basic_string",
             "std::", "bad_alloc", "bad_array_new_length")


def fuzz_models():
    """The two configurations the fuzz loads: plain softmax attention, and a hybrid with
    mixture-of-experts layers and its two attribute objects."""
    return {
        "plain": modelgen.base_config(),
        "hybrid": modelgen.base_config(
            attention_type="hybrid", hybrid_ratio="1:1", num_hidden_layers=2,
            moe_config=modelgen.moe(n_shared_experts=1, n_dense_layer=1),
            gated_deltanet_config=modelgen.gdn(conv_bias=True)),
    }


def write_fuzz_models(folder):
    paths = {}
    for name, cfg in fuzz_models().items():
        path = os.path.join(folder, f"{name}.safetensors")
        tensors = modelgen.random_weights(cfg, seed=1, tied=False)
        tensors["embed_tokens.weight"] *= np.float32(0.2)
        modelgen.write_model(path, cfg, tensors=tensors)
        paths[name] = path
    return paths


# --- hostile objects ----------------------------------------------------------------------------

class Abort(BaseException):
    """Raised by hostile hooks: must pass through unchanged, never be swallowed."""


class HookError(Exception):
    pass


class Idx:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class IntSub(int):
    def __index__(self):  # never consulted: an int subclass converts directly
        raise HookError("int subclass __index__")


class FloatSub(float):
    pass


class StrSub(str):
    def __str__(self):
        raise HookError("str subclass __str__")


class DictSub(dict):
    def __getitem__(self, key):  # never consulted: the dictionary's own storage is read
        raise HookError("dict subclass __getitem__")

    def get(self, key, default=None):
        raise HookError("dict subclass get")


class Raising:
    """Every numeric and container hook raises `exc`."""
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc

    def __float__(self):
        raise self.exc

    def __len__(self):
        raise self.exc

    def __getitem__(self, i):
        raise self.exc

    def __iter__(self):
        raise self.exc


class FloatObj:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class IndexReturns:
    """__index__ returning something that is not an int (or an int subclass)."""
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Seq:
    """A sequence by __len__/__getitem__ only; `length` and `items` may themselves be hostile."""
    def __init__(self, items, length=None, fail_at=None):
        self.items, self.length, self.fail_at = items, length, fail_at

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if self.fail_at is not None and i == self.fail_at:
            raise HookError("item")
        return self.items[i]


class ListSub(list):
    """A list whose iteration runs `hook` first (possibly re-entering an engine)."""
    def __init__(self, items, hook=None, length=None):
        super().__init__(items)
        self.hook, self.length = hook, length

    def __iter__(self):
        if self.hook is not None:
            self.hook()
        return super().__iter__()

    def __len__(self):
        if self.length is not None:
            return self.length
        return super().__len__()


class BadIter:
    def __len__(self):
        return 2

    def __getitem__(self, i):
        return i

    def __iter__(self):
        return 5  # not an iterator


class Growing(list):
    """Items whose conversion appends to the list being converted (bounded)."""
    def __init__(self, n):
        super().__init__()
        self.extra = n
        self.append(self.Item(self))

    class Item:
        def __init__(self, owner):
            self.owner = owner

        def __index__(self):
            if self.owner.extra > 0:
                self.owner.extra -= 1
                self.owner.append(Growing.Item(self.owner))
            return 1


class Colliding:
    """A dictionary key with the hash of `name` whose comparison raises once armed."""
    def __init__(self, name, exc):
        self.name, self.exc, self.armed = name, exc, False

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        if self.armed:
            raise self.exc
        return False


class AttrObj:
    """An attribute holder for "moe_config" / "gated_deltanet_config": each attribute is a plain
    value, a raising property or a hook (re-entry) followed by a value."""
    def __init__(self, values):
        self._values = values

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        v = self._values.get(name, AttributeError(name))
        if isinstance(v, BaseException):
            raise v
        if callable(v) and not isinstance(v, type):
            return v()
        return v


# --- the fuzz (child process) -------------------------------------------------------------------

class Fuzz:
    """Seeded random calls on a few engines and streamers, with checks on every outcome."""

    def __init__(self, paths, seed):
        self.rng = random.Random(seed)
        self.paths = paths
        self.cfgs = fuzz_models()
        self.stats = collections.Counter()
        self.problems = []
        self.reentry = collections.Counter()
        self.ctx = []  # (kind, engine) of the call whose conversions are running
        # The engines re-entrant hooks use; their expected results, fixed before the fuzz starts.
        self.good = {n: tessaline.LlmEngine(p, self.cfgs[n]) for n, p in paths.items()}
        self.expected = {n: self.reference(e) for n, e in self.good.items()}
        self.short = {n: e.generate([1, 2, 3], 2, temperature=0) for n, e in self.good.items()}
        self.engines = list(self.good.values())  # targets of fuzzed calls (grows and shrinks)
        self.streamers = []  # (streamer, engine)
        self.good_streamers = []

    @staticmethod
    def reference(e):
        return (e.generate(PROMPT, 8, temperature=0, eos_token_id=NO_EOS),
                e.generate(PROMPT, 8, temperature=0.9, top_k=20, seed=5, eos_token_id=NO_EOS))

    def problem(self, what):
        if len(self.problems) < 40:
            self.problems.append(what)

    # Re-entry: a hook runs one engine call while the outer call converts its arguments, and the
    # outcome must follow the borrow rules of that outer call.
    def reenter(self):
        kind, outer = self.ctx[-1] if self.ctx else ("none", None)
        r = self.rng
        name = r.choice(list(self.good))
        e = self.good[name]
        action = r.choice(["generate", "clear", "streaming", "next", "next"])
        s = None
        if action == "next":
            live = [(st, en) for st, en in self.good_streamers if en is e]
            if not live:
                action = "streaming"
            else:
                s = r.choice(live)[0]
        try:
            if action == "generate":
                res = e.generate([1, 2, 3], 2, temperature=0)
                assert res == self.short[name], res  # exact, whatever the outer call is
            elif action == "clear":
                e.clear_kv_cache()
            elif action == "streaming":
                st = e.streaming_generate([1, 2], 4, temperature=0.5, seed=r.randrange(9))
                self.good_streamers.append((st, e))
                del self.good_streamers[:-6]
            else:
                t = next(s)
                assert 0 <= t < VOCAB
            outcome = "ok"
        except StopIteration:
            outcome = "stop"
        except RuntimeError as ex:
            outcome = {BORROWED: "busy", BORROWED_MUT: "busy-internal"}.get(str(ex), str(ex))
        except AssertionError as ex:
            outcome = f"bad result {ex}"
        same = outer is e
        if kind == "generate" and same:
            want = {"generate": {"busy"}, "clear": {"busy"}, "streaming": {"busy-internal"},
                    "next": {"busy-internal", "stop"}}[action]
        elif action == "next" and not outcome.startswith(("busy", "bad result")):
            # A streamer goes on from its own offset on whatever the caches hold after other
            # calls reset them: its step may fail in the forward pass, which is not a conflict.
            want = {outcome}
        else:
            want = {"ok"}
        self.reentry[f"{kind}/{'same' if same else 'other'}/{action}/{outcome[:20]}"] += 1
        if outcome not in want:
            self.problem(f"re-entry {action} during {kind} ({'same' if same else 'other'} "
                         f"engine): {outcome}")

    class Hook:
        """Index / float / length / iteration hook that re-enters, then behaves as `value`."""
        def __init__(self, fuzz, value):
            self.fuzz, self.value = fuzz, value

        def __index__(self):
            self.fuzz.reenter()
            return self.value

        def __float__(self):
            self.fuzz.reenter()
            return float(self.value)

    # Value pools. `small` values are valid and keep every run short.
    def small_int(self):
        return self.rng.choice([0, 1, 2, 3, 5, 6])

    def any_int(self, big_ok=True):
        r = self.rng
        v = self.small_int()
        pool = [
            v, v, True, False, IntSub(v), np.int64(v), np.uint8(v), np.bool_(True), Idx(v),
            self.Hook(self, v), self.Hook(self, v),
            -1, -2**63 - 1, 2**64, 10**40, np.int8(-1), Idx(-5), Idx(2**70),
            IndexReturns(1.5), IndexReturns(None), IndexReturns(IntSub(2)),
            Raising(HookError("index")), Raising(TypeError("index")), Raising(Abort()),
            Raising(MemoryError()), 1.5, float("nan"), "3", b"3", None, [], object(),
            decimal.Decimal(3), fractions.Fraction(3, 1), 1j, tessaline.LlmEngine,
        ]
        if big_ok:
            pool += [2**32 - 1, 2**32, 2**63 - 1, 2**63, 2**64 - 1, np.uint64(2**64 - 1)]
        return r.choice(pool)

    def any_float(self):
        return self.rng.choice([
            0.0, -0.0, 1.0, 0.7, 2, -1, float("nan"), float("inf"), float("-inf"), 1e-45,
            1e-30, 1e300, -1e300, 10**400, FloatSub(0.5), np.float32("nan"), np.float16(0.5),
            np.float64("inf"), FloatObj(0.5), FloatObj("x"), FloatObj(FloatSub(2.0)),
            Raising(HookError("float")), Raising(Abort()), Idx(1), self.Hook(self, 0.8),
            decimal.Decimal("0.5"), fractions.Fraction(1, 3), "0.5", None, 1j, object(),
            True, np.int64(3),
        ])

    def ids(self, n=None):
        r = self.rng
        return [r.randrange(VOCAB) for _ in range(r.randint(0, 6) if n is None else n)]

    def any_seq(self, for_prompt):
        r = self.rng
        ids = self.ids(r.randint(1, 6) if for_prompt else None)
        choice = r.randrange(34)
        return [
            lambda: ids, lambda: ids, lambda: tuple(ids), lambda: range(1, 1 + len(ids)),
            lambda: bytes(ids), lambda: bytearray(ids), lambda: array.array("I", ids),
            lambda: array.array("b", [-1]), lambda: np.array(ids, dtype=np.uint32),
            lambda: np.array(ids, dtype=np.int64), lambda: np.array([ids]), lambda: np.array(3),
            lambda: np.array(ids, dtype=np.float32), lambda: memoryview(bytes(ids)),
            lambda: collections.deque(ids), lambda: collections.UserList(ids),
            lambda: "abc", lambda: StrSub("ab"), lambda: set(ids), lambda: {1: 2}, lambda: None,
            lambda: 7, lambda: (i for i in ids),
            lambda: ListSub(ids, hook=self.reenter), lambda: ListSub(ids, length=10**18),
            lambda: ListSub(ids, length=-1), lambda: ListSub(ids, hook=self.raiser()),
            lambda: Seq(ids, length=HookError("len")), lambda: Seq(ids + [0], fail_at=len(ids)),
            lambda: Seq([self.any_int(big_ok=False) for _ in ids]), lambda: BadIter(),
            lambda: [self.Hook(self, t) for t in ids], lambda: Growing(r.randint(0, 50)),
            lambda: list(range(VOCAB)) * 3,  # longer than the models' positions when a prompt
        ][choice]()

    def raiser(self):
        exc = self.rng.choice([HookError("iter"), TypeError("iter"), Abort()])

        def hook():
            raise exc
        return hook

    def maybe(self, make, p=0.5):
        return make() if self.rng.random() < p else None

    def gen_args(self):
        """Positional and keyword arguments for generate / streaming_generate."""
        r = self.rng
        valid = [
            self.ids(r.randint(1, 6)), self.small_int(), r.choice([0, 0.7, 1.0, 1.5]),
            r.choice([None, 0, 1, 5, 100]), r.choice([None, 0.5, 0.9, 1.0]),
            r.choice([None, 1.0, 1.3, 0.8]), self.maybe(self.ids), self.maybe(self.ids),
            r.choice([2, 5, NO_EOS]), r.randrange(2**64),
        ]
        hostile = [
            # No valid huge count here: a run that never meets its end-of-sequence id would go on
            # for that many steps (a targeted test covers it with a forced end).
            lambda: self.any_seq(True), lambda: self.any_int(big_ok=False), self.any_float,
            self.any_int, self.any_float, self.any_float, lambda: self.any_seq(False),
            lambda: self.any_seq(False), self.any_int, self.any_int,
        ]
        values = [hostile[i]() if r.random() < 0.25 else valid[i] for i in range(10)]
        present = [True, True] + [r.random() < 0.35 for _ in range(8)]
        if r.random() < 0.05:
            present[r.randrange(2)] = False  # a required argument missing
        n_pos = r.randint(0, 10)
        args, kwargs = [], {}
        for i, name in enumerate(GEN_PARAMS):
            if not present[i]:
                if i < n_pos:
                    n_pos = i
                continue
            if i < n_pos:
                args.append(values[i])
            else:
                kwargs[name] = values[i]
        extra = r.random()
        if extra < 0.02:
            args = list(values) + [1]  # eleven positional arguments
        elif extra < 0.04:
            kwargs["bogus"] = 1
        elif extra < 0.06 and args:
            kwargs[GEN_PARAMS[0]] = values[0]  # given twice
        return args, kwargs

    def ctor_args(self):
        r = self.rng
        name = r.choice(list(self.paths))
        cfg = dict(self.cfgs[name])
        keys = list(cfg) + ["use_qk_norm", "rope_theta", "partial_rotary_factor",
                            "max_position_embeddings", "attention_type", "hybrid_ratio",
                            "hybrid_softmax_gated", "lm_head_bias", "norm_eps"]
        for _ in range(r.choice([0, 0, 1, 1, 2, 3])):
            key = r.choice(keys)
            kind = r.randrange(6)
            if kind == 0:
                cfg.pop(key, None)
            elif kind == 1:
                cfg[key] = self.any_int()
            elif kind == 2:
                cfg[key] = self.any_float()
            elif kind == 3:
                cfg[key] = r.choice([None, True, False, np.bool_(False), "softmax", "hybrid",
                                     StrSub("1:1"), "0:0", "x:y:z", ""])
            elif kind == 4 and isinstance(cfg.get("moe_config"), (types.SimpleNamespace, AttrObj)):
                mc = cfg["moe_config"]
                m = dict(mc._values if isinstance(mc, AttrObj) else vars(mc))
                m[r.choice(list(m))] = r.choice([
                    HookError("property"), Abort(), AttributeError("gone"),
                    lambda: (self.reenter(), 1)[1], self.any_int(), None])
                cfg["moe_config"] = AttrObj(m)
            elif kind == 5:
                g = {"use_short_conv": True, "conv_kernel_size": 4, "conv_bias": True}
                g[r.choice(list(g))] = r.choice([
                    HookError("property"), Abort(), lambda: (self.reenter(), 4)[1],
                    self.any_int(), None])
                cfg["gated_deltanet_config"] = r.choice([AttrObj(g), dict(g), None])
        if r.random() < 0.1:
            # A key equal in hash to a configuration key, whose comparison raises: stored first,
            # so looking that key up compares with it.
            key = Colliding(r.choice(keys + ["moe_config", "gated_deltanet_config"]),
                            r.choice([HookError("eq"), Abort(), TypeError("eq")]))
            cfg = {key: 1, **cfg}
            key.armed = True
        if r.random() < 0.15:
            cfg = DictSub(cfg)
        path = r.choice([self.paths[name]] * 6 + [
            StrSub(self.paths[name]), self.paths[name] + "\0x", "", "/nonexistent/x",
            os.path.dirname(self.paths[name]), "a" * 5000, "\ud800", b"x", None,
            pathlib.Path(self.paths[name])])
        args = [path, cfg]
        dtype = r.choice([None, "fp32", "fp32", "FP16", "bf16", "half", "", "\ud800",
                          StrSub("float16"), 16, None])
        device = r.choice([None, "cpu", "CPU", "cuda:0", "Cuda", "mps", "METAL", "gpu", "",
                           StrSub("cpu"), b"cpu", None])
        kwargs = {}
        if dtype is not None or r.random() < 0.1:
            (args.append if r.random() < 0.5 else lambda v: kwargs.__setitem__("dtype", v))(dtype)
        if device is not None or r.random() < 0.1:
            if len(args) == 3:
                args.append(device)
            else:
                kwargs["device"] = device
        return args, kwargs

    # Outcome checks.
    def check_exception(self, where, ex):
        self.stats[f"{where}:{type(ex).__name__}"] += 1
        if isinstance(ex, Abort):
            return
        if not isinstance(ex, Exception) or isinstance(ex, SystemError):
            self.problem(f"{where}: {type(ex).__name__}: {ex}")
        elif isinstance(ex, RuntimeError) and any(t in str(ex) for t in CXX_LEAKS):
            self.problem(f"{where}: C++ text {ex}")

    def run_call(self, where, engine, fn, check):
        self.ctx.append((where, engine))
        try:
            result = fn()
        except BaseException as ex:  # noqa: BLE001 - every outcome is classified
            self.ctx.pop()
            self.check_exception(where, ex)
            return None
        self.ctx.pop()
        self.stats[f"{where}:ok"] += 1
        try:
            check(result)
        except AssertionError as ex:
            self.problem(f"{where}: bad result {ex!r}")
        return result

    @staticmethod
    def check_ids(ids):
        assert type(ids) is list, type(ids)
        assert all(type(t) is int and 0 <= t < VOCAB for t in ids), ids

    def step(self):
        r = self.rng
        op = r.choices(["generate", "streaming", "next", "iter", "clear", "ctor", "drop"],
                       weights=[30, 20, 20, 4, 5, 8, 5])[0]
        e = r.choice(self.engines)
        if op == "generate":
            args, kwargs = self.gen_args()
            self.run_call("generate", e, lambda: e.generate(*args, **kwargs), self.check_ids)
        elif op == "streaming":
            args, kwargs = self.gen_args()
            s = self.run_call("streaming", e, lambda: e.streaming_generate(*args, **kwargs),
                              lambda s: isinstance(s, tessaline.LlmStreamer) or 1 / 0)
            if s is not None:
                self.streamers.append((s, e))
        elif op in ("next", "iter") and self.streamers:
            s, se = r.choice(self.streamers)
            for _ in range(r.randint(1, 3) if op == "next" else 1):
                if op == "next":
                    self.run_call("next", se, lambda: next(s),
                                  lambda t: type(t) is int and 0 <= t < VOCAB or 1 / 0)
                else:
                    self.run_call("iter", se, lambda: iter(s), lambda it: it is s or 1 / 0)
        elif op == "clear":
            extra = [] if r.random() < 0.8 else [self.any_int()]
            self.run_call("clear", e, lambda: e.clear_kv_cache(*extra),
                          lambda v: v is None or 1 / 0)
        elif op == "ctor":
            args, kwargs = self.ctor_args()
            new = self.run_call("ctor", None, lambda: tessaline.LlmEngine(*args, **kwargs),
                                lambda v: isinstance(v, tessaline.LlmEngine) or 1 / 0)
            if new is not None:
                self.engines.append(new)
                if len(self.engines) > 5:
                    del self.engines[2]  # keep the two good engines at the front
        elif op == "drop" and self.streamers:
            del self.streamers[r.randrange(len(self.streamers))]
        del self.streamers[:-12]

    def run(self, calls):
        for _ in range(calls):
            self.step()
        # Nothing the fuzz did may change what the good engines compute.
        self.streamers.clear()
        self.good_streamers.clear()
        for name, e in self.good.items():
            if self.reference(e) != self.expected[name]:
                self.problem(f"engine {name} gives different ids after the fuzz")
            s = e.streaming_generate(PROMPT, 8, temperature=0, eos_token_id=NO_EOS)
            if list(s) != self.expected[name][0]:
                self.problem(f"engine {name} streams different ids after the fuzz")


GEN_PARAMS = ["input_ids", "max_new_tokens", "temperature", "top_k", "top_p",
              "repetition_penalty", "exclude_penalty_tokens", "suppress_tokens", "eos_token_id",
              "seed"]


def fuzz_main(folder, seed, calls):
    warnings.simplefilter("error")  # warnings from hooks become exceptions: more failure paths
    fuzz = Fuzz(write_fuzz_models(folder), seed)
    fuzz.run(calls)
    print(json.dumps({"problems": fuzz.problems, "stats": fuzz.stats, "reentry": fuzz.reentry}))


def run_child(args, timeout):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(tessaline.__file__), env.get("PYTHONPATH", "")])
    return subprocess.run([sys.executable, os.path.abspath(__file__), *map(str, args)],
                          env=env, capture_output=True, text=True, timeout=timeout)


@pytest.mark.parametrize("seed", [1, 2])
def test_seeded_fuzz(tmp_path, seed):
    # A fixed number of calls (a few seconds' worth), so every run exercises the same paths.
    r = run_child([tmp_path, seed, 6000], timeout=600)
    assert r.returncode == 0, (r.returncode, r.stderr[-3000:])
    out = json.loads(r.stdout.strip().splitlines()[-1])
    assert out["problems"] == [], out["problems"]
    stats, reentry = collections.Counter(out["stats"]), out["reentry"]
    # The loop must have exercised what it claims to: successes and failures of every entry
    # point, and re-entry during both kinds of conversion.
    for where in ("generate", "streaming", "next", "ctor", "clear"):
        assert stats[f"{where}:ok"] > 0, (where, stats)
        assert sum(v for k, v in stats.items() if k.startswith(where + ":")) > stats[
            f"{where}:ok"], (where, stats)
    assert any(k.startswith("generate/same/") and k.endswith("/busy") for k in reentry), reentry
    assert any(k.startswith("streaming/same/") and k.endswith("/ok") for k in reentry), reentry


# --- targeted cases -----------------------------------------------------------------------------

@pytest.fixture(scope="module")
def engines(tmp_path_factory):
    folder = tmp_path_factory.mktemp("hostile")
    paths = write_fuzz_models(str(folder))
    return {n: tessaline.LlmEngine(p, fuzz_models()[n]) for n, p in paths.items()}


@pytest.fixture
def engine(engines):
    return engines["plain"]


@pytest.mark.parametrize("method", ["generate", "streaming_generate"])
@pytest.mark.parametrize("settings", [dict(temperature=0), dict(temperature=1.5, seed=9)])
def test_huge_max_new_tokens_stops_at_end_of_sequence(engine, method, settings):
    """The largest count is a valid request that only the end-of-sequence id ends: nothing may be
    reserved from it up front."""
    only_eos = [t for t in range(VOCAB) if t != 7]
    out = getattr(engine, method)(PROMPT, 2**64 - 1, suppress_tokens=only_eos, eos_token_id=7,
                                  **settings)
    assert list(out) == [7]


def _reenter_all(engine, streamer):
    """Hooks that each try one call on `engine` and record its outcome."""
    seen = []

    def attempt(name, call):
        try:
            call()
            seen.append((name, "ok"))
        except StopIteration:
            seen.append((name, "stop"))
        except RuntimeError as e:
            seen.append((name, str(e)))

    def run():
        attempt("generate", lambda: engine.generate([1, 2], 1, temperature=0))
        attempt("clear", engine.clear_kv_cache)
        attempt("streaming", lambda: engine.streaming_generate([1], 1))
        attempt("next", lambda: next(streamer))
    return run, seen


BUSY = [("generate", BORROWED), ("clear", BORROWED), ("streaming", BORROWED_MUT),
        ("next", BORROWED_MUT)]
FREE = [("generate", "ok"), ("clear", "ok"), ("streaming", "ok"), ("next", "ok")]


@pytest.mark.parametrize("where", [
    "input_ids.__iter__", "input_ids.__len__", "input_ids.item.__index__", "max_new_tokens",
    "temperature.__float__", "top_p.__float__", "suppress_tokens.__getitem__", "eos_token_id",
    "seed",
])
@pytest.mark.parametrize("method", ["generate", "streaming_generate"])
def test_reentry_from_every_conversion_hook(engines, where, method):
    """Re-entry from any hook of any argument: generate holds its engine throughout its
    conversions, streaming_generate holds nothing yet. Another engine is never affected."""
    engine, other = engines["plain"], engines["hybrid"]
    expected = engine.generate(PROMPT, 4, temperature=0, eos_token_id=NO_EOS,
                               suppress_tokens=[63] if where.startswith("suppress") else None)
    streamer = engine.streaming_generate([1, 2], 50, temperature=0, eos_token_id=NO_EOS)
    hook, seen = _reenter_all(engine, streamer)
    other_hook, other_seen = _reenter_all(
        other, other.streaming_generate([1, 2], 50, temperature=0, eos_token_id=NO_EOS))

    def both():
        hook()
        other_hook()

    class Num:
        def __index__(self):
            both()
            return 4 if where == "max_new_tokens" else NO_EOS if where == "eos_token_id" else 0

        def __float__(self):
            both()
            return 0.0 if where.startswith("temperature") else 1.0

    class Ids(list):
        def __iter__(self):
            if where == "input_ids.__iter__":
                both()
            return super().__iter__()

        def __len__(self):
            if where == "input_ids.__len__":
                both()
            return super().__len__()

    class Sup:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            if i > 0:
                raise IndexError(i)
            both()
            return 63

    kw = dict(input_ids=Ids(PROMPT), max_new_tokens=4, temperature=0, eos_token_id=NO_EOS)
    if where == "input_ids.item.__index__":
        kw["input_ids"] = PROMPT[:-1] + [type("Last", (), {"__index__": lambda s: (
            both(), PROMPT[-1])[1]})()]
    elif where == "suppress_tokens.__getitem__":
        kw["suppress_tokens"] = Sup()
    elif where.endswith("__float__"):
        kw[where.split(".")[0]] = Num()
    elif not where.startswith("input_ids"):
        kw[where] = Num()
    out = getattr(engine, method)(**kw)
    assert seen == (BUSY if method == "generate" else FREE), seen
    assert other_seen == FREE
    # The outer call still gives its own ids: the refused calls touched nothing, and the
    # accepted ones ran before streaming_generate's reset.
    assert list(out) == expected


@pytest.mark.parametrize("make", [
    lambda: Raising(HookError("x")), lambda: Raising(TypeError("t")), lambda: Raising(Abort()),
    lambda: Raising(KeyboardInterrupt()), lambda: Raising(RecursionError()),
    lambda: Raising(MemoryError()), lambda: Seq([1, 2], fail_at=1), lambda: ListSub([1], length=-1),
    lambda: BadIter(),
])
@pytest.mark.parametrize("param", ["input_ids", "max_new_tokens", "temperature",
                                   "suppress_tokens", "seed"])
def test_raising_hooks_pass_their_exception(engine, make, param):
    """A hook's own exception reaches the caller unchanged (a plain TypeError gains the
    argument's name); the engine's flag is released for the next call."""
    obj = make()
    kw = dict(input_ids=[1, 2], max_new_tokens=1, temperature=0)
    kw[param] = obj
    try:
        engine.generate(**kw)
        outcome = None
    except BaseException as e:  # noqa: BLE001
        outcome = e
    exc = getattr(obj, "exc", None)
    if exc is not None and type(exc) is not TypeError:
        assert outcome is exc
    elif outcome is not None:
        assert type(outcome) in (HookError, TypeError), repr(outcome)
        if type(outcome) is TypeError:
            assert str(outcome).startswith(f"argument '{param}': "), outcome
    assert engine.generate([1, 2], 1, temperature=0) == engine.generate([1, 2], 1, temperature=0)


def test_list_growing_while_converted(engine):
    g = Growing(200)
    assert engine.generate(g, 0) == []
    assert len(g) == 201  # every appended item was converted too


@pytest.mark.parametrize("mutate,outcome", [
    ("clear", "Missing vocab_size"),
    ("replace", "'object' object cannot be interpreted as an integer"),
    ("insert", None),
])
def test_config_mutated_during_lookup(write_model, mutate, outcome):
    """A key whose comparison changes the configuration dictionary while its first key is looked
    up: the rest is read from the dictionary as it is then."""
    cfg = modelgen.base_config()
    path = write_model(cfg)

    class Mutator:
        armed = False

        def __init__(self, d):
            self.d = d

        def __hash__(self):
            return hash("moe_config")  # read first, and absent here

        def __eq__(self, other):
            if self.armed:
                self.armed = False
                if mutate == "clear":
                    self.d.clear()
                elif mutate == "insert":
                    for i in range(100):
                        self.d[f"k{i}"] = i  # the table is rebuilt under the lookup
                else:
                    self.d["vocab_size"] = object()
            return False

    d = dict(cfg)
    key = Mutator(d)
    d[key] = 1
    key.armed = True
    try:
        e = tessaline.LlmEngine(path, d)
    except (RuntimeError, TypeError) as err:
        assert str(err) == outcome
    else:
        assert outcome is None
        assert e.generate(PROMPT, 3, temperature=0) == tessaline.LlmEngine(path, cfg).generate(
            PROMPT, 3, temperature=0)


def _wrapped_file(tmp_path, cfg, heads, kv_heads, head_dim):
    """A weight file whose attention projections have the shapes that the head counts times the
    head width give modulo 2^64."""
    tensors = modelgen.random_weights(cfg, seed=0)
    q = heads * head_dim % 2**64
    kv = kv_heads * head_dim % 2**64
    a = "layers.0.attn"
    tensors[f"{a}.q_proj.weight"] = np.zeros((q, 32), np.float32)
    tensors[f"{a}.k_proj.weight"] = np.zeros((kv, 32), np.float32)
    tensors[f"{a}.v_proj.weight"] = np.zeros((kv, 32), np.float32)
    tensors[f"{a}.o_proj.weight"] = np.zeros((32, q), np.float32)
    tensors[f"{a}.q_norm.weight"] = np.ones(head_dim, np.float32)
    tensors[f"{a}.k_norm.weight"] = np.ones(head_dim, np.float32)
    path = str(tmp_path / "wrapped.safetensors")
    modelgen.write_model(path, cfg, tensors=tensors)
    return path


@pytest.mark.parametrize("over,proj", [
    (dict(num_attention_heads=2**62, num_key_value_heads=2**62, head_dim=4), "q_proj"),
    (dict(num_attention_heads=2**62, num_key_value_heads=1, head_dim=4), "q_proj"),
    (dict(num_attention_heads=1, num_key_value_heads=2**62, head_dim=4), "k_proj"),
    (dict(attention_type="hybrid", hybrid_ratio="0:1", hybrid_softmax_num_heads=2**61,
          hybrid_softmax_num_kv_heads=2**61, hybrid_softmax_head_dim=8), "q_proj"),
])
def test_head_sizes_that_wrap_are_refused(tmp_path, over, proj):
    """Head counts whose product with the head width wraps to the size of an empty projection
    in the file: refused at construction, where they would otherwise make the forward pass walk
    2^62 heads through empty buffers."""
    cfg = modelgen.base_config(num_hidden_layers=1)
    cfg.update(over)
    hybrid = "hybrid_softmax_num_heads" in over
    heads = cfg["hybrid_softmax_num_heads"] if hybrid else cfg["num_attention_heads"]
    kv = cfg["hybrid_softmax_num_kv_heads"] if hybrid else cfg["num_key_value_heads"]
    dim = cfg["hybrid_softmax_head_dim"] if hybrid else cfg["head_dim"]
    path = _wrapped_file(tmp_path, modelgen.base_config(num_hidden_layers=1), heads, kv, dim)
    with pytest.raises(RuntimeError) as ei:
        tessaline.LlmEngine(path, cfg)
    assert str(ei.value).startswith(f"shape overflow for layers.0.attn.{proj}.weight: "), ei.value


@pytest.mark.parametrize("k", [3, 2**40, 2**64 - 1])
def test_more_experts_per_token_than_experts(write_model, k):
    """The refusal comes before any buffer is sized from the count (a count near 2^64 used to
    ask for an absurd allocation first and report the C++ library's text)."""
    cfg = modelgen.base_config(moe_config=modelgen.moe(n_routed_experts=2, num_experts_per_tok=k))
    e = tessaline.LlmEngine(write_model(cfg), cfg)
    for call in (lambda: e.generate(PROMPT, 2), lambda: next(e.streaming_generate(PROMPT, 2))):
        with pytest.raises(RuntimeError) as ei:
            call()
        assert str(ei.value) == "index out of bounds: the len is 2 but the index is 2"


if __name__ == "__main__":
    fuzz_main(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]))


def test_absurd_rotary_width_fails_fast_without_tables(write_model):
    """A rotary width far beyond the heads fails on the first attention layer's narrow; the call
    must not first build prompt x width tables (here 2 x 64 x 2^25 floats, 17 GB)."""
    cfg = modelgen.base_config(partial_rotary_factor=float(2**22))  # head_dim 8 -> rot 2^25
    eng = tessaline.LlmEngine(write_model(cfg), cfg)
    with pytest.raises(RuntimeError, match=r"^narrow invalid args start \+ len > dim_len: "
                                           r"\[1, 4, 64, 8\], dim: 3, start: 0, len:33554432$"):
        eng.generate(list(range(64)), 1)


@pytest.mark.parametrize("over", [
    dict(head_dim=0, num_attention_heads=2**40, num_key_value_heads=2**40),
    dict(attention_type="hybrid", hybrid_ratio="1:0", head_dim=0),
    dict(attention_type="hybrid", hybrid_ratio="1:0", num_attention_heads=0, head_dim=4),
])
def test_empty_heads_finish(write_model, over):
    """Heads of width 0 (however many) or no heads at all do no work: the call finishes, the
    same each time, instead of looping over 2^40 empty heads or touching memory nobody has."""
    cfg = modelgen.base_config(gated_deltanet_config=modelgen.gdn(use_short_conv=False), **over)
    eng = tessaline.LlmEngine(write_model(cfg), cfg)
    run = lambda: eng.generate([1, 2, 3], 3, temperature=0, eos_token_id=NO_EOS)  # noqa: E731
    ids = run()
    assert len(ids) == 3 and run() == ids
