"""Simulated annealing: orvane vs dwave-samplers and OpenJij.

    python benchmarks/bench_anneal.py [--quick]

Instances: G1, G43 (max-cut), bqp250-1 (Beasley), a dense random n = 1000.
Measures ns per flip attempt on a common schedule, TTS99 to the best-known
energy with each solver's schedule picked from a small grid, energy against
time on G1, and the sampler's peak memory. Times are CPU time of the process
(the machine is shared; one thread per solver). Writes results/anneal.md and
results/anneal.png.
"""
from __future__ import annotations

import os

os.environ.setdefault("OMP_NUM_THREADS", "1")  # one core each (OpenJij would use OpenMP)

import math
import subprocess
import sys
import textwrap
import time

import numpy as np

from instances import load_beasley, load_gset
from report import RESULTS, machine

QUICK = "--quick" in sys.argv
RUNS = 6 if QUICK else 20          # independent runs per TTS grid point
INSTANCES = ["G1", "G43", "bqp250-1", "dense1000"]

# orvane's grid, relative to sigma_d, the RMS flip energy at a random state;
# sweeps: iterations_per_t in units of n.
OV_GRID = [(t0, tc, alpha, sweeps)
           for t0 in (0.3, 0.45, 0.6) for tc in (0.03, 0.07) for alpha in (0.9, 0.95) for sweeps in (50, 150)]
# (short, long) sweeps for ns per attempt; OpenJij's long conversion of a dense model needs a longer run
NS_SWEEPS = {"default": {"orvane": (1000, 8000), "dwave-samplers": (1000, 8000), "OpenJij": (1000, 8000)},
             "dense1000": {"orvane": (200, 2000), "dwave-samplers": (200, 2000), "OpenJij": (200, 20000)}}
PEER_SWEEPS = {"default": [1000, 3000, 10000], "dense1000": [300, 1000, 3000]}  # peers keep their own β range


# ---------------------------------------------------------------- instances

def load(name):
    if name.startswith("G"):
        return load_gset(name)
    if name.startswith("bqp"):
        return load_beasley(name)
    rng = np.random.default_rng(0)
    J = np.triu(rng.normal(size=(1000, 1000)), 1)
    return J + J.T, None  # best-known: the lowest energy any solver finds here


def sigma_d(J):
    return 4 * math.sqrt(float((J ** 2).sum(axis=1).mean()))


def energy(J, s):
    s = np.asarray(s, dtype=float)
    return float(-(s @ J @ s))


def to_bqm(J):
    import dimod

    # H = -(s^T J s) = sum_{i<j} -(J_ij + J_ji) s_i s_j - trace(J)
    Q = np.triu(-(J + J.T), 1)
    return dimod.BinaryQuadraticModel(np.zeros(J.shape[0]), Q, -float(np.trace(J)), "SPIN")


# ---------------------------------------------------------------- solvers

def ov_sampler(J, t0, tc, alpha, iters, size=1, seed=1, history=False):
    from orvane.sampler import SimulatedAnnealingSampler

    return SimulatedAnnealingSampler(initial_temperature=t0, alpha=alpha, cutoff_temperature=tc,
                                     iterations_per_t=iters, size_limit=size, rand_seed=seed,
                                     flag_evolution_history=history)


clock = time.process_time


def ov_runs(J, point, runs):
    """Energies and mean CPU time of `runs` independent orvane runs."""
    n = J.shape[0]
    sd = sigma_d(J)
    t0, tc, alpha, sweeps = point
    es, spent = [], 0.0
    for r in range(runs):
        sampler = ov_sampler(J, t0 * sd, tc * sd, alpha, sweeps * n, seed=1000 + r)
        t = clock()
        out = sampler.solve(J)
        spent += clock() - t
        es.append(energy(J, out[0]))
    return np.array(es), spent / runs


def dwave_runs(bqm, sweeps, runs, **kw):
    from dwave.samplers import SimulatedAnnealingSampler

    t = clock()
    ss = SimulatedAnnealingSampler().sample(bqm, num_reads=runs, num_sweeps=sweeps, seed=7, **kw)
    return np.asarray(ss.record.energy, dtype=float), (clock() - t) / runs


def openjij_runs(bqm, sweeps, runs, **kw):
    import openjij as oj

    t = clock()
    ss = oj.SASampler().sample(bqm, num_reads=runs, num_sweeps=sweeps, seed=7, **kw)
    return np.asarray(ss.record.energy, dtype=float), (clock() - t) / runs


# ---------------------------------------------------------------- measures

def tts99(tau, p):
    if p >= 0.99:
        return tau
    if p <= 0:
        return math.inf
    return tau * math.log(0.01) / math.log(1 - p)


