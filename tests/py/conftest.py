"""Shared fixtures: tiny random models written to a temporary folder, and engines over them."""
from __future__ import annotations

import os
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.dirname(__file__))

import modelgen  # noqa: E402
import tessaline  # noqa: E402


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
        return tessaline.LlmEngine(path, cfg, dtype), cfg
    return make


@pytest.fixture
def engine(make_engine):
    return make_engine()[0]


@pytest.fixture
def missing_path(tmp_path):
    return str(tmp_path / "no-such-file.safetensors")
