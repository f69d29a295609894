"""Engine construction: the configuration dictionary's reading order, defaults and fallbacks, the
device and dtype texts, the weight file, and release of everything a construction builds.

Nothing extra is exposed for these tests. A construction over a file that does not exist shows
how far it got: the file's error means the whole dictionary was read and the device accepted.
Resolved sizes show through which weight files load."""
from __future__ import annotations

import itertools
import re
import types

import numpy as np
import pytest

import modelgen
import tessaline

MINIMAL = dict(vocab_size=64, hidden_size=32, intermediate_size=48, num_hidden_layers=2,
               num_attention_heads=4)
REQUIRED = list(MINIMAL)
NO_EOS = 2**32 - 1
FILE_ERROR = re.compile(r'^path: ".*no-such-file\.safetensors" ')


def minimal(**over):
    cfg = dict(MINIMAL)
    cfg.update(over)
    return cfg


def construct(path, cfg, *args, **kw):
    """The exception a construction raises (None when it succeeds)."""
    try:
        tessaline.LlmEngine(path, cfg, *args, **kw)
    except BaseException as e:  # noqa: BLE001 - the test inspects whatever comes out
        return e
    return None


def ns(**kw):
    return types.SimpleNamespace(**kw)


def full_moe(**over):
    d = dict(intermediate_size=16, n_routed_experts=4, n_shared_experts=None,
             num_experts_per_tok=2, routed_scaling_factor=1.0, norm_topk_prob=False,
             n_dense_layer=None)
    d.update(over)
    return ns(**d)


class CollidingKey:
    """A key with the hash of `name` whose comparison raises once armed."""
    def __init__(self, name):
        self.name, self.armed = name, False

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        if self.armed:
            raise LookupError(f"compare {self.name}")
        return False


def colliding(name, cfg):
    """cfg with a CollidingKey for `name` stored first, so a lookup of `name` compares with it."""
    key = CollidingKey(name)
    d = {key: 1}
    d.update(cfg)
    key.armed = True
    return d


class Boom:
    """An attribute holder whose every attribute raises."""
    def __getattr__(self, name):
        raise ZeroDivisionError(name)


# --- reading order and errors that stop construction --------------------------------------------

STOP_CASES = [
    ({}, RuntimeError, "Missing vocab_size"),
    *[({k: v for k, v in MINIMAL.items() if k != key}, RuntimeError, f"Missing {key}")
      for key in REQUIRED],
    # Earlier keys are read first.
    ({"num_attention_heads": 4, "vocab_size": 8}, RuntimeError, "Missing hidden_size"),
    (minimal(num_attention_heads=None) | {"hidden_size": None}, TypeError,
     "'NoneType' object cannot be interpreted as an integer"),
    ({k: v for k, v in minimal(head_dim=8).items() if k != "num_attention_heads"}, RuntimeError,
     "Missing num_attention_heads"),
    # Required values convert as unsigned integers; their errors carry no argument prefix.
    (minimal(vocab_size=None), TypeError, "'NoneType' object cannot be interpreted as an integer"),
    (minimal(vocab_size=-5), OverflowError, "can't convert negative int to unsigned"),
    (minimal(hidden_size="32"), TypeError, "'str' object cannot be interpreted as an integer"),
    (minimal(intermediate_size=48.0), TypeError,
     "'float' object cannot be interpreted as an integer"),
    (minimal(num_hidden_layers=2**64), OverflowError, "int too big to convert"),
    (minimal(num_attention_heads=0), RuntimeError, "attempt to divide by zero"),
    # The first step is moe_config, read by attribute; its errors come before everything else.
    ({"moe_config": {}}, AttributeError, "'dict' object has no attribute 'intermediate_size'"),
    (minimal(moe_config=None), AttributeError,
     "'NoneType' object has no attribute 'intermediate_size'"),
    (minimal(moe_config=ns(intermediate_size=1, n_routed_experts=2, n_shared_experts=None,
                           num_experts_per_tok=1, routed_scaling_factor=1.0,
                           norm_topk_prob=False)),
     AttributeError, "'types.SimpleNamespace' object has no attribute 'n_dense_layer'"),
    (minimal(moe_config=full_moe(intermediate_size="16")), TypeError,
     "'str' object cannot be interpreted as an integer"),
    (minimal(moe_config=full_moe(n_routed_experts=None)), TypeError,
     "'NoneType' object cannot be interpreted as an integer"),
    (minimal(moe_config=full_moe(num_experts_per_tok=-1)), OverflowError,
     "can't convert negative int to unsigned"),
    # A failing required attribute stops before later attributes are looked up.
    (minimal(moe_config=ns(intermediate_size=None)), TypeError,
     "'NoneType' object cannot be interpreted as an integer"),
    (minimal(moe_config=Boom()), ZeroDivisionError, "intermediate_size"),
    # A lookup that raises ends construction with that exception.
    (colliding("vocab_size", MINIMAL), LookupError, "compare vocab_size"),
    (colliding("rope_theta", MINIMAL), LookupError, "compare rope_theta"),
    # Head counts of the wrong type stop construction, keeping the conversion's error as cause.
    (minimal(num_key_value_heads=None), RuntimeError, "num_key_value_heads must be an unsigned "
     "integer: 'NoneType' object cannot be interpreted as an integer"),
    (minimal(num_key_value_heads=-1), RuntimeError,
     "num_key_value_heads must be an unsigned integer: can't convert negative int to unsigned"),
    (minimal(head_dim=8.0), RuntimeError,
     "head_dim must be an unsigned integer: 'float' object cannot be interpreted as an integer"),
    (minimal(head_dim="8"), RuntimeError,
     "head_dim must be an unsigned integer: 'str' object cannot be interpreted as an integer"),
]


