"""The module's Python surface: registration, classes, argument binding and conversion texts,
and reference counts. Borrow flags and thread binding: test_hostile.py, test_threads.py."""
from __future__ import annotations

import array
import gc
import importlib
import inspect
import pathlib
import sys
import weakref

import numpy as np
import pytest

import modelgen
import tessaline

SIG_TAIL = ("input_ids, max_new_tokens, temperature=1.0, top_k=None, top_p=None, "
            "repetition_penalty=1.0, exclude_penalty_tokens=None, suppress_tokens=None, "
            "eos_token_id=2, seed=42")
GEN_PARAMS = ["input_ids", "max_new_tokens", "temperature", "top_k", "top_p",
              "repetition_penalty", "exclude_penalty_tokens", "suppress_tokens", "eos_token_id",
              "seed"]
METHODS = ["generate", "streaming_generate"]


# --- module and classes -------------------------------------------------------------------------

def test_module_definition():
    assert tessaline.__all__ == ["LlmEngine", "LlmStreamer"]
    assert tessaline.__doc__ == ""
    assert [n for n in dir(tessaline) if not n.startswith("__")] == ["LlmEngine", "LlmStreamer"]


def test_reimport_hands_out_the_same_classes():
    engine_cls, streamer_cls = tessaline.LlmEngine, tessaline.LlmStreamer
    saved = sys.modules.pop("tessaline")
    try:
        fresh = importlib.import_module("tessaline")
        assert fresh is not saved
        assert fresh.LlmEngine is engine_cls and fresh.LlmStreamer is streamer_cls
        assert fresh.__all__ == ["LlmEngine", "LlmStreamer"]
    finally:
        sys.modules["tessaline"] = saved


@pytest.mark.parametrize("cls,name", [(tessaline.LlmEngine, "LlmEngine"),
                                      (tessaline.LlmStreamer, "LlmStreamer")])
def test_class_identity_and_flags(cls, name):
    assert cls.__module__ == "tessaline" and cls.__qualname__ == name
    assert cls.__bases__ == (object,) and type(cls) is type
    with pytest.raises(TypeError, match=f"type 'tessaline.{name}' is not an acceptable base type"):
        type("Sub", (cls,), {})
    assert "__dict__" not in dir(cls) and "__weakref__" not in dir(cls)


def test_docstrings_and_signatures():
    E = tessaline.LlmEngine
    assert E.__doc__ == ""
    assert E.__text_signature__ == '(weights_path, config_dict, dtype="fp32", device="cpu")'
    assert str(inspect.signature(E)) == "(weights_path, config_dict, dtype='fp32', device='cpu')"
    assert tessaline.LlmStreamer.__doc__ is None
    for m in METHODS:
        meth = getattr(E, m)
        assert meth.__doc__ is None
        assert meth.__text_signature__ == f"($self, {SIG_TAIL})"
        params = list(inspect.signature(meth).parameters)
        assert params == ["self"] + GEN_PARAMS
        defaults = {p.name: p.default for p in inspect.signature(meth).parameters.values()}
        assert defaults["temperature"] == 1.0 and defaults["top_k"] is None
        assert defaults["eos_token_id"] == 2 and defaults["seed"] == 42
    assert E.clear_kv_cache.__text_signature__ == "($self)"
    assert list(inspect.signature(E.clear_kv_cache).parameters) == ["self"]
    assert [n for n in vars(E) if not n.startswith("__")] == [
        "clear_kv_cache", "generate", "streaming_generate"]


def test_streamer_cannot_be_created_directly():
    with pytest.raises(TypeError, match=r"^cannot create 'tessaline.LlmStreamer' instances$"):
        tessaline.LlmStreamer()


def test_instances_have_no_dict_and_no_weakref(engine):
    s = engine.streaming_generate([1], 0)
    for obj in (engine, s):
        with pytest.raises(AttributeError):
            obj.anything = 1
        with pytest.raises(TypeError):
            weakref.ref(obj)


