"""Exhaustive enumeration: ns per state, orvane vs dimod's ExactSolver vs numpy.

    python benchmarks/bench_exhaustive.py
"""
from __future__ import annotations

import numpy as np

import orvane as ov
from report import best_time, plot, write_markdown

SIZES = [16, 18, 20, 22, 24, 26, 28]
DIMOD_MAX = 22   # its sample set holds all 2^n states: 2^22 x 22 spins is about 1 GiB in total
NUMPY_MAX = 24


def numpy_enumeration(J: np.ndarray) -> np.ndarray:
    """Vectorised reference: energies of 2^16-state chunks, all optima kept."""
    n = J.shape[0]
    best, rows = np.inf, []
    chunk = 1 << min(n, 16)
    bits = np.arange(n)
    for start in range(0, 1 << n, chunk):
        idx = np.arange(start, start + chunk, dtype=np.int64)
        S = np.where((idx[:, None] >> bits) & 1, 1.0, -1.0)
        e = -np.einsum("ki,ki->k", S @ J, S)
        m = e.min()
        if m < best:
            best, rows = m, [S[e == m]]
        elif m == best:
            rows.append(S[e == m])
    return np.concatenate(rows)


def dimod_exact(J: np.ndarray):
    import dimod

    n = J.shape[0]
    # H = -(s^T J s): couplings -(J_ij + J_ji) per pair, offset -trace.
    quad = {(i, j): -(J[i, j] + J[j, i]) for i in range(n) for j in range(i + 1, n)}
    bqm = dimod.BinaryQuadraticModel({}, quad, -np.trace(J), dimod.SPIN)
    return dimod.ExactSolver().sample(bqm).lowest()


def main():
    rng = np.random.default_rng(1)
    solver = ov.classical.BruteForceOptimizer()
    rows, series = [], {"orvane": ([], []), "numpy": ([], []), "dimod ExactSolver": ([], [])}
    for n in SIZES:
        J = rng.normal(size=(n, n))
        J = (J + J.T) / 2
        np.fill_diagonal(J, 0)
        states = 2.0 ** n
        t_ov = best_time(lambda: solver.solve(J)) / states * 1e9
        t_np = best_time(lambda: numpy_enumeration(J), repeat=1) / states * 1e9 if n <= NUMPY_MAX else None
        t_dm = best_time(lambda: dimod_exact(J), repeat=1) / states * 1e9 if n <= DIMOD_MAX else None
        if n <= NUMPY_MAX:  # same optimum
            ref = numpy_enumeration(J)[0]
            got = solver.solve(J)[0]
            assert abs(-(ref @ J @ ref) - -(got @ J @ got)) < 1e-9
        rows.append([n, t_ov, t_np, t_dm,
                     None if t_np is None else round(t_np / t_ov, 1),
                     None if t_dm is None else round(t_dm / t_ov, 1)])
        for label, t in (("orvane", t_ov), ("numpy", t_np), ("dimod ExactSolver", t_dm)):
            if t is not None:
                series[label][0].append(n)
                series[label][1].append(t)
        print(rows[-1], flush=True)
    write_markdown(
        "exhaustive", "Exhaustive enumeration: ns per state (lower is better)",
        ["n", "orvane", "numpy (vectorised)", "dimod ExactSolver", "numpy / orvane", "dimod / orvane"], rows,
        notes="Dense random symmetric float matrices, all optima returned. One core. "
              "Best of up to 3 runs for orvane, one run for the peers. "
              f"dimod's ExactSolver materialises every state, so it stops at n = {DIMOD_MAX}; numpy at n = {NUMPY_MAX}.",
    )
    plot("exhaustive", "Exhaustive enumeration", "n (spins)", "ns per state", series)


if __name__ == "__main__":
    main()