def ns_per_attempt(J, bqm, sweeps, reads=1):
    """All three on the same geometric schedule over auto_temperature's range,
    one sweep (n attempts) per temperature: the extra CPU time of the long
    over the short run (`sweeps[solver]`) per extra attempt, so fixed per-call
    costs cancel out."""
    from orvane.sampler import auto_temperature

    n = J.shape[0]
    t0, tc = auto_temperature(J)
    beta = [1 / t0, 1 / tc]

    def orvane(sweeps):
        alpha = (tc / t0) ** (1 / sweeps)
        steps = math.ceil(math.log(tc / t0) / math.log(alpha))
        sampler = ov_sampler(J, t0, tc, alpha, n, size=reads)
        return timed(lambda: sampler.solve(J)), steps * n * reads

    def dwave(sweeps):
        return timed(lambda: dwave_runs(bqm, sweeps, reads, beta_range=beta, beta_schedule_type="geometric")), \
            sweeps * n * reads

    def openjij(sweeps):
        return timed(lambda: openjij_runs(bqm, sweeps, reads, beta_min=beta[0], beta_max=beta[1])), \
            sweeps * n * reads

    solvers = (("orvane", orvane), ("dwave-samplers", dwave), ("OpenJij", openjij))
    for _, fn in solvers:
        fn(10)  # warm up: first-call costs
    # the machine is shared: the solvers take turns, and each keeps its fastest time
    best = {label: [math.inf, math.inf] for label, _ in solvers}
    attempts = {}
    for _ in range(5):
        for label, fn in solvers:
            for i, count in enumerate(sweeps[label]):
                t, a = fn(count)
                best[label][i] = min(best[label][i], t)
                attempts[label, i] = a
    return {label: (t2 - t1) / (attempts[label, 1] - attempts[label, 0]) * 1e9
            for label, (t1, t2) in best.items()}


def timed(fn):
    t = clock()
    fn()
    return clock() - t


def peak_memory_rows():
    """Peak RSS growth of one solve on a dense n = 2000 matrix, in a fresh process."""
    code = textwrap.dedent("""
        import numpy as np, sys
        from orvane.sampler import SimulatedAnnealingSampler
        def hwm():
            for line in open('/proc/self/status'):
                if line.startswith('VmHWM'):
                    return int(line.split()[1]) * 1024
        n = 2000
        rng = np.random.default_rng(0)
        J = np.triu(rng.normal(size=(n, n)), 1); J = J + J.T
        kind = sys.argv[1]
        if kind == 'int64 asymmetric':
            J = np.triu(np.rint(J * 10)).astype(np.int64)
        elif kind == 'float64 asymmetric':
            J = np.triu(J)
        s = SimulatedAnnealingSampler(initial_temperature=10, cutoff_temperature=5, iterations_per_t=n,
                                      size_limit=2, rand_seed=1)
        s.solve(J[:4, :4])
        with open('/proc/self/clear_refs', 'w') as f:
            f.write('5')  # reset the peak to the current size
        before = hwm()
        s.solve(J)
        print((hwm() - before) / (n * n * 8))
    """)
    rows = []
    for kind in ("float64 symmetric", "float64 asymmetric", "int64 asymmetric"):
        # a fixed mmap threshold: large blocks come from and go back to the system, so RSS tracks live memory
        env = dict(os.environ, MALLOC_MMAP_THRESHOLD_="131072")
        res = subprocess.run([sys.executable, "-c", code, kind], capture_output=True, text=True, check=True, env=env)
        rows.append((kind, float(res.stdout.strip())))
    return rows


# ---------------------------------------------------------------- main

def main():
    results = {}
    for name in INSTANCES:
        J, best = load(name)
        bqm = to_bqm(J)
        n = J.shape[0]
        print(f"== {name} (n = {n})", flush=True)
        ns = ns_per_attempt(J, bqm, NS_SWEEPS.get(name, NS_SWEEPS["default"]))
        print("ns/attempt", ns, flush=True)
        trials = {"orvane": [], "dwave-samplers": [], "OpenJij": []}
        for point in OV_GRID:
            es, tau = ov_runs(J, point, RUNS)
            trials["orvane"].append((point, es, tau))
            print("orvane", point, f"tau={tau * 1e3:.1f}ms min={es.min()}", flush=True)
        for sweeps in PEER_SWEEPS.get(name, PEER_SWEEPS["default"]):
            for label, fn in (("dwave-samplers", dwave_runs), ("OpenJij", openjij_runs)):
                es, tau = fn(bqm, sweeps, RUNS)
                trials[label].append((sweeps, es, tau))
                print(label, sweeps, f"tau={tau * 1e3:.1f}ms min={es.min()}", flush=True)
        if best is None:
            best = min(es.min() for runs in trials.values() for _, es, _ in runs)
        tol = 1e-6 * max(1.0, abs(best))
        summary = {}
        for label, runs in trials.items():
            scored = []
            for point, es, tau in runs:
                p = float(np.mean(es <= best + tol))
                scored.append((tts99(tau, p), point, p, tau, float(es.mean())))
            summary[label] = (min(scored, key=lambda x: x[0]), scored)
        results[name] = (n, best, ns, summary)
    memory = peak_memory_rows()
    write_report(results, memory)
    plot_g1()