def test_iterating_a_streamer_yields_itself(engine):
    s = engine.streaming_generate([1], 0)
    assert iter(s) is s and iter(iter(s)) is s


# --- binding ------------------------------------------------------------------------------------

# (function, positional arguments, keywords, text); "both" rows hold for generate and
# streaming_generate alike, and {f} is the function's name.
BINDING_CASES = [
    ("both", (), {},
     "{f} missing 2 required positional arguments: 'input_ids' and 'max_new_tokens'"),
    ("both", ([1],), {}, "{f} missing 1 required positional argument: 'max_new_tokens'"),
    ("both", (), {"max_new_tokens": 1}, "{f} missing 1 required positional argument: 'input_ids'"),
    ("both", tuple(range(11)), {}, "{f} takes from 2 to 10 positional arguments but 11 were given"),
    ("both", ([1], 1), {"bogus": 1}, "{f} got an unexpected keyword argument 'bogus'"),
    ("both", ([1], 1), {"input_ids": [1]}, "{f} got multiple values for argument 'input_ids'"),
    # Names are compared whole: one holding a NUL names no parameter, not its prefix.
    ("both", ([1],), {"max_new_tokens\0x": 4},
     "{f} got an unexpected keyword argument 'max_new_tokens\0x'"),
    ("both", ([5], 1), {"input_ids\0": [5]},
     "{f} got an unexpected keyword argument 'input_ids\0'"),
    # The first offending keyword wins, and binding comes before any conversion.
    ("both", ("not ids", None), {"zzz": 1, "input_ids": 2},
     "{f} got an unexpected keyword argument 'zzz'"),
    # Too many positionals is reported before keyword problems.
    ("both", tuple(range(11)), {"bogus": 1},
     "{f} takes from 2 to 10 positional arguments but 11 were given"),
    ("__new__", (), {},
     "{f} missing 2 required positional arguments: 'weights_path' and 'config_dict'"),
    ("__new__", ("p",), {}, "{f} missing 1 required positional argument: 'config_dict'"),
    ("__new__", ("p", {}, "fp32", "cpu", 5), {},
     "{f} takes from 2 to 4 positional arguments but 5 were given"),
    ("__new__", ("p", {}), {"weights_path": "q"},
     "{f} got multiple values for argument 'weights_path'"),
    ("__new__", ("p", {}), {"dtype": "fp16", "path": 1},
     "{f} got an unexpected keyword argument 'path'"),
    ("__new__", ("p", {}), {"dtype\0junk": "fp16"},
     "{f} got an unexpected keyword argument 'dtype\0junk'"),
    ("__new__", (), {"config_dict": {}}, "{f} missing 1 required positional argument: "
                                         "'weights_path'"),
    ("clear_kv_cache", (1,), {}, "{f} takes no arguments (1 given)"),
    ("clear_kv_cache", (), {"x": 1}, "{f} takes no keyword arguments"),
]


@pytest.mark.parametrize("name,args,kwargs,text", [
    (m if f == "both" else f, a, k, t) for f, a, k, t in BINDING_CASES
    for m in (METHODS if f == "both" else [f])])
def test_binding_errors(engine, name, args, kwargs, text):
    call = tessaline.LlmEngine if name == "__new__" else getattr(engine, name)
    with pytest.raises(TypeError) as ei:
        call(*args, **kwargs)
    assert str(ei.value) == text.format(f=f"LlmEngine.{name}()")
    assert engine.clear_kv_cache() is None


def test_every_parameter_binds_by_position_or_keyword(sampled):
    """Each value reaches its own parameter: the ids are those the sampling reference chooses with
    these settings, which differ from parameter to parameter."""
    engine, expect = sampled(modelgen.base_config())
    values = [[1, 2], 12, 1.7, 5, 0.6, 1.3, [39], [36], 50, 9]
    want = expect(**dict(zip(["prompt", "n"] + GEN_PARAMS[2:], values)))
    for method in METHODS:
        m = getattr(engine, method)
        for call in (lambda: m(*values), lambda: m(**dict(zip(GEN_PARAMS, values))),
                     lambda: m(*values[:5], **dict(zip(GEN_PARAMS[5:], values[5:])))):
            assert list(call()) == want


