"""Writes the small seed corpora: seeds/safetensors/ for fuzz_safetensors, seeds/loader/ for
fuzz_loader.

Reader seeds come from the safetensors package (so they are what real writers produce) plus a few
hand-made headers the package never writes (metadata null, unaligned offsets, ignored fields).
Loader seeds are complete weight files for fuzz_loader's fixed configuration, written by the
test model generator.
"""
import json
import pathlib
import struct
import sys
import types

import numpy as np
from safetensors.numpy import save

out = pathlib.Path(__file__).parent / "seeds" / "safetensors"
out.mkdir(parents=True, exist_ok=True)


def raw(header, data=b""):
    text = json.dumps(header, separators=(",", ":")).encode()
    return struct.pack("<Q", len(text)) + text + data


seeds = {
    "empty": save({}),
    "f32_2x3": save({"w": np.arange(6, dtype=np.float32).reshape(2, 3)}),
    "mixed": save(
        {
            "a.f16": np.array([1.0, -2.5, 65504.0], dtype=np.float16),
            "b.u8": np.array([[0, 255]], dtype=np.uint8),
            "c.i32": np.array([-7, 2**31 - 1], dtype=np.int32),
            "d.f64": np.array([1e300, -0.0], dtype=np.float64),
        },
        metadata={"format": "pt"},
    ),
    "ints": save(
        {
            "u16": np.array([1, 65535], dtype=np.uint16),
            "u32": np.array([4000000000], dtype=np.uint32),
            "i64": np.array([-1], dtype=np.int64),
            "bool": np.array([True, False]),
            "i8": np.array([-3], dtype=np.int8),
        }
    ),
    "scalar_and_empty": save(
        {"s": np.array(3.0, dtype=np.float32), "z": np.zeros((0, 4), dtype=np.float32)}
    ),
    "bf16_unaligned": raw(
        {
            "__metadata__": None,
            "x": {"dtype": "U8", "shape": [1], "data_offsets": [0, 1]},
            "layers.0.y": {"dtype": "BF16", "shape": [2], "data_offsets": [1, 5], "extra": [{}]},
        },
        b"\x07\x80\x3f\x00\xc0",
    ),
    # Sizes at the edge of 64-bit arithmetic, which short random edits rarely produce.
    "overflow_shape": raw({"t": {"dtype": "F64", "shape": [2**61, 8], "data_offsets": [0, 0]}}),
    "top_offsets": raw({"t": {"dtype": "U8", "shape": [0], "data_offsets": [2**64 - 1, 2**64 - 1]}}),
}
for name, data in seeds.items():
    (out / name).write_bytes(data)
print(sum(len(d) for d in seeds.values()), "bytes in", len(seeds), "reader seeds")

sys.path.insert(0, str(pathlib.Path(__file__).parent.parent / "tools"))
import modelgen  # noqa: E402

# The configuration fixed in fuzz_loader.cpp.
cfg = modelgen.base_config(
    vocab_size=5, hidden_size=4, intermediate_size=3, num_hidden_layers=2,
    num_attention_heads=2, num_key_value_heads=1, head_dim=2, max_position_embeddings=4,
    attention_qkv_bias=True, attention_out_bias=True, lm_head_bias=True,
    attention_type="hybrid", hybrid_ratio="1:1", hybrid_softmax_gated=True,
    gated_deltanet_config=modelgen.gdn(conv_kernel_size=2, conv_bias=True),
    moe_config=modelgen.moe(intermediate_size=2, n_routed_experts=2, num_experts_per_tok=1,
                            n_shared_experts=1, n_dense_layer=1),
)
loader = pathlib.Path(__file__).parent / "seeds" / "loader"
loader.mkdir(parents=True, exist_ok=True)
# One file (the header alone is about 4 KB): F16 weights, its own output head with a bias.
lseeds = {"untied_f16": save(modelgen.random_weights(cfg, seed=1, dtype=np.float16))}
for name, data in lseeds.items():
    (loader / name).write_bytes(data)
print(sum(len(d) for d in lseeds.values()), "bytes in", len(lseeds), "loader seeds")
