"""Decoding through the caches: how a sequence is split into calls, the bound on multi-token
calls, and failed calls leaving every cache entry as it was."""
import numpy as np
import pytest

from modelgen import base_config, gdn, moe
from reference import assert_logits_close

SEQ = [5, 17, 3, 42, 8, 61, 0, 29, 33, 7, 50, 12]

MODELS = {
    "softmax": base_config(),
    "hybrid_3_1_moe": base_config(attention_type="hybrid", num_hidden_layers=4,
                                  moe_config=moe(n_dense_layer=2, n_shared_experts=1)),
    "hybrid_1_1_gated_k2": base_config(attention_type="hybrid", hybrid_ratio="1:1",
                                       hybrid_softmax_gated=True, hybrid_softmax_num_kv_heads=4,
                                       gated_deltanet_config=gdn(conv_kernel_size=2)),
}
SPLITS = {
    "one_call": [12],
    "prompt_then_singles": [5] + [1] * 7,
    "all_singles": [1] * 12,
    "chunks": [2, 3, 1, 4, 2],
}


@pytest.mark.parametrize("dtype", ["f32", "f16"])
@pytest.mark.parametrize("split", list(SPLITS))
@pytest.mark.parametrize("name", list(MODELS))
def test_split_equals_one_call(make_model, name, split, dtype):
    """Any split of a sequence into calls gives the logits of the whole sequence in one call
    (to rounding), and after each call every attention layer caches exactly the tokens fed."""
    cfg = MODELS[name]
    model, ref = make_model(cfg, dtype, seed=3)
    whole = ref.forward(SEQ, 0)
    pos = 0
    for n in SPLITS[split]:
        logits = model.forward(SEQ[pos:pos + n], pos)
        pos += n
        assert model.kv_lengths() == [0 if d else pos for d in ref.delta]
    assert pos == len(SEQ)
    assert_logits_close(logits, whole, dtype, f"{name} split {split}")


LONG = [(11 * i + 5) % 64 for i in range(150)]
LONG_SPLITS = {
    "one_call": [150],
    "chunk_then_singles": [129, 1, 1, 19],
    "blocks": [64, 64, 22],
}


@pytest.mark.parametrize("dtype", ["f32", "f16"])
@pytest.mark.parametrize("split", list(LONG_SPLITS))
def test_long_chunks_match_reference(make_model, split, dtype):
    """Chunks of several of the blocks that prompts are computed in, with a partial last block,
    and single tokens continuing from a chunk's caches; logits compared after every call."""
    cfg = base_config(attention_type="hybrid", hybrid_ratio="1:1", head_dim=16,
                      hybrid_softmax_gated=True, max_position_embeddings=256)
    model, ref = make_model(cfg, dtype, seed=6)
    pos = 0
    for n in LONG_SPLITS[split]:
        ids = LONG[pos:pos + n]
        assert_logits_close(model.forward(ids, pos), ref.forward(ids, pos), dtype,
                            f"{split} at {pos}")
        pos += n


@pytest.mark.parametrize("dtype", ["f32", "f16"])
def test_max_position_embeddings_bounds_chunks_only(make_model, dtype):
    M = 16
    cfg = base_config(attention_type="hybrid", hybrid_ratio="1:1", max_position_embeddings=M)
    model, ref = make_model(cfg, dtype, seed=4)
    ids = [(7 * i + 3) % 64 for i in range(M + 1)]
    with pytest.raises(RuntimeError) as e:
        model.forward(ids, 0)
    assert str(e.value) == (
        f"narrow invalid args start + len > dim_len: [{M}, {M}], dim: 0, start: 0, len:{M + 1}")
    assert model.kv_lengths() == [0, 0]
    # Exactly M tokens fit.
    assert_logits_close(model.forward(ids[:M], 0), ref.forward(ids[:M], 0), dtype, "M tokens")
    # Single tokens keep going past M; the cache grows without bound.
    for pos in range(M, M + 6):
        t = (5 * pos) % 64
        assert_logits_close(model.forward([t], pos), ref.forward([t], pos), dtype, f"at {pos}")
    assert model.kv_lengths() == [0, M + 6]
    # A chunk of two or more tokens past M fails; the offset alone past M says "start > dim_len".
    with pytest.raises(RuntimeError) as e:
        model.forward([1, 2], M + 6)
    assert str(e.value) == (
        f"narrow invalid args start > dim_len: [{M}, {M}], dim: 0, start: {M + 6}, len:2")
    model.reset()
    ref.reset()
    ref.forward(ids[:M - 1], 0)
    model.forward(ids[:M - 1], 0)
    with pytest.raises(RuntimeError) as e:
        model.forward([1, 2], M - 1)
    assert str(e.value) == (
        f"narrow invalid args start + len > dim_len: [{M}, {M}], dim: 0, start: {M - 1}, len:2")


