"""Tabu search: µs per move, and solution quality at equal wall time,
orvane's TabuSearchOptimizer vs dwave-samplers' TabuSampler.

    python benchmarks/bench_tabu.py           # about 9 minutes
    python benchmarks/bench_tabu.py --quick   # a smoke run

Moves are spin flips. orvane counts them itself (`_flips`); the peer's simple
tabu search (num_restarts=0) is bounded by `lower_bound_z`, which counts
candidate evaluations, n per move, so moves = z / n (checked once by
counting the peer's move loop with a uprobe). Per-move times are slopes
between a short and a long run (CPU time), so set-up costs cancel.
"""
from __future__ import annotations

import argparse
import statistics
import time

import numpy as np

import orvane as ov
from instances import load_beasley, load_gset
from report import RESULTS, _fmt, machine, plot

SIZES = [250, 1000, 2500]
INSTANCES = [("G1", load_gset), ("G14", load_gset), ("G22", load_gset),
             ("bqp250-1", load_beasley), ("bqp500-1", load_beasley)]
CHUNK = 100  # orvane tabu iterations per call in the quality runs
CONFIGS = {  # constructor settings of the quality runs
    "orvane (defaults)": {},
    "orvane (tuned)": {"recency_size": 10, "span_control_p1": 10, "span_control_p2": 30},
}


def random_matrix(n: int, kind: str, rng) -> np.ndarray:
    if kind == "±1":
        J = rng.choice([-1.0, 1.0], size=(n, n))
    else:
        J = rng.normal(size=(n, n))
    J = np.triu(J, 1)
    return J + J.T


def to_bqm(J: np.ndarray):
    """The same energy as a dimod BQM: H(s) = -(s^T J s)."""
    import dimod

    quad = -np.triu(J + J.T, 1)
    return dimod.BQM(np.zeros(J.shape[0]), quad, -float(np.trace(J)), "SPIN")


# ---------------------------------------------------------------- µs per move


def orvane_us_per_move(J: np.ndarray, iterations: tuple[int, int]) -> float:
    np.random.seed(0)
    opt = ov.classical.TabuSearchOptimizer(20)
    opt.solve(J)  # prepares the matrix and leaves a warm state
    runs = []
    for it in iterations:
        opt.max_iter = it
        t = time.process_time()
        opt._solve()
        runs.append((time.process_time() - t, opt._flips))
    (t1, f1), (t2, f2) = runs
    return (t2 - t1) / (f2 - f1) * 1e6


def peer_us_per_move(bqm, n: int, moves: tuple[int, int]) -> float:
    from dwave.samplers import TabuSampler

    sampler = TabuSampler()
    times = []
    for m in moves:
        t = time.process_time()
        sampler.sample(bqm, num_reads=1, num_restarts=0, timeout=10 ** 8, coefficient_z_first=1,
                       lower_bound_z=m * n, seed=1)
        times.append(time.process_time() - t)
    return (times[1] - times[0]) / (moves[1] - moves[0]) * 1e6


def move_costs(quick: bool):
    rng = np.random.default_rng(1)
    rows, series = [], {}
    for kind in ("±1", "gaussian"):
        for n in SIZES:
            J = random_matrix(n, kind, rng)
            scale = 0.2 if quick else 1.0
            ours = orvane_us_per_move(J, (int(2000 * scale), int(12000 * scale)))
            peer_moves = (int(40_000 * scale), int(160_000 * scale)) if n <= 1000 else \
                (int(20_000 * scale), int(80_000 * scale))
            peer = peer_us_per_move(to_bqm(J), n, peer_moves)
            rows.append([kind, n, round(ours, 3), round(peer, 3), round(peer / ours, 1)])
            for label, v in ((f"orvane {kind}", ours), (f"dwave TabuSampler {kind}", peer)):
                series.setdefault(label, ([], []))
                series[label][0].append(n)
                series[label][1].append(v)
            print(rows[-1], flush=True)
    return rows, series


# ---------------------------------------------------------------- quality at equal time