def fmt_point(label, point):
    if label == "orvane":
        t0, tc, alpha, sweeps = point
        return f"T0={t0}σ, Tc={tc}σ, α={alpha}, {sweeps}n/step"
    return f"{point} sweeps"


def fmt(v, digits=3):
    if v is None:
        return "—"
    if isinstance(v, float):
        if math.isinf(v):
            return "∞"
        return f"{v:.{digits}g}"
    return str(v)


def write_report(results, memory):
    L = ["# Simulated annealing: orvane vs dwave-samplers and OpenJij", "",
         f"Machine: {machine()} (2 cores shared with other work; one process per solver, one core).", ""]
    L += ["## ns per flip attempt (lower is better)", "",
          "Same geometric schedule for all three: temperatures from orvane's `auto_temperature` "
          "(hot start, most attempts early on are accepted), one sweep of n attempts per temperature "
          "(orvane: `iterations_per_t = n`), one run. The figure is the extra CPU time of 8000 over 1000 "
          "sweeps (on dense1000 2000 over 200; OpenJij 20000 over 200, as its model conversion "
          "dominates shorter runs) divided by the extra attempts, each the fastest of 5 "
          "turns taken in rotation by the three solvers after a warm-up call, so per-call costs (model "
          "conversion, setup) cancel. dwave-samplers and OpenJij sweep the spins in order; orvane draws each spin at "
          "random (its contract) and restarts every step from the best configuration.", "",
          "| instance | n | orvane | dwave-samplers | OpenJij | dwave / orvane | OpenJij / orvane |",
          "|---|---|---|---|---|---|---|"]
    for name, (n, best, ns, _) in results.items():
        L.append(f"| {name} | {n} | {fmt(ns['orvane'])} | {fmt(ns['dwave-samplers'])} | {fmt(ns['OpenJij'])} | "
                 f"{fmt(ns['dwave-samplers'] / ns['orvane'])} | {fmt(ns['OpenJij'] / ns['orvane'])} |")
    L += ["", "## TTS99 to the best-known energy (lower is better)", "",
          f"TTS99 = τ · ln(0.01) / ln(1 − p) with τ the CPU time of one run and p the fraction of {RUNS} "
          "independent runs reaching the target (TTS99 = τ when p ≥ 0.99). Each solver at its best grid "
          "point. orvane's runs are separate `solve` calls (size_limit=1), so τ includes its per-call "
          "setup; the peers' τ is one `sample` call with num_reads runs divided by the runs. "
          "dense1000 has no published optimum: its target is the lowest energy any solver found here.", "",
          "| instance | target H | orvane TTS99 (s) | p | τ (ms) | dwave TTS99 (s) | p | τ (ms) | "
          "OpenJij TTS99 (s) | p | τ (ms) | dwave / orvane | OpenJij / orvane |",
          "|---|---|---|---|---|---|---|---|---|---|---|---|---|"]
    for name, (n, best, ns, summary) in results.items():
        cells = [name, fmt(best, 8)]
        tts = {}
        for label in ("orvane", "dwave-samplers", "OpenJij"):
            (t, point, p, tau, _), _ = summary[label]
            tts[label] = t
            cells += [fmt(t), fmt(p, 2), fmt(tau * 1e3)]
        ratio = lambda a, b: fmt(a / b) if math.isfinite(a) and math.isfinite(b) else "—"
        cells += [ratio(tts["dwave-samplers"], tts["orvane"]), ratio(tts["OpenJij"], tts["orvane"])]
        L.append("| " + " | ".join(cells) + " |")
    L += ["", "### Grids and the chosen points", "",
          "- orvane: σ = 4·sqrt(mean_k Σ_j J_kj²), the RMS flip energy at a random state; "
          "T0 ∈ {0.3σ, 0.45σ, 0.6σ}, Tc ∈ {0.03σ, 0.07σ}, α ∈ {0.9, 0.95}, iterations_per_t ∈ "
          "{50n, 150n} (24 points). The sampler restarts each temperature step from the best configuration of "
          "the run, so it pays to stop well above the classic freeze-out temperature and to make "
          "long steps.",
          f"- dwave-samplers, OpenJij: num_sweeps ∈ {PEER_SWEEPS['default']} "
          f"({PEER_SWEEPS['dense1000']} on dense1000), each with its own default temperature (β) range.", "",
          "| instance | orvane | dwave-samplers | OpenJij |", "|---|---|---|---|"]
    for name, (n, best, ns, summary) in results.items():
        L.append(f"| {name} | " + " | ".join(fmt_point(label, summary[label][0][1])
                                            for label in ("orvane", "dwave-samplers", "OpenJij")) + " |")
    L += ["", "<details><summary>Every grid point (TTS99 s, p, τ ms, mean energy)</summary>", ""]
    for name, (n, best, ns, summary) in results.items():
        L += [f"**{name}**", "", "| solver | point | TTS99 | p | τ | mean H |", "|---|---|---|---|---|---|"]
        for label in ("orvane", "dwave-samplers", "OpenJij"):
            for t, point, p, tau, mean in summary[label][1]:
                L.append(f"| {label} | {fmt_point(label, point)} | {fmt(t)} | {fmt(p, 2)} | {fmt(tau * 1e3)} | "
                         f"{fmt(mean, 7)} |")
        L.append("")
    L += ["</details>", "", "## Memory", "",
          "Peak resident memory added by one `solve` on a dense n = 2000 matrix (32 MB as float64), "
          "in units of one float64 copy of the matrix. A symmetric float64 matrix is used in place; "
          "otherwise it keeps one float64 copy laid out by columns, converted straight from the input "
          "(integer or other dtypes, other memory orders). Sparse matrices are walked through a "
          "compressed copy of their non-zeros.", "", "| input | peak growth (matrix copies) |", "|---|---|"]
    for kind, copies in memory:
        L.append(f"| {kind} | {copies:.2f} |")
    L += ["", "![energy against time on G1](anneal.png)", ""]
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "anneal.md").write_text("\n".join(L))
    print("\n".join(L))


