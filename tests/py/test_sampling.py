"""Token choice over whole requests: the ids of `generate` and of a streamer against sampling_ref.py
run on the model's own logits for every step (the test-only module's forward pass), with
penalties, cuts, temperatures and seeds; the reference generator against published vectors."""
import numpy as np
import pytest

import modelgen
import sampling_ref as ref
from conftest import MIXER_CONFIGS

V = modelgen.base_config()["vocab_size"]
PROMPT = [3, 1, 4, 1, 5, 9, 2, 6]
NO_EOS = 2**32 - 1
TIE = (21, 40)  # the tied model's two dominant ids: equal output-head rows and biases
CONFIGS = {
    **MIXER_CONFIGS,
    "tie": dict(lm_head_bias=True),
    "flat": dict(vocab_size=5000, lm_head_bias=True),  # logits = the head's bias, five levels
}
# (model, dtype, max_new_tokens, settings); eos_token_id is NO_EOS unless given.
CASES = [
    ("softmax", "fp32", 72, dict(eos_token_id=2)),  # the defaults; 72 words cross a refill
    ("softmax", "fp32", 72, dict(seed=0, eos_token_id=2)),  # ends on id 2, included
    ("softmax", "fp32", 48, dict(temperature=0.7, top_k=5, seed=7)),
    ("softmax", "fp32", 48, dict(temperature=1.3, top_p=0.8, repetition_penalty=1.2, seed=123,
                                 exclude_penalty_tokens=[1, 2, V + 63],
                                 suppress_tokens=[0, 3, 4, V + 16, 10**6])),
    ("softmax", "fp32", 48, dict(temperature=2.0, top_k=3, top_p=0.5, seed=2**64 - 1)),
    ("softmax", "fp32", 48, dict(temperature=1.00005, repetition_penalty=0.5, top_k=V, seed=5)),
    ("softmax", "fp32", 48, dict(temperature=8.0, repetition_penalty=float("inf"), top_p=0.0,
                                 top_k=V + 5, seed=9)),
    ("softmax", "fp32", 40, dict(temperature=0.0, repetition_penalty=1.5,
                                 exclude_penalty_tokens=[39, 25])),
    ("softmax", "fp32", 40, dict(temperature=float("nan"), repetition_penalty=-2.0)),
    ("softmax", "fp32", 40, dict(temperature=-1.0, top_k=1, repetition_penalty=0.0)),
    ("softmax", "fp32", 40, dict(top_k=1, seed=3, repetition_penalty=1.00005)),
    ("softmax", "fp32", 4, dict(suppress_tokens=range(V))),  # nothing to order: the step fails
    ("softmax", "fp32", 4, dict(temperature=0, suppress_tokens=range(V))),  # the last id
    ("hybrid", "fp32", 48, dict(temperature=0.9, top_p=0.9, repetition_penalty=1.1, seed=4)),
    ("hybrid", "fp16", 48, dict(temperature=0.9, top_p=0.9, repetition_penalty=1.1, seed=4)),
    ("moe", "fp32", 48, dict(temperature=1.1, top_k=8, seed=11)),
    ("gated", "fp32", 48, dict(temperature=0.8, seed=12, repetition_penalty=1.3)),
    # Tied maxima: the highest id wins; a penalty just above the unit tolerance breaks the tie
    # every other step, one just below does not; two probabilities of exactly 0.5 and top_p 0.5
    # keep both (the cut needs a running sum strictly above top_p).
    ("tie", "fp32", 40, dict(temperature=0)),
    ("tie", "fp32", 40, dict(temperature=0, repetition_penalty=1.0001)),
    ("tie", "fp32", 40, dict(temperature=0, repetition_penalty=1.00009)),
    ("tie", "fp32", 40, dict(top_p=0.5, seed=1, suppress_tokens=sorted(set(range(V)) - set(TIE)))),
    # Thousands of equal probabilities: which of them a cut keeps (the lower ids), whether the
    # ranking is short (top_k) or covers most of the vocabulary (top_p).
    ("flat", "fp32", 24, dict(top_k=3, seed=21)),
    ("flat", "fp32", 24, dict(top_p=0.9, seed=22)),
    ("flat", "fp32", 24, dict(top_k=3000, top_p=0.5, temperature=0.7, seed=23)),
]