def orvane_run(J, target: float, budget: float, seed: int, settings: dict):
    """One search continued CHUNK iterations at a time (`_solve()`), until the
    target or the budget. Returns (best H, seconds to reach target or None)."""
    np.random.seed(seed)
    t0 = time.perf_counter()
    opt = ov.classical.TabuSearchOptimizer(CHUNK, **settings)
    opt.solve(J)
    while opt.best_hamilton > target and time.perf_counter() - t0 < budget:
        opt._solve()
    best = float(opt.best_hamilton)
    return best, (time.perf_counter() - t0 if best <= target else None)


def peer_run(bqm, budget: float, seed: int):
    from dwave.samplers import TabuSampler

    result = TabuSampler().sample(bqm, num_reads=1, timeout=int(budget * 1000), seed=seed)
    return float(result.first.energy)


def quality(budget: float, seeds: list[int]):
    rows = []
    for name, loader in INSTANCES:
        J, target = loader(name)
        target = float(target)
        bqm = to_bqm(J)
        line = [name, J.shape[0], target]
        for label, settings in CONFIGS.items():
            results = [orvane_run(J, target, budget, s, settings) for s in seeds]
            hs = [h for h, _ in results]
            hits = [t for _, t in results if t is not None]
            line += [min(hs), f"{len(hits)}/{len(seeds)}",
                     f"{statistics.median(hits):.2f}" if hits else None]
            print(name, label, results, flush=True)
        hs = [peer_run(bqm, budget, s) for s in seeds]
        line += [min(hs), f"{sum(h <= target + 1e-9 for h in hs)}/{len(seeds)}"]
        print(name, "peer", hs, flush=True)
        rows.append(line)
    return rows


# ---------------------------------------------------------------- report


def cell(v) -> str:
    if isinstance(v, (float, np.floating)) and abs(v) >= 1000:
        return format(float(v), ".10g")  # energies in full
    return _fmt(v)


def table(headers, rows) -> list[str]:
    out = ["| " + " | ".join(headers) + " |", "|" + "---|" * len(headers)]
    out += ["| " + " | ".join(cell(v) for v in row) + " |" for row in rows]
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="short runs (smoke test)")
    args = parser.parse_args()
    budget, seeds = (1.0, [0]) if args.quick else (10.0, [0, 1, 2])

    move_rows, series = move_costs(args.quick)
    quality_rows = quality(budget, seeds)

    lines = ["# Tabu search: orvane vs dwave-samplers TabuSampler", "", f"Machine: {machine()}", "",
             "## µs per move (lower is better)", "",
             "Dense random symmetric matrices (±1 entries, or Gaussian floats), zero diagonal. A move is one "
             "spin flip. CPU time, slope between a short and a long run of one search (set-up cancels). "
             "orvane: TabuSearchOptimizer with defaults; its count includes the choices made at critical "
             "events, which flip nothing. Peer: TabuSampler with num_restarts=0, moves = lower_bound_z / n; its "
             "cost per move is higher early in a search, and its figures vary by up to 2x between runs.", ""]
    lines += table(["matrix", "n", "orvane µs/move", "dwave µs/move", "dwave / orvane"], move_rows)
    lines += ["", f"## Quality at equal wall time ({budget:g} s per run, seeds {seeds})", "",
              "Best energy H = -(s^T J s) over the runs (lower is better), runs reaching the best-known H, "
              "and orvane's median time to reach it. orvane: one search, continued "
              f"{CHUNK} iterations at a time (`max_iter={CHUNK}`, then `_solve()` until the best-known H or the "
              "time budget), numpy.random.seed(seed); defaults, and a setting tuned by hand on G1 and G14 "
              f"({CONFIGS['orvane (tuned)']}). Peer: TabuSampler(timeout=budget, seed=seed), "
              "its default multistart search. G-set: H = 2W - 4 cut; bqp: H = f - const with one extra "
              "spin for the linear terms (benchmarks/instances.py).", ""]
    headers = ["instance", "n", "best-known H"]
    for label in CONFIGS:
        headers += [f"{label} best H", "hits", "median s to best-known"]
    headers += ["dwave best H", "hits"]
    lines += table(headers, quality_rows)
    RESULTS.mkdir(exist_ok=True)
    path = RESULTS / "tabu.md"
    path.write_text("\n".join(lines) + "\n")
    print("\n".join(lines))
    plot("tabu", "Tabu search: cost of one move", "n (spins)", "µs per move", series)


if __name__ == "__main__":
    main()