@pytest.mark.parametrize("cfg,exc,text", STOP_CASES)
@pytest.mark.parametrize("device", ["cpu", "cuda"])
def test_construction_stops(missing_path, cfg, exc, text, device):
    # The dictionary is read before the device: a bad device never hides a configuration error.
    err = construct(missing_path, cfg, device=device)
    assert type(err) is exc, err
    assert str(err) == text
    assert ("must be an unsigned integer" in text) == (err.__cause__ is not None)


PASS_CASES = [
    MINIMAL,
    minimal(num_attention_heads=0, head_dim=8),  # head_dim given: no division
    minimal(head_dim=0), minimal(num_key_value_heads=0),
    minimal(num_key_value_heads=True, head_dim=np.uint8(4)),  # bool and __index__ objects
    minimal(moe_config=full_moe(num_experts_per_tok=99)),  # not checked against the experts here
    # Keys the dictionary holds beyond these are ignored.
    minimal(unknown_key=object(), torch_dtype="bfloat16"),
    # A raising lookup of "moe_config" counts as absent.
    colliding("moe_config", MINIMAL),
]


@pytest.mark.parametrize("cfg", PASS_CASES)
def test_configuration_accepted(missing_path, cfg):
    err = construct(missing_path, cfg)
    assert type(err) is RuntimeError and FILE_ERROR.match(str(err)), err


def test_dict_subclass_read_from_own_storage(missing_path):
    class Defaulting(dict):
        def __missing__(self, key):
            return 8

        def __getitem__(self, key):
            raise AssertionError("item access must not be used")

    err = construct(missing_path, Defaulting(MINIMAL))
    assert FILE_ERROR.match(str(err)), err
    err = construct(missing_path, Defaulting({"vocab_size": 8}))
    assert type(err) is RuntimeError and str(err) == "Missing hidden_size"


def test_attribute_reads_may_run_python_code(missing_path):
    reads = []

    class Recording:
        def __init__(self, values):
            self.values = values

        def __getattr__(self, name):
            reads.append(name)
            if name not in self.values:
                raise AttributeError(name)
            return self.values[name]

    moe = Recording(dict(intermediate_size=16, n_routed_experts=4, n_shared_experts=None,
                         num_experts_per_tok=2, routed_scaling_factor=1.0, norm_topk_prob=False,
                         n_dense_layer=1))
    gdn = Recording({"conv_kernel_size": 4})
    err = construct(missing_path, minimal(moe_config=moe, gated_deltanet_config=gdn))
    assert FILE_ERROR.match(str(err)), err
    assert reads == ["intermediate_size", "n_routed_experts", "n_shared_experts",
                     "num_experts_per_tok", "routed_scaling_factor", "norm_topk_prob",
                     "n_dense_layer", "use_short_conv", "conv_kernel_size", "conv_bias"]


# --- device and dtype ---------------------------------------------------------------------------

CUDA = "CUDA initialization failed: the candle crate has not been built with cuda support"
METAL = "Metal/MPS initialization failed: the candle crate has not been built with metal support"


