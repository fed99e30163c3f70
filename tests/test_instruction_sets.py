"""MIREL_ISA caps every kernel family, mirel.config() says what each chose,
and every cap computes the same bits: elementwise and math (gelu's gradient
included), reductions, products (f32 and bf16) and an optimizer step, each
in a fresh process."""
import os
import subprocess
import sys

import pytest

import mirel

LADDER = ["portable", "avx2", "avx512", "avx512_bf16", "amx"]

# Prints the bytes of every family's results, and mirel.config().
PROGRAM = r"""
import hashlib, numpy as np, mirel, mirel_core as mc
rng = np.random.default_rng(3)
x = rng.standard_normal((67, 129)).astype(np.float32) * 4
w = rng.standard_normal((129, 45)).astype(np.float32)
out = []
for dt in ("f32", "f16", "bf16"):
    t, m = mc.Tensor(x, dtype=dt), mc.Tensor(w, dtype=dt)
    for r in (t + t * t, t >= mirel.transpose(mirel.transpose(t) * 0.5), mirel.exp(t), mirel.tanh(t), mirel.sigmoid(t), mirel.log(mirel.abs(t)),
              mirel.sum(t, axis=0), mirel.max(t, axis=1), mirel.mean(t), t @ m):
        out.append(np.asarray(r.to_numpy()).tobytes())
    leaf = mc.Tensor(x, dtype=dt, requires_grad=True)  # a recorded gelu keeps its slope for the gradient
    mirel.sum(mirel.nn.functional.gelu(leaf) * t).backward()
    out.append(leaf.grad().tobytes())
    mc.Tensor.clear_graph()
params = mirel.Parameters({"w": w})
for opt in (mirel.optim.AdamW(params, lr=1e-2), mirel.optim.SGD(params, lr=1e-2, momentum=0.9, nesterov=True)):
    for _ in range(2):
        loss = mirel.sum(mirel.square(mirel.Tensor(x) @ params.leaves()["w"]))
        opt.zero_grad(); loss.backward(); opt.step()
    out.append(np.asarray(params.leaves()["w"].to_numpy()).tobytes())
print(hashlib.sha256(b"".join(out)).hexdigest())
print(mirel.config())
"""


def run(cap):
    env = dict(os.environ)
    env.pop("MIREL_ISA", None)
    if cap is not None:
        env["MIREL_ISA"] = cap
    done = subprocess.run([sys.executable, "-P", "-c", PROGRAM], env=env, capture_output=True, text=True, check=True)
    digest, config = done.stdout.splitlines()
    return digest, eval(config)


@pytest.fixture(scope="module")
def unset():
    return run(None)


@pytest.mark.parametrize("cap", LADDER)
def test_every_cap_gives_the_same_bits(unset, cap):
    digest, config = run(cap)
    assert config["MIREL_ISA"] == cap
    assert digest == unset[0], f"MIREL_ISA={cap} chose {config['chosen']}"
    rung = LADDER.index(cap)
    for family in ("loops", "reductions", "sgemm", "optim"):
        assert LADDER.index(config["chosen"][family]) <= rung
        assert LADDER.index(config["chosen"][family]) <= LADDER.index(unset[1]["chosen"][family])
    if rung < LADDER.index("avx512_bf16"):
        assert config["chosen"]["bf16_products"] == "widened"
    for variant in LADDER[rung + 1:]:
        if variant in unset[1]["chosen"].values():
            assert config["refused"][variant] == f"MIREL_ISA={cap} caps it"


def test_an_unknown_value_caps_nothing(unset):
    digest, config = run("AVX2")
    assert config["MIREL_ISA"] == "AVX2 (not a level: ignored)"
    assert config["chosen"] == unset[1]["chosen"] and digest == unset[0]


def test_config_names_a_variant_per_family_and_a_reason_per_refusal():
    config = mirel.config()
    assert set(config["chosen"]) == {"loops", "reductions", "sgemm", "optim", "bf16_products"}
    assert config["chosen"]["bf16_products"] in {"amx", "avx512_bf16", "widened"}
    assert all(isinstance(why, str) and why for why in config["refused"].values())
    assert config["chosen"]["loops"] not in config["refused"]
