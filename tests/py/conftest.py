"""Shared fixtures: tiny random models written to a temporary folder, and engines over them."""
from __future__ import annotations

import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

import modelgen  # noqa: E402
import tessaline  # noqa: E402


@pytest.fixture
def write_model(tmp_path):
    """write_model(cfg, name="m.safetensors", **kw) -> path of a file holding every tensor that
    the configuration asks for (modelgen.write_model's keywords pass through)."""
    def make(cfg, name="m.safetensors", **kw):
        path = tmp_path / name
        modelgen.write_model(path, cfg, **kw)
        return str(path)
    return make


@pytest.fixture
def make_engine(write_model):
    """make_engine(**config_overrides) -> (engine, cfg) over a freshly written tiny model."""
    def make(dtype="fp32", seed=0, **over):
        cfg = modelgen.base_config(**over)
        path = write_model(cfg, seed=seed)
        return tessaline.LlmEngine(path, cfg, dtype), cfg
    return make


@pytest.fixture
def engine(make_engine):
    return make_engine()[0]


@pytest.fixture
def missing_path(tmp_path):
    return str(tmp_path / "no-such-file.safetensors")