@pytest.mark.parametrize("dtype", ["f32", "f16"])
def test_failed_calls_leave_caches_unchanged(make_model, dtype):
    """Each failing call is followed by the correct call, whose logits must be those of a run
    without the failure. The wrong-offset chunk fails in layer 3 (the first attention layer), after
    the three delta-rule layers have computed their new states and tails."""
    cfg = base_config(attention_type="hybrid", num_hidden_layers=4, max_position_embeddings=32,
                      moe_config=moe(n_dense_layer=1))
    model, ref = make_model(cfg, dtype, seed=8)
    V = cfg["vocab_size"]
    assert_logits_close(model.forward(SEQ[:9], 0), ref.forward(SEQ[:9], 0), dtype, "prompt")
    failures = [
        ([3, V], 9, lambda pos: f"index-select invalid index {V} with dim size {V}"),
        ([], 9, lambda pos: "cannot reshape tensor of 0 elements to (1, 1, 0, ())"),
        ([1] * 24, 9,
         lambda pos: "narrow invalid args start + len > dim_len: [32, 32], dim: 0, start: 9, len:24"),
        # Scores (1, Hq, 2, cached + 2) against a mask slice (1, 1, 2, 5 + 2).
        ([4, 5], 5,
         lambda pos: f"shape mismatch in broadcast_add, lhs: [1, 4, 2, {pos + 2}], rhs: [1, 1, 2, 7]"),
    ]
    pos = 9
    for ids, offset, text in failures:
        with pytest.raises(RuntimeError) as e:
            model.forward(ids, offset)
        assert str(e.value) == text(pos)
        assert model.kv_lengths() == [0, 0, 0, pos]
        t = (7 * pos) % V
        assert_logits_close(model.forward([t], pos), ref.forward([t], pos), dtype,
                            f"after '{text(pos)}'")
        pos += 1
    assert_logits_close(model.forward([2, 9], pos), ref.forward([2, 9], pos), dtype, "chunk")


@pytest.mark.parametrize("cfg", [base_config(attention_type="hybrid", hybrid_ratio="1:1"),
                                 base_config(partial_rotary_factor=0.0)])
def test_bf16_loads_and_fails_at_first_product(make_model, cfg):
    model, _ = make_model(cfg, "bf16", seed=1)
    for ids in ([3], [3, 4]):
        with pytest.raises(RuntimeError) as e:
            model.forward(ids, 0)
        assert str(e.value) == "unsupported dtype BF16 for op matmul"
        assert model.kv_lengths() == [0, 0]


@pytest.mark.parametrize("dtype", ["f32", "f16"])
def test_long_context(make_model, dtype):
    """1100 positions, four query heads on one key/value head: the prompt's scores need two
    blocks (the second shorter), the single-token attention and the delta rule split their work
    over threads, and the key/value cache grows past its first allocation."""
    cfg = base_config(attention_type="hybrid", hybrid_ratio="1:1", hidden_size=64, head_dim=32,
                      num_key_value_heads=1, max_position_embeddings=2048)
    model, ref = make_model(cfg, dtype, seed=6)
    ids = [(37 * i + 11) % 64 for i in range(1100)]
    assert_logits_close(model.forward(ids, 0), ref.forward(ids, 0), dtype, "prompt")
    for pos, ids in ((1100, [3]), (1101, [9]), (1102, [4, 5])):
        assert_logits_close(model.forward(ids, pos), ref.forward(ids, pos), dtype, f"at {pos}")