def weights(name, cfg):
    tensors = modelgen.random_weights(cfg, tied=False)
    tensors["embed_tokens.weight"] *= np.float32(0.2)
    if name == "tie":
        tensors["lm_head.weight"][TIE[1]] = tensors["lm_head.weight"][TIE[0]]
        tensors["lm_head.bias"][list(TIE)] = 8.0
    elif name == "flat":
        tensors["lm_head.weight"][:] = 0
        tensors["lm_head.bias"] = np.arange(cfg["vocab_size"], dtype=np.float32) * 7 % 5 * 0.25
    return tensors


@pytest.mark.parametrize("name,dtype,n,settings", CASES)
def test_sampled_ids_match_reference(sampled, name, dtype, n, settings):
    cfg = modelgen.base_config(**CONFIGS[name])
    engine, expect = sampled(cfg, dtype, weights(name, cfg))
    settings = dict(dict(eos_token_id=NO_EOS), **settings)
    if name == "tie":
        logits = expect.forward(PROMPT, 0)
        assert logits[TIE[0]] == logits[TIE[1]] == max(logits)
    try:
        want = expect(PROMPT, n, **settings)
    except ref.Unordered:
        for run in (engine.generate, lambda *a, **k: list(engine.streaming_generate(*a, **k))):
            with pytest.raises(RuntimeError) as ei:
                run(PROMPT, n, **settings)
            assert str(ei.value) == ref.UNORDERED
        return
    assert engine.generate(PROMPT, n, **settings) == want
    assert list(engine.streaming_generate(PROMPT, n, **settings)) == want
    # Equal arguments give equal ids, whatever ran in between.
    engine.generate([7, 7], 3, temperature=0.5, seed=1)
    assert engine.generate(PROMPT, n, **settings) == want


def test_reference_generator_matches_published_vectors():
    def hex_of(words):
        return b"".join(w.to_bytes(4, "little") for w in words).hex()

    def words_of(data):
        return [int.from_bytes(data[i:i + 4], "little") for i in range(0, len(data), 4)]

    # RFC 7539 2.3.2 and A.1 #1 (20 rounds): a 96-bit nonce after a 32-bit counter is the 64-bit
    # counter's high word and the stream id.
    assert hex_of(ref.chacha_block(words_of(bytes(range(32))), 1 | 0x09000000 << 32, 0x4A000000,
                                   rounds=20)) == (
        "10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4e"
        "d2826446079faa0914c2d705d98b02a2b5129cd1de164eb9cbd083e8a2503c4e")
    assert hex_of(ref.chacha_block([0] * 8, 0, rounds=20)) == (
        "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"
        "da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586")
    # ChaCha12, all-zero key and IV (Strombergson's ChaCha test vectors, TC1).
    assert hex_of(ref.chacha_block([0] * 8, 0)) == (
        "9bf49a6a0755f953811fce125f2683d50429c3bb49e074147e0089a52eae155f"
        "0564f879d27ae3c02ce82834acfa8c793a629f2ca0de6919610be82f411326be")
    # PCG32 seed expansion: the first 16 key bytes of seeds 0 and 1 as published with the Deno
    # standard library's random tests (taken from rand_core's seed_from_u64).
    assert hex_of(ref.pcg_key(0)[:4]) == bytes(
        [236, 242, 115, 249, 129, 181, 205, 69, 135, 240, 70, 115, 6, 173, 108, 173]).hex()
    assert hex_of(ref.pcg_key(1)[:4]) == bytes(
        [234, 216, 29, 114, 93, 38, 16, 78, 137, 156, 59, 248, 66, 206, 120, 46]).hex()