@pytest.mark.parametrize("device,expected", [
    ("cuda", CUDA), ("Cuda:1", CUDA), ("cudax", CUDA), ("mps", METAL), ("Metal", METAL),
    ("cpu", None), ("gpu", None), ("", None), ("metal:0", None), (" mps", None), ("cud", None),
    ("\u212aernel", None),
])
def test_device_strings(missing_path, device, expected):
    err = construct(missing_path, MINIMAL, "fp32", device)
    assert type(err) is RuntimeError
    if expected is None:
        assert FILE_ERROR.match(str(err)), err  # CPU: got as far as the file
    else:
        assert str(err) == expected


# --- the weight file ----------------------------------------------------------------------------

def test_not_a_safetensors_file(tmp_path):
    path = tmp_path / "junk.safetensors"
    path.write_bytes(b"hello, this is not a weight file")
    err = construct(str(path), MINIMAL)
    assert type(err) is RuntimeError and str(err).startswith(f'path: "{path}" '), err


def test_path_with_nul_byte_is_refused(write_model, tmp_path):
    """A NUL byte would cut the path short at the operating system; the file named by the part
    before it must not be opened instead."""
    cfg = modelgen.base_config()
    good = write_model(cfg)
    assert tessaline.LlmEngine(good, cfg) is not None
    err = construct(good + "\0'.ignored", cfg)
    assert type(err) is RuntimeError
    assert str(err) == f'path: "{good}\\0\\\'.ignored" file name contained an unexpected NUL byte'
    # Reported only once the configuration and the device have been accepted.
    assert str(construct(good + "\0", {})) == "Missing vocab_size"
    assert str(construct(good + "\0", cfg, device="mps")) == METAL


# Every tensor the loader asks for, in the order it asks: with the file cut short at any tensor,
# construction names exactly that one. The configuration turns every switch on.
FULL = modelgen.base_config(
    num_hidden_layers=3, attention_type="hybrid", hybrid_ratio="1:1", hybrid_softmax_gated=True,
    hybrid_softmax_num_heads=2, hybrid_softmax_num_kv_heads=1, hybrid_softmax_head_dim=12,
    attention_qkv_bias=True, attention_out_bias=True, mlp_bias=True, lm_head_bias=True,
    gated_deltanet_config=modelgen.gdn(conv_bias=True),
    moe_config=modelgen.moe(n_shared_experts=1, n_dense_layer=1))


def test_tensors_are_fetched_in_order(write_model):
    tensors = modelgen.random_weights(FULL, tied=False)
    names = list(tensors)  # the writer's order is the fetch order
    assert construct(write_model(FULL, tensors=tensors), FULL) is None
    for i, name in enumerate(names):
        path = write_model(FULL, name=f"cut{i}.st", tensors={n: tensors[n] for n in names[:i]})
        err = construct(path, FULL)
        if name == "lm_head.weight":  # without its own head the model uses the embedding table
            assert err is None, err
        else:
            assert type(err) is RuntimeError and str(err) == f"cannot find tensor {name}", (i, err)


def edited(cfg, **edits):
    """Random weights for cfg with tensors replaced (None: removed)."""
    tensors = modelgen.random_weights(cfg, tied=False)
    for name, value in edits.items():
        name = name.replace("__", ".")
        tensors.pop(name) if value is None else tensors.__setitem__(name, value)
    return tensors


Z = np.zeros
# (configuration, tensor edits, text, step): the construction fails with RuntimeError(text), or
# with step "generate" the first step of generate does.
LOAD_ERRORS = [
    ({}, dict(lm_head__weight=Z((32, 64), np.float32)),
     "shape mismatch for lm_head.weight, expected: [64, 32], got: [32, 64]", ""),
    # The first failing tensor in fetch order is named, a missing one or a misshapen one.
    ({}, dict(layers__0__mlp_norm__weight=Z((4, 8), np.float32),
              layers__1__attn__q_proj__weight=None),
     "shape mismatch for layers.0.mlp_norm.weight, expected: [32], got: [4, 8]", ""),
    ({}, dict(layers__0__attn__k_proj__weight=None, layers__1__mlp_norm__weight=Z(3, np.float32)),
     "cannot find tensor layers.0.attn.k_proj.weight", ""),
    # An odd rotary width is refused once every tensor has loaded.
    (dict(partial_rotary_factor=0.375), {},
     "Shape mismatch, got buffer of size 2 which is compatible with shape [1]", ""),
    (dict(partial_rotary_factor=0.375), dict(head_norm__weight=None),
     "cannot find tensor head_norm.weight", ""),
    (dict(partial_rotary_factor=1e30), {},
     "rotary width 18446744073709551615 (head_dim x partial_rotary_factor) is too large", ""),
    (dict(attention_type="hybrid", hybrid_ratio="1:0", num_hidden_layers=1,
          gated_deltanet_config=modelgen.gdn(conv_kernel_size=0)), {},
     "invalid short convolution layers.0.attn.conv_q.conv.weight: channels 32 and kernel size 0 "
     "(both must be at least 1)", ""),
    (dict(moe_config=modelgen.moe(n_routed_experts=0, num_experts_per_tok=0)), {},
     "empty tensor for reduce", "generate"),
    (dict(num_attention_heads=6, head_dim=8, num_key_value_heads=4), {},
     "shape mismatch in reshape, lhs: [1, 4, 1, 3, 8], rhs: [1, 6, 3, 8]", "generate"),
    (dict(num_key_value_heads=0), {}, "attempt to divide by zero", "generate"),
]


