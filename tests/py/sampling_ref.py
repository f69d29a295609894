"""Token choice written plainly from its rule, apart from the engine's code: the ChaCha12 keystream
keyed by PCG32, suppression, repetition penalty, greedy choice and the seeded draw, all in single
precision in the stated order (NumPy float32 scalars and arrays; `expf` from the C library, as the
engine uses). Among equal probabilities the lower id ranks first.

Run as a script it prints tests/cpp/data/chacha12_vectors.inc, the keystream table the C++ tests
need for block counters no Python test can reach:
    python3 tests/py/sampling_ref.py > tests/cpp/data/chacha12_vectors.inc
"""
import ctypes
import ctypes.util

import numpy as np

F = np.float32
M32, M64 = 0xFFFFFFFF, 0xFFFFFFFFFFFFFFFF
UNIT_TOLERANCE = F(1e-4)
UNORDERED = "called `Option::unwrap()` on a `None` value"
_libm = ctypes.CDLL(ctypes.util.find_library("m"))
_libm.expf.restype, _libm.expf.argtypes = ctypes.c_float, [ctypes.c_float]


class Unordered(Exception):
    pass


def _rotl(v, c):
    return ((v << c) | (v >> (32 - c))) & M32


def chacha_block(key, counter, stream=0, rounds=12):
    """16 output words: constants, key words 4-11, 64-bit counter and stream id (low word first)."""
    inp = [0x61707865, 0x3320646E, 0x79622D32, 0x6B206574, *key,
           counter & M32, counter >> 32, stream & M32, stream >> 32]
    s = list(inp)
    for _ in range(rounds // 2):
        for a, b, c, d in ((0, 4, 8, 12), (1, 5, 9, 13), (2, 6, 10, 14), (3, 7, 11, 15),
                           (0, 5, 10, 15), (1, 6, 11, 12), (2, 7, 8, 13), (3, 4, 9, 14)):
            for x, y, z, r in ((a, b, d, 16), (c, d, b, 12), (a, b, d, 8), (c, d, b, 7)):
                s[x] = (s[x] + s[y]) & M32
                s[z] = _rotl(s[z] ^ s[x], r)
    return [(s[i] + inp[i]) & M32 for i in range(16)]


def pcg_key(seed):
    """Eight key words from a 64-bit seed: PCG32, state advanced before each XSH-RR output."""
    state, key = seed & M64, []
    for _ in range(8):
        state = (state * 6364136223846793005 + 11634580027462260723) & M64
        x, rot = (((state >> 18) ^ state) >> 27) & M32, state >> 59
        key.append(((x >> rot) | (x << ((32 - rot) & 31))) & M32)
    return key


class Rng:
    """The generator: keystream words in order from block `counter` (0 for a seeded one)."""

    def __init__(self, seed=0, key=None, counter=0):
        self.key, self.counter, self.words = key or pcg_key(seed), counter, []

    def next_u32(self):
        if not self.words:
            self.words = chacha_block(self.key, self.counter)
            self.counter = (self.counter + 1) & M64
        return self.words.pop(0)


def _is_one(v):
    return abs(v - F(1)) <= UNIT_TOLERANCE


def argmax(logits):
    if len(logits) < 2:
        return 0
    if np.isnan(logits).any():
        raise Unordered(UNORDERED)
    return int(np.flatnonzero(logits == logits.max())[-1])


def sample(logits, top_k, rng, temperature, top_p):
    if not _is_one(temperature):
        logits = logits / temperature
    finite = logits[~np.isnan(logits)]
    m = finite.max() if finite.size else F(-np.inf)
    e = np.array([_libm.expf(float(v)) for v in logits - m], dtype=F)
    p = e / np.add.accumulate(e)[-1]  # accumulate adds in id order, one f32 step at a time
    n = len(p)
    if n >= 2 and np.isnan(p).any():
        raise Unordered(UNORDERED)
    order = sorted(range(n), key=lambda i: -p[i])  # stable: lower id first among equals
    if 0 < top_k < n:
        p[order[top_k:]] = 0
    if 0 < top_p < 1:
        over = np.flatnonzero(np.add.accumulate(p[order]) > top_p)
        if over.size:
            p[order[over[0] + 1:]] = 0
    if (p < 0).any() or np.isnan(p).any():
        return order[0]
    totals = np.add.accumulate(p)
    total = totals[-1]
    if total == 0:
        return order[0]
    scale = total
    while scale * F(1 - 2**-23) >= total:
        scale = np.nextafter(scale, F(0))
    x = np.uint32(0x3F800000 | (rng.next_u32() >> 9)).view(F) - F(1)
    return int(np.count_nonzero(totals[:-1] <= x * scale))


def choose(logits, history, rng, **settings):
    """One token from one step's logits; None settings mean what the engine's defaults mean."""
    with np.errstate(all="ignore"):  # overflow to inf, -inf - -inf and the like are in the rule
        return _choose(logits, history, rng, **settings)


def _choose(logits, history, rng, temperature=1.0, top_k=None, top_p=None, repetition_penalty=1.0,
            exclude_penalty_tokens=None, suppress_tokens=None):
    logits = np.array(logits, dtype=F)
    V = len(logits)
    for i in suppress_tokens or ():
        if i < V:
            logits[i] = -np.inf
    penalty = F(1.0 if repetition_penalty is None else repetition_penalty)
    exclude = set(exclude_penalty_tokens or ())
    if penalty > 0 and not _is_one(penalty):
        for i in history:
            if i < V and i not in exclude:
                logits[i] = logits[i] * penalty if logits[i] < 0 else logits[i] / penalty
    t = F(1.0 if temperature is None else temperature)
    if not t > 0:
        return argmax(logits)
    return sample(logits, top_k or 0, rng, t, F(1.0 if top_p is None else top_p))


def run(forward, prompt, max_new_tokens, eos_token_id=2, seed=42, **settings):
    """The ids a request yields, given forward(ids, offset) -> the last position's logits."""
    rng, out, pending, offset = Rng(seed), [], list(prompt), 0
    while len(out) < max_new_tokens:
        logits = forward(pending, offset)
        offset += len(pending)
        out.append(choose(logits, out, rng, **settings))
        if out[-1] == eos_token_id:
            break
        pending = out[-1:]
    return out


if __name__ == "__main__":
    words = Rng(key=pcg_key(42), counter=0xFFFFFFFE)
    table = [words.next_u32() for _ in range(128)]
    print("// Generated by tests/py/sampling_ref.py. Do not edit by hand.\n// Seed 42's keystream"
          " from block 0xFFFFFFFE on: the counter carries into its high word.")
    print("static const uint32_t kCarrySeed42[128] = {")
    for i in range(0, 128, 6):
        print("    " + ", ".join("0x%08Xu" % w for w in table[i:i + 6]) + ",")
    print("};")
