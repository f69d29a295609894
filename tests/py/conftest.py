"""Shared fixtures.

Puts the test build directory (env TESSALINE_TEST_BUILD, default build/tests; relative paths are
taken from the repository root) on sys.path, so the test-only module `tessaline_testing` built
there can be imported; provides the fixture that builds a model on both sides (make_model), tiny
random models written to a temporary folder with engines over them (write_model, make_engine,
engine), and an engine with the ids the sampling reference expects of it (sampled)."""
import itertools
import os
import pathlib
import sys

import numpy as np
import pytest

_ROOT = pathlib.Path(__file__).resolve().parents[2]
# modelgen lives with the tools (the demo writes its model with it). Test files that run themselves
# in a child interpreter import it there too, through the inherited PYTHONPATH.
_TOOLS = str(_ROOT / "tools")
sys.path[:0] = [os.path.dirname(__file__), _TOOLS]
os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [_TOOLS, os.environ.get("PYTHONPATH")]))

import modelgen  # noqa: E402

# One model of each mixer layout, shared by the generation and sampling tests.
MIXER_CONFIGS = {
    "softmax": {},
    "hybrid": dict(attention_type="hybrid", hybrid_ratio="3:1", num_hidden_layers=4),
    "moe": dict(moe_config=modelgen.moe(n_shared_experts=1, n_dense_layer=1),
                attention_type="hybrid", hybrid_ratio="1:1", num_hidden_layers=3),
    "gated": dict(attention_type="hybrid", hybrid_ratio="1:1", hybrid_softmax_gated=True,
                  gated_deltanet_config=modelgen.gdn(conv_bias=True), use_qk_norm=False),
}

_build = pathlib.Path(os.environ.get("TESSALINE_TEST_BUILD", "build/tests"))
if not _build.is_absolute():
    _build = _ROOT / _build
if str(_build) not in sys.path:
    sys.path.append(str(_build))


@pytest.fixture
def make_model(tmp_path):
    """make_model(cfg, dtype, seed=0, tied=False, extra=None) -> (tessaline_testing.Model,
    reference.Reference or None for bf16): writes a random model to tmp_path and loads it on both
    sides. `extra` adds (or replaces) tensors in the file."""
    import tessaline_testing
    from modelgen import config_json, random_weights, write_model
    from reference import Reference

    counter = itertools.count()

    def make(cfg, dtype="f32", seed=0, tied=False, extra=None):
        tensors = random_weights(cfg, seed=seed, tied=tied)
        tensors.update(extra or {})
        path = tmp_path / f"model{next(counter)}.safetensors"
        write_model(path, cfg, tensors=tensors)
        ref = Reference(cfg, tensors, dtype) if dtype in ("f32", "f16") else None
        return tessaline_testing.Model(str(path), config_json(cfg), dtype), ref

    return make


def lively_weights(cfg, seed=0):
    """Random weights whose greedy continuations depend on the context: a separate output head
    and a small embedding, so the mixers' contributions are not drowned by the residual copy of
    the last token (with the tied head every model here would just repeat its last id)."""
    tensors = modelgen.random_weights(cfg, seed=seed, tied=False)
    tensors["embed_tokens.weight"] *= np.float32(0.2)
    return tensors


@pytest.fixture
def write_model(tmp_path):
    """write_model(cfg, name="m.safetensors", seed=0, tensors=None) -> path of a file holding
    every tensor that the configuration asks for (lively_weights unless tensors are given)."""
    def make(cfg, name="m.safetensors", seed=0, tensors=None):
        path = tmp_path / name
        if tensors is None:
            tensors = lively_weights(cfg, seed)
        modelgen.write_model(path, cfg, tensors=tensors)
        return str(path)
    return make


@pytest.fixture
def make_engine(write_model):
    """make_engine(**config_overrides) -> (engine, cfg) over a freshly written tiny model."""
    def make(dtype="fp32", seed=0, **over):
        cfg = modelgen.base_config(**over)
        path = write_model(cfg, seed=seed)
        import tessaline
        return tessaline.LlmEngine(path, cfg, dtype), cfg
    return make


@pytest.fixture
def sampled(write_model):
    """sampled(cfg, dtype="fp32", tensors=None) -> (engine, expect) over a freshly written model:
    expect(prompt, n, **settings) is the id list that sampling_ref.py chooses for that request from
    the model's own logits (the test-only module's forward pass); expect.forward is that pass."""
    def make(cfg, dtype="fp32", tensors=None):
        import sampling_ref
        import tessaline
        import tessaline_testing
        path = write_model(cfg, tensors=tensors)
        model = tessaline_testing.Model(path, modelgen.config_json(cfg), dtype)

        def expect(prompt, n, **settings):
            model.reset()
            return sampling_ref.run(model.forward, prompt, n, **settings)
        expect.forward = model.forward
        return tessaline.LlmEngine(path, cfg, dtype), expect
    return make


@pytest.fixture
def engine(make_engine):
    return make_engine()[0]


@pytest.fixture
def missing_path(tmp_path):
    return str(tmp_path / "no-such-file.safetensors")