@pytest.mark.parametrize("over,edits,text,step", LOAD_ERRORS)
def test_load_and_first_step_errors(write_model, over, edits, text, step):
    cfg = modelgen.base_config(**over)
    path = write_model(cfg, tensors=edited(cfg, **edits))
    err = construct(path, cfg)
    if step:
        assert err is None, err
        with pytest.raises(RuntimeError) as ei:
            tessaline.LlmEngine(path, cfg).generate([1, 2, 3], 1)
        err = ei.value
    assert type(err) is RuntimeError and str(err) == text


# Layer kinds: (attention_type, hybrid_ratio) against the simple ratio with the same 8 layers.
@pytest.mark.parametrize("kind,ratio,same", [
    ("hybrid", "3:1", "3:1"), ("Hybrid", "3:1", "0:1"), ("hybrid ", "3:1", "0:1"),
    ("softmax", "1:1", "0:1"), ("hybrid", "1:0", "1:0"), ("hybrid", "", "3:1"),
    ("hybrid", "ab", "3:1"), ("hybrid", "-1:1", "3:1"), ("hybrid", " 3:1", "3:1"),
    ("hybrid", "2:", "2:1"), ("hybrid", "5", "5:1"), ("hybrid", "+2:+2", "2:2"),
    ("hybrid", "2:2:7", "2:2"), ("hybrid", "++2:1", "3:1"), ("hybrid", "2: 1", "2:1"),
    ("hybrid", f"{2**64 - 1}:1", "0:1"), ("hybrid", f"{2**64}:1", "3:1"),
    ("hybrid", f"1:{2**64 - 1}", "0:1"),
])
def test_layer_kinds(write_model, kind, ratio, same):
    file_cfg = minimal(num_hidden_layers=8, attention_type="hybrid", hybrid_ratio=same)
    err = loads(write_model, file_cfg, minimal(num_hidden_layers=8, attention_type=kind,
                                               hybrid_ratio=ratio))
    assert err is None, err


# --- loaded models: defaults and fallbacks observed through which files load --------------------

_names = itertools.count()


def loads(write_model, file_cfg, cfg, **kw):
    """None when an engine over a file written for `file_cfg` constructs with `cfg`, else the
    error text."""
    path = write_model(file_cfg, name=f"m{next(_names)}.safetensors", **kw)
    err = construct(path, cfg)
    return None if err is None else f"{type(err).__name__}: {err}"


def test_only_required_keys_give_the_defaults(write_model):
    # The file is written for every default spelled out; the minimal dictionary must match it.
    spelled = minimal(num_key_value_heads=4, head_dim=8, use_qk_norm=True, attention_qkv_bias=False,
                      attention_out_bias=False, mlp_bias=False, attention_type="softmax")
    assert loads(write_model, spelled, MINIMAL) is None
    e = tessaline.LlmEngine(write_model(spelled, name="d.st"), MINIMAL)
    assert len(e.generate([1, 2, 3], 3, temperature=0, eos_token_id=NO_EOS)) == 3


