"""Puts the test build directory (env TESSALINE_TEST_BUILD, default build/tests; relative paths
are taken from the repository root) on sys.path, so the test-only module `tessaline_testing`
built there can be imported; provides the fixture that builds a model on both sides."""
import itertools
import os
import pathlib
import sys

import pytest

_ROOT = pathlib.Path(__file__).resolve().parents[2]
_build = pathlib.Path(os.environ.get("TESSALINE_TEST_BUILD", "build/tests"))
if not _build.is_absolute():
    _build = _ROOT / _build
if str(_build) not in sys.path:
    sys.path.append(str(_build))


@pytest.fixture
def make_model(tmp_path):
    """make_model(cfg, dtype, seed=0, tied=True, extra=None) -> (tessaline_testing.Model,
    reference.Reference or None for bf16): writes a random model to tmp_path and loads it on both sides. `extra`
    adds (or replaces) tensors in the file."""
    import tessaline_testing
    from modelgen import config_json, random_weights, write_model
    from reference import Reference

    counter = itertools.count()

    def make(cfg, dtype="f32", seed=0, tied=True, extra=None):
        tensors = random_weights(cfg, seed=seed, tied=tied)
        tensors.update(extra or {})
        path = tmp_path / f"model{next(counter)}.safetensors"
        write_model(path, cfg, tensors=tensors)
        ref = Reference(cfg, tensors, dtype) if dtype in ("f32", "f16") else None
        return tessaline_testing.Model(str(path), config_json(cfg), dtype), ref

    return make