def plot_g1():
    """Energy against time on G1: each solver at growing lengths, one run each;
    and the energy of one orvane run after every accepted flip."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    J, best = load_gset("G1")
    n = J.shape[0]
    bqm = to_bqm(J)
    sd = sigma_d(J)
    fig, (ax, bx) = plt.subplots(1, 2, figsize=(11, 4))
    xs, ys = [], []
    for sweeps in (5, 10, 20, 50, 100, 200):
        sampler = ov_sampler(J, 0.5 * sd, 0.07 * sd, 0.95, sweeps * n, seed=3)
        t = clock()
        out = sampler.solve(J)
        xs.append(clock() - t)
        ys.append(energy(J, out[0]))
    ax.plot(xs, ys, marker="o", label="orvane (iterations_per_t = k·n)")
    for label, fn in (("dwave-samplers", dwave_runs), ("OpenJij", openjij_runs)):
        xs, ys = [], []
        for sweeps in (100, 300, 1000, 3000, 10000):
            es, tau = fn(bqm, sweeps, 1)
            xs.append(tau)
            ys.append(es[0])
        ax.plot(xs, ys, marker="o", label=f"{label} (num_sweeps)")
    ax.axhline(best, color="k", lw=0.8, ls="--", label="best known")
    ax.set_xscale("log")
    ax.set_xlabel("CPU time of the run (s)")
    ax.set_ylabel("energy H")
    ax.set_title("G1: energy reached by one run of a given length")
    ax.legend(fontsize=8)
    ax.grid(True, alpha=0.3)

    s = ov_sampler(J, 0.5 * sd, 0.07 * sd, 0.95, 20 * n, seed=3, history=True)
    s.solve(J)
    items = sorted((k, v) for k, v in s.get_ha_history().items())
    ts = np.array([k for k, _ in items], dtype=float)
    es = np.array([v for _, v in items], dtype=float)
    keep = np.unique(np.linspace(0, len(ts) - 1, 4000).astype(int))
    bx.plot(ts[keep], es[keep], lw=0.6, label="walk energy")
    bx.plot(ts, np.minimum.accumulate(es), lw=1.2, label="best so far")
    bx.axhline(best, color="k", lw=0.8, ls="--", label="best known")
    bx.set_xlabel("time in run (s)")
    bx.set_ylabel("energy H")
    bx.set_title("G1: one orvane run (ha_history)")
    bx.legend(fontsize=8)
    bx.grid(True, alpha=0.3)
    fig.tight_layout()
    fig.savefig(RESULTS / "anneal.png", dpi=110)


if __name__ == "__main__":
    main()