@pytest.mark.parametrize("file_over,cfg_over,ok", [
    # head_dim = hidden_size // num_attention_heads, remainder dropped.
    ({"hidden_size": 50, "head_dim": 12}, {"hidden_size": 50}, True),
    ({"hidden_size": 50, "head_dim": 8}, {"hidden_size": 50}, False),
    # num_key_value_heads defaults to num_attention_heads.
    ({"num_key_value_heads": 4}, {}, True),
    ({"num_key_value_heads": 2}, {}, False),
    # Ints are not bools: 0 keeps use_qk_norm true, 1 keeps the bias flags false.
    ({"use_qk_norm": False}, {"use_qk_norm": 0}, False),
    ({"use_qk_norm": False}, {"use_qk_norm": False}, True),
    ({}, {"mlp_bias": 1, "attention_qkv_bias": 1, "attention_out_bias": 1}, True),
    ({}, {"use_qk_norm": False}, True),  # tensors nobody asks for are ignored
    ({}, {"mlp_bias": True}, False),
    ({}, {"attention_qkv_bias": np.True_}, False),
    ({"attention_qkv_bias": True}, {"attention_qkv_bias": np.True_}, True),
    # attention_type None reads as "softmax"; only exactly "hybrid" switches layer kinds.
    ({}, {"attention_type": None, "hybrid_softmax_gated": True}, True),
    ({}, {"attention_type": "Hybrid", "hybrid_softmax_head_dim": 4}, True),
    ({}, {"attention_type": "hybrid"}, False),
])
def test_resolved_sizes_and_flags(write_model, file_over, cfg_over, ok):
    file_cfg = minimal(**file_over)
    err = loads(write_model, file_cfg, minimal(**cfg_over))
    assert (err is None) == ok, err


HYBRID = minimal(attention_type="hybrid", hybrid_ratio="1:1")


@pytest.mark.parametrize("file_over,cfg_over,ok", [
    ({}, {}, True),
    # hybrid_softmax_head_dim None is unset: the softmax layers keep head_dim.
    ({}, {"hybrid_softmax_head_dim": None, "hybrid_softmax_num_kv_heads": "x"}, True),
    ({"hybrid_softmax_head_dim": 4}, {"hybrid_softmax_head_dim": None}, False),
    ({"hybrid_softmax_head_dim": 4}, {"hybrid_softmax_head_dim": 4}, True),
    # The gated_deltanet_config settings are attributes; a dict gives the defaults.
    ({}, {"gated_deltanet_config": {"conv_kernel_size": 8}}, True),
    ({}, {"gated_deltanet_config": ns(conv_kernel_size=8)}, False),
    ({"gated_deltanet_config": modelgen.gdn(conv_kernel_size=8)},
     {"gated_deltanet_config": ns(conv_kernel_size=8)}, True),
    ({"gated_deltanet_config": modelgen.gdn(use_short_conv=False)},
     {"gated_deltanet_config": ns(use_short_conv=0)}, False),
    ({"gated_deltanet_config": modelgen.gdn(conv_bias=True)},
     {"gated_deltanet_config": ns(conv_bias=True)}, True),
    ({}, {"gated_deltanet_config": ns(conv_bias=True)}, False),
    ({}, {"gated_deltanet_config": ns(conv_bias=1)}, True),
    ({}, {"gated_deltanet_config": None}, True),
    ({}, {"gated_deltanet_config": Boom()}, True),
    ({}, {"gated_deltanet_config": ns(use_short_conv=1, conv_kernel_size=-4, conv_bias="x")}, True),
    # Wrongly typed layout settings: "3:1", unset head count, no gate.
    ({"hybrid_ratio": "3:1"}, {"hybrid_ratio": 31}, True),
    ({}, {"hybrid_softmax_num_heads": -2, "hybrid_softmax_gated": 0}, True),
])
def test_hybrid_settings(write_model, file_over, cfg_over, ok):
    err = loads(write_model, {**HYBRID, **file_over}, {**HYBRID, **cfg_over})
    assert (err is None) == ok, err


@pytest.mark.parametrize("file_moe,cfg_moe,ok", [
    (modelgen.moe(), full_moe(n_shared_experts=None, n_dense_layer=None), True),
    (modelgen.moe(), full_moe(n_shared_experts="1", n_dense_layer=-1), True),
    (modelgen.moe(n_dense_layer=1), full_moe(n_dense_layer=1), True),
    (modelgen.moe(n_dense_layer=1), full_moe(n_dense_layer=None), False),
    (modelgen.moe(n_shared_experts=2), full_moe(n_shared_experts=2), True),
    (modelgen.moe(), full_moe(n_shared_experts=2.0), True),
    (modelgen.moe(), full_moe(n_shared_experts=2), False),
])
def test_moe_settings(write_model, file_moe, cfg_moe, ok):
    err = loads(write_model, minimal(moe_config=file_moe), minimal(moe_config=cfg_moe))
    assert (err is None) == ok, err