# --- conversions --------------------------------------------------------------------------------

class Idx:
    """An object usable only through __index__."""
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Outer:
    class Inner:
        pass


class MyTypeError(TypeError):
    pass


class RaisingIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


def _seq_iter_raises():
    class Seq:
        def __len__(self):
            return 2

        def __getitem__(self, i):
            raise ValueError("item boom")
    return Seq()


# (keyword arguments on top of input_ids=[1], max_new_tokens=0, exception, exact text)
CONVERSION_CASES = [
    ({"input_ids": "abc"}, TypeError, "argument 'input_ids': Can't extract `str` to `Vec`"),
    ({"input_ids": {1, 2}}, TypeError,
     "argument 'input_ids': 'set' object is not an instance of 'Sequence'"),
    ({"input_ids": None}, TypeError,
     "argument 'input_ids': 'None' is not an instance of 'Sequence'"),
    ({"input_ids": 5}, TypeError,
     "argument 'input_ids': 'int' object is not an instance of 'Sequence'"),
    ({"input_ids": Outer.Inner()}, TypeError,
     "argument 'input_ids': 'Outer.Inner' object is not an instance of 'Sequence'"),
    ({"input_ids": [1, -1]}, OverflowError, "out of range integral type conversion attempted"),
    ({"input_ids": [2**32]}, OverflowError, "out of range integral type conversion attempted"),
    ({"input_ids": [2**63]}, OverflowError, "Python int too large to convert to C long"),
    ({"input_ids": [1, 1.5]}, TypeError,
     "argument 'input_ids': 'float' object cannot be interpreted as an integer"),
    ({"input_ids": [None]}, TypeError,
     "argument 'input_ids': 'NoneType' object cannot be interpreted as an integer"),
    ({"input_ids": _seq_iter_raises()}, ValueError, "item boom"),
    ({"max_new_tokens": -1}, OverflowError, "can't convert negative int to unsigned"),
    ({"max_new_tokens": 2**64}, OverflowError, "int too big to convert"),
    ({"max_new_tokens": None}, TypeError,
     "argument 'max_new_tokens': 'NoneType' object cannot be interpreted as an integer"),
    ({"max_new_tokens": 1.0}, TypeError,
     "argument 'max_new_tokens': 'float' object cannot be interpreted as an integer"),
    ({"temperature": "hot"}, TypeError, "argument 'temperature': must be real number, not str"),
    ({"temperature": 10**400}, OverflowError, "int too large to convert to float"),
    ({"top_k": -1}, OverflowError, "can't convert negative int to unsigned"),
    ({"top_k": 0.5}, TypeError,
     "argument 'top_k': 'float' object cannot be interpreted as an integer"),
    ({"top_p": [0.5]}, TypeError, "argument 'top_p': must be real number, not list"),
    ({"repetition_penalty": "1"}, TypeError,
     "argument 'repetition_penalty': must be real number, not str"),
    ({"exclude_penalty_tokens": "ab"}, TypeError,
     "argument 'exclude_penalty_tokens': Can't extract `str` to `Vec`"),
    ({"exclude_penalty_tokens": [-3]}, OverflowError,
     "out of range integral type conversion attempted"),
    ({"suppress_tokens": {3}}, TypeError,
     "argument 'suppress_tokens': 'set' object is not an instance of 'Sequence'"),
    ({"eos_token_id": None}, TypeError,
     "argument 'eos_token_id': 'NoneType' object cannot be interpreted as an integer"),
    ({"eos_token_id": 2**32}, OverflowError, "out of range integral type conversion attempted"),
    ({"seed": None}, TypeError,
     "argument 'seed': 'NoneType' object cannot be interpreted as an integer"),
    ({"seed": -1}, OverflowError, "can't convert negative int to unsigned"),
    # Errors raised by the caller's own conversion code pass unchanged; a TypeError subclass too.
    ({"max_new_tokens": RaisingIndex(ValueError("own"))}, ValueError, "own"),
    ({"max_new_tokens": RaisingIndex(MyTypeError("sub"))}, MyTypeError, "sub"),
    ({"seed": RaisingIndex(TypeError("plain"))}, TypeError, "argument 'seed': plain"),
    # The first failing parameter (in parameter order) is the one reported.
    ({"input_ids": "abc", "seed": None}, TypeError,
     "argument 'input_ids': Can't extract `str` to `Vec`"),
    ({"top_k": "x", "temperature": "y"}, TypeError,
     "argument 'temperature': must be real number, not str"),
    ({"eos_token_id": -1, "suppress_tokens": "s"}, TypeError,
     "argument 'suppress_tokens': Can't extract `str` to `Vec`"),
    # The constructor's texts, on top of weights_path="m" and config_dict={}.
    ({"weights_path": None}, TypeError,
     "argument 'weights_path': 'None' is not an instance of 'str'"),
    ({"weights_path": pathlib.Path("m")}, TypeError,
     "argument 'weights_path': 'PosixPath' object is not an instance of 'str'"),
    ({"config_dict": None}, TypeError,
     "argument 'config_dict': 'None' is not an instance of 'dict'"),
    ({"config_dict": [("vocab_size", 1)]}, TypeError,
     "argument 'config_dict': 'list' object is not an instance of 'dict'"),
    ({"dtype": None}, TypeError, "argument 'dtype': 'None' is not an instance of 'str'"),
    ({"device": None}, TypeError, "argument 'device': 'None' is not an instance of 'str'"),
    ({"weights_path": 1, "config_dict": 2, "dtype": 3, "device": 4}, TypeError,
     "argument 'weights_path': 'int' object is not an instance of 'str'"),
    ({"config_dict": 2, "dtype": None}, TypeError,
     "argument 'config_dict': 'int' object is not an instance of 'dict'"),
    # A text that cannot be encoded fails unwrapped.
    ({"weights_path": "bad\ud800path"}, UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\ud800' in position 3: surrogates not allowed"),
]


CONSTRUCTOR = {"weights_path", "config_dict", "dtype", "device"}


@pytest.mark.parametrize("name,kwargs,exc,text", [
    (m, k, e, t) for k, e, t in CONVERSION_CASES
    for m in (["__new__"] if set(k) & CONSTRUCTOR else METHODS)])
def test_conversion_errors(engine, name, kwargs, exc, text):
    if name == "__new__":
        call, base = tessaline.LlmEngine, {"weights_path": "m", "config_dict": {}}
    else:
        call, base = getattr(engine, name), {"input_ids": [1], "max_new_tokens": 0}
    with pytest.raises(Exception) as ei:
        call(**{**base, **kwargs})
    assert type(ei.value) is exc
    assert str(ei.value) == text


def test_wrapped_type_error_keeps_the_cause(engine):
    class Chained:
        def __index__(self):
            try:
                raise KeyError("root")
            except KeyError as e:
                raise TypeError("outer") from e
    with pytest.raises(TypeError, match=r"^argument 'seed': outer$") as ei:
        engine.generate([1], 0, seed=Chained())
    assert isinstance(ei.value.__cause__, KeyError)
    with pytest.raises(TypeError) as ei:
        engine.generate([1], 0, seed=None)
    assert ei.value.__cause__ is None and ei.value.__suppress_context__


@pytest.mark.parametrize("ids", [
    (1, 2), range(1, 4), b"\x01\x02", bytearray(b"\x03"), array.array("I", [1, 2]),
    np.array([1, 2], dtype=np.uint32), np.array([1, 2], dtype=np.int64), [np.int64(3), Idx(4)],
    [True, False], [], [0, 2**32 - 1],
])
@pytest.mark.parametrize("method", METHODS)
def test_token_list_forms_accepted(engine, method, ids):
    # max_new_tokens 0: binding and conversion only, no forward pass.
    result = getattr(engine, method)(ids, 0, suppress_tokens=ids, exclude_penalty_tokens=ids)
    assert list(result) == []


@pytest.mark.parametrize("method", METHODS)
def test_scalar_forms_accepted(sampled, method):
    engine, expect = sampled(modelgen.base_config())
    m = getattr(engine, method)
    assert list(m([1], Idx(12), temperature=2, top_k=Idx(3), top_p=Idx(1), repetition_penalty=True,
                  eos_token_id=Idx(5), seed=Idx(2**64 - 1))) == \
        expect([1], 12, temperature=2.0, top_k=3, eos_token_id=5, seed=2**64 - 1)
    assert list(m([1], 12, temperature=None, top_k=None, top_p=None, repetition_penalty=None,
                  exclude_penalty_tokens=None, suppress_tokens=None, eos_token_id=2**32 - 1,
                  seed=0)) == expect([1], 12, eos_token_id=2**32 - 1, seed=0)
    assert list(m([1], True, seed=3)) == expect([1], 1, seed=3)
    assert list(m([1], 12, temperature=1e300, top_p=-1e300, repetition_penalty=float("nan"))) == \
        expect([1], 12, temperature=float("inf"))


def test_absurd_length_hint_is_not_reserved(engine):
    class Liar:
        def __len__(self):
            return sys.maxsize

        def __getitem__(self, i):
            if i < 3:
                return i
            raise IndexError(i)
    assert engine.generate(Liar(), 0) == []
    s = engine.streaming_generate(Liar(), 0)
    assert list(s) == []

    class BadLen(Liar):
        def __len__(self):
            raise ValueError("no length")
    assert engine.generate(BadLen(), 0) == []


def test_calls_keep_reference_counts(engine):
    """Arguments are borrowed, never kept or over-released, on success and failure paths alike."""
    ids, sup, exc, idx = [1, 2, 3], [4], [5], Idx(3)
    objs = [ids, sup, exc, idx, engine]

    def work():
        engine.generate(ids, 2, suppress_tokens=sup, exclude_penalty_tokens=exc, seed=idx)
        list(engine.streaming_generate(ids, idx, suppress_tokens=sup, exclude_penalty_tokens=exc))
        for bad in (dict(seed=None), dict(input_ids="x"), dict(top_k=-1), dict(bogus=1),
                    dict(eos_token_id=RaisingIndex(ValueError("x")))):
            with pytest.raises(Exception):
                engine.generate(**{"input_ids": ids, "max_new_tokens": idx, **bad})
        next(iter(engine.streaming_generate(ids, 1, seed=idx)))
    work()
    gc.collect()
    before = [sys.getrefcount(o) for o in objs]
    for _ in range(50):
        work()
    gc.collect()
    assert [sys.getrefcount(o) for o in objs] == before


def test_error_text_keeps_nul_bytes_from_the_file(tmp_path):
    """A tensor name read from the file may hold a NUL; the error text must carry all of it."""
    import json
    import struct
    header = json.dumps({"a\u0000b": {"dtype": "F32", "shape": [1], "data_offsets": [4, 8]}}).encode()
    path = tmp_path / "nul.safetensors"
    path.write_bytes(struct.pack("<Q", len(header)) + header + bytes(8))
    cfg = dict(vocab_size=8, hidden_size=4, intermediate_size=4, num_hidden_layers=0,
               num_attention_heads=1)
    with pytest.raises(RuntimeError) as info:
        tessaline.LlmEngine(str(path), cfg)
    assert str(info.value).endswith('InvalidOffset("a\\0b")')
