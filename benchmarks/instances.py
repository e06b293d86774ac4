"""Benchmark instances as Ising matrices under H(s) = -(s^T J s).

G-set max-cut: J_ij = J_ji = -w_ij, so H = 2W - 4 cut.
Beasley bqp (minimise x^T Q x, x in {0,1}^n): x = (1 + s)/2 with one extra
spin s_0 fixed at +1 carrying the linear part (column/row 0), so
f(x) = H(s) + const; the returned best_H is the best-known f minus const.
"""
from __future__ import annotations

import os
from pathlib import Path

import numpy as np

DATA = Path(os.environ.get("ORVANE_BENCH_DATA", Path(__file__).resolve().parent.parent.parent / "shared" / "benchmarks"))

GSET_BEST_CUT = {"G1": 11624, "G14": 3064, "G22": 13359, "G43": 6660}
BEASLEY_BEST = {"bqp50-1": -2098, "bqp100-1": -7970, "bqp250-1": -45607, "bqp500-1": -116586}


def _read_edges(path: Path):
    with open(path) as f:
        n, m = map(int, f.readline().split())
        data = np.loadtxt(f, dtype=np.int64, ndmin=2)
    assert data.shape[0] == m, f"{path}: expected {m} lines"
    return n, data


def load_gset(name: str):
    """(J, best_H) of a G-set instance: best_H = 2W - 4 * best cut."""
    n, e = _read_edges(DATA / "gset" / f"{name}.txt")
    J = np.zeros((n, n))
    i, j, w = e[:, 0] - 1, e[:, 1] - 1, e[:, 2].astype(float)
    np.add.at(J, (i, j), -w)
    np.add.at(J, (j, i), -w)
    return J, 2 * w.sum() - 4 * GSET_BEST_CUT[name]


def beasley_qubo(name: str) -> np.ndarray:
    """The symmetric Q of a bqp instance (f(x) = x^T Q x)."""
    n, e = _read_edges(DATA / "beasley" / f"{name}.sparse")
    Q = np.zeros((n, n))
    for i, j, q in e:
        Q[i - 1, j - 1] = q
        Q[j - 1, i - 1] = q
    return Q


def qubo_to_ising(Q: np.ndarray):
    """(J, const) with x^T Q x = -(s^T J s) + const for s = [1, 2x - 1]."""
    n = Q.shape[0]
    J = np.zeros((n + 1, n + 1))
    off = Q - np.diag(np.diag(Q))
    r = Q.sum(axis=1)
    J[1:, 1:] = -off / 4
    J[0, 1:] = J[1:, 0] = -r / 4
    const = Q.sum() / 4 + np.trace(Q) / 4
    return J, const


def load_beasley(name: str):
    """(J, best_H) of a bqp instance; spin 0 is the fixed +1 spin."""
    J, const = qubo_to_ising(beasley_qubo(name))
    return J, BEASLEY_BEST[name] - const


def ising_energy(J, s):
    s = np.asarray(s, dtype=float)
    return float(-(s @ J @ s))


if __name__ == "__main__":  # self-check of the conversions
    rng = np.random.default_rng(0)
    Q = beasley_qubo("bqp50-1")
    J, const = qubo_to_ising(Q)
    for _ in range(5):
        x = rng.integers(0, 2, Q.shape[0])
        s = np.concatenate([[1], 2 * x - 1])
        assert abs(x @ Q @ x - (ising_energy(J, s) + const)) < 1e-9
    for name in GSET_BEST_CUT:
        J, best = load_gset(name)
        print(name, J.shape, best)
    for name in BEASLEY_BEST:
        J, best = load_beasley(name)
        print(name, J.shape, best)