def test_zero_layers(write_model):
    cfg = minimal(num_hidden_layers=0)
    e = tessaline.LlmEngine(write_model(cfg), cfg)
    assert len(e.generate([1, 2], 4, temperature=0, eos_token_id=NO_EOS)) == 4
    assert list(e.streaming_generate([1, 2], 4, temperature=0)) == e.generate([1, 2], 4,
                                                                              temperature=0)


PROMPTS = ([1, 2, 3], [5], [9, 8, 7, 6, 5, 4])


# (where, key, value, a value computing the same, one computing otherwise): a wrongly typed
# optional value computes as its default; ints and NumPy scalars are taken as they are.
COMPUTED = [
    ("cfg", "norm_eps", None, 1e-6, 0.0), ("cfg", "norm_eps", "x", 1e-6, 1e-3),
    ("cfg", "norm_eps", np.float32(1e-3), 1e-3, 1e-6),
    ("cfg", "rope_theta", 500000, 500000.0, 10000.0), ("cfg", "rope_theta", None, 10000.0, 500.0),
    ("cfg", "rope_theta", "big", 10000.0, 500.0),
    ("cfg", "partial_rotary_factor", "1", 1.0, 0.0), ("cfg", "partial_rotary_factor", 0, 0.0, 1.0),
    ("cfg", "lm_head_bias", 1.0, False, True), ("cfg", "lm_head_bias", np.True_, True, False),
    ("moe", "routed_scaling_factor", "x", 1.0, 0.0), ("moe", "routed_scaling_factor", 2, 2.0, 1.0),
    ("moe", "norm_topk_prob", 1, False, True), ("moe", "norm_topk_prob", None, False, True),
]


@pytest.mark.parametrize("where,key,value,same,other", COMPUTED)
def test_optional_values_as_the_model_computes_them(write_model, where, key, value, same, other):
    base = modelgen.base_config(moe_config=modelgen.moe())
    tensors = modelgen.random_weights(base, tied=False)
    tensors["embed_tokens.weight"] *= np.float32(1e-3)  # mean square near norm_eps
    path = write_model(base, tensors=tensors)

    def run(v):
        cfg = modelgen.base_config(moe_config=modelgen.moe())
        setattr(cfg["moe_config"], key, v) if where == "moe" else cfg.update({key: v})
        e = tessaline.LlmEngine(path, cfg)
        return [e.generate(p, 16, seed=i, eos_token_id=NO_EOS) for i, p in enumerate(PROMPTS)]
    assert run(value) == run(same) != run(other)


@pytest.mark.parametrize("value,bound", [(2048.0, 4096), (-1, 4096), (None, 4096), (40, 40)])
def test_max_position_embeddings_bounds_the_prompt(write_model, value, bound):
    cfg = modelgen.base_config(max_position_embeddings=value)
    e = tessaline.LlmEngine(write_model(modelgen.base_config()), cfg)
    assert len(e.generate(list(range(1, 17)) * (bound // 16) + [1] * (bound % 16), 1)) == 1
    with pytest.raises(RuntimeError) as ei:
        e.generate([1] * (bound + 1), 1)
    assert f"[{bound}, {bound}]" in str(ei.value) and "narrow invalid args" in str(ei.value)


def test_dtype_selection(write_model):
    """Which compute dtype a text selects: F16 turns embeddings beyond its range into infinities
    (and the logits into NaN, which greedy choice cannot order); BF16 fails at its first matrix
    product; everything else is F32."""
    cfg = modelgen.base_config()
    tensors = modelgen.random_weights(cfg)
    tensors["embed_tokens.weight"][:] = 1e5
    path = write_model(cfg, tensors=tensors)
    for dtype in ("fp32", "FP32", "float32", "half", "f16", "", "F16 "):
        e = tessaline.LlmEngine(path, cfg, dtype)
        assert len(e.generate([1], 2, temperature=0, eos_token_id=NO_EOS)) == 2
    for dtype in ("fp16", "FP16", "Float16", "float16"):
        with pytest.raises(RuntimeError, match=r"^called `Option::unwrap\(\)` on a `None` value$"):
            tessaline.LlmEngine(path, cfg, dtype).generate([1], 2, temperature=0)
    for dtype in ("bf16", "BF16", "bfloat16", "BFloat16"):
        e = tessaline.LlmEngine(path, cfg, dtype)  # loads
        with pytest.raises(RuntimeError, match=r"^unsupported dtype BF16 for op matmul$"):
            e.generate([1], 1)
