import inspect
import logging
import math
import multiprocessing
import os
import pickle
import signal
import threading

import numpy as np
import pytest

import orvane as ov
from orvane.sampler import _annealer as annealer
from orvane.sampler._annealer import (
    SimulatedAnnealingSampler,
    SimulatedAnnealingSamplerBase,
    auto_temperature,
    split_near_uniform,
)
from conftest import energies

WORKED = np.array([[0, 2, -3], [2, 0, -1], [-3, -1, 0]])
LOGGER = "orvane.sampler._annealer"
CPUS = os.cpu_count()


def random_ising(rng, n, kind="int"):
    if kind == "int":
        J = rng.integers(-3, 4, size=(n, n))
    else:
        J = rng.normal(size=(n, n))
    J = np.triu(J, 1)
    return J + J.T


class SeedEcho(SimulatedAnnealingSamplerBase):
    """Rows filled with the seed and the requested size, to watch the driver."""

    def single_process_solve(self, ising_matrix, init_solution, rand_seed, size_limit=None):
        n = np.shape(ising_matrix)[0]
        return np.full((size_limit, n), rand_seed, dtype=np.int64)


class Failing(SimulatedAnnealingSamplerBase):
    def single_process_solve(self, ising_matrix, init_solution, rand_seed, size_limit=None):
        raise ValueError("worker failed")


# ---------------------------------------------------------------- plain reference
# The documented algorithm written out in Python with the sampler's generator
# (eight xoshiro256++ generators used in turn, generator j seeded with
# splitmix64 outputs 4j..4j+3; k by Lemire's method, u = top 53 bits; a random
# start takes the top bit of one draw per spin). The compiled sampler must make
# the same draws in the same order and the same decisions.

M64 = (1 << 64) - 1


def rotl(x, k):
    return ((x << k) | (x >> (64 - k))) & M64


class Stream:
    LANES = 8

    def __init__(self, seed):
        x, self.states, self.turn = seed & M64, [], 0
        for _ in range(self.LANES):
            state = []
            for _ in range(4):
                x = (x + 0x9E3779B97F4A7C15) & M64
                z = ((x ^ (x >> 30)) * 0xBF58476D1CE4E5B9) & M64
                z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & M64
                state.append(z ^ (z >> 31))
            self.states.append(state)

    def next(self):
        s = self.states[self.turn]
        self.turn = (self.turn + 1) % self.LANES
        result = (rotl((s[0] + s[3]) & M64, 23) + s[0]) & M64
        t = (s[1] << 17) & M64
        s[2] ^= s[0]
        s[3] ^= s[1]
        s[1] ^= s[2]
        s[0] ^= s[3]
        s[2] ^= t
        s[3] = rotl(s[3], 45)
        return result

    def below(self, n):
        m = self.next() * n
        if (m & M64) < n:
            threshold = ((1 << 64) - n) % n
            while (m & M64) < threshold:
                m = self.next() * n
        return m >> 64

    def uniform(self):
        return (self.next() >> 11) * 2.0 ** -53


def reference_anneal(J, seed, runs, t0, alpha, cutoff, iters, init=None):
    J = np.asarray(J)
    n = J.shape[0]
    g = Stream(seed)
    s = np.array([1 if g.next() >> 63 else -1 for _ in range(n)]) if init is None else np.array(init)
    pool, starts, flips = [], [], []
    for _ in range(runs):
        e = -(s @ J @ s)
        best, e_best = s.copy(), e
        starts.append(e)
        t = t0
        while t > cutoff:
            accepted = False
            for _ in range(iters):
                k = g.below(n)
                d = 4 * s[k] * (s @ J[k])
                if d < 0 or math.exp(-d / t) > g.uniform():
                    s[k] = -s[k]
                    e += d
                    flips.append(e)
                    if e < e_best:
                        best, e_best = s.copy(), e
                    accepted = True
            if accepted:
                s, e = best.copy(), e_best
            t *= alpha
        pool.append(best)
    return np.array(pool), starts, flips


@pytest.mark.parametrize("n, runs, t0, alpha, cutoff, iters, with_init", [
    (5, 3, 2.0, 0.9, 0.05, 20, False),
    (12, 2, 10.0, 0.8, 0.01, 50, True),
    (40, 2, 30.0, 0.7, 0.5, 200, False),   # hot: many uphill moves
    (40, 1, 3.0, 0.9, 0.1, 100, True),
])
@pytest.mark.parametrize("layout", ["dense", "sparse", "asymmetric"])
def test_matches_plain_reference(rng, n, runs, t0, alpha, cutoff, iters, with_init, layout):
    J = random_ising(rng, n)
    if layout == "sparse":
        J = J * (rng.random((n, n)) < 0.15)
    elif layout == "asymmetric":
        J = J + np.diag(rng.integers(-2, 3, n)) + np.triu(rng.integers(-1, 2, (n, n)))
    init = rng.choice([-1, 1], n) if with_init else None
    expected, starts, flips = reference_anneal(J, 7, runs, t0, alpha, cutoff, iters, init)
    s = SimulatedAnnealingSampler(initial_temperature=t0, alpha=alpha, cutoff_temperature=cutoff,
                                  iterations_per_t=iters, size_limit=runs, flag_evolution_history=True)
    out = s.single_process_solve(J, init, 7)
    assert np.array_equal(s.solution_pool, expected)
    assert np.array_equal(out, expected * expected[:, -1:])
    # history: key 0 holds the start energy of the last run, then one entry
    # per accepted flip keyed by its time within its run (times of different
    # runs may coincide and overwrite each other)
    assert s.ha_history[0] == starts[-1]
    recorded = [v for k, v in s.ha_history.items() if k != 0]
    if runs == 1:
        assert recorded == flips
    else:
        assert set(recorded) <= set(flips) and len(recorded) <= len(flips)


# ---------------------------------------------------------------- module functions


@pytest.mark.parametrize("m, n, expected", [
    (10, 4, [3, 3, 2, 2]),
    (1, 4, [1, 0, 0, 0]),
    (8, 4, [2, 2, 2, 2]),
    (0, 3, [0, 0, 0]),
    (7, 1, [7]),
])
def test_split_near_uniform(m, n, expected):
    assert split_near_uniform(m, n) == expected


def test_split_near_uniform_by_zero():
    with pytest.raises(ZeroDivisionError):
        split_near_uniform(3, 0)


def test_auto_temperature_worked_example_and_scaling():
    start, cutoff = auto_temperature(WORKED)
    assert start == pytest.approx(5 / math.log(2))
    assert cutoff == pytest.approx(1 / math.log(100))
    # magnitudes count, and the temperatures scale with the matrix
    s2, c2 = auto_temperature(-2.5 * WORKED)
    assert (s2, c2) == pytest.approx((2.5 * start, 2.5 * cutoff))


@pytest.mark.parametrize("bad, error", [
    (np.zeros((3, 3)), ValueError),
    ([[0, np.nan], [1, 0]], ValueError),
    ([1, 2, 3], ValueError),
    ([["a", "b"], ["c", "d"]], TypeError),
])
def test_auto_temperature_rejects(bad, error):
    with pytest.raises(error):
        auto_temperature(bad)


# ---------------------------------------------------------------- construction


def test_sampler_defaults_and_signature():
    s = SimulatedAnnealingSampler(rand_seed=3)
    assert (s.initial_temperature, s.alpha, s.cutoff_temperature, s.iterations_per_t, s.size_limit) == (
        100, 0.99, 0.001, 10, 100)
    assert (s.flag_evolution_history, s.verbose, s.rand_seed, s.process_num) == (False, False, 3, 1)
    assert s.ha_history == {} and s.solution_pool is None and s.matrix is None
    params = inspect.signature(SimulatedAnnealingSampler).parameters
    assert list(params) == ["initial_temperature", "alpha", "cutoff_temperature", "iterations_per_t", "size_limit",
                            "flag_evolution_history", "verbose", "rand_seed", "process_num"]
    assert isinstance(s, ov.core.IsingSolver) and isinstance(s, ov.core.QuboSolver)


def test_base_is_abstract_and_has_its_defaults():
    with pytest.raises(TypeError, match="abstract"):
        SimulatedAnnealingSamplerBase()
    b = SeedEcho()
    assert (b.initial_temperature, b.alpha, b.cutoff_temperature, b.iterations_per_t, b.size_limit,
            b.process_num) == (None, 0.99, None, 10, 1, 1)
    assert 0 <= b.rand_seed < 2 ** 31


def test_seed_drawn_from_numpy_global_generator():
    np.random.seed(7)
    a = SimulatedAnnealingSampler().rand_seed
    np.random.seed(7)
    assert SimulatedAnnealingSampler().rand_seed == a
    assert all(0 <= SimulatedAnnealingSampler().rand_seed < 2 ** 30 for _ in range(20))


@pytest.mark.parametrize("given, expected", [(-1, CPUS), (1000, CPUS), (1, 1), (CPUS, CPUS)])
def test_process_num(given, expected):
    assert SimulatedAnnealingSampler(process_num=given).process_num == expected
    assert SeedEcho(process_num=given).process_num == expected


def test_pickles_by_reference():
    s = SimulatedAnnealingSampler(rand_seed=5, size_limit=3)
    s.solve(WORKED)
    t = pickle.loads(pickle.dumps(s))
    assert type(t) is SimulatedAnnealingSampler
    assert t.rand_seed == 5 and np.array_equal(t.solution_pool, s.solution_pool)


# ---------------------------------------------------------------- single-process annealing


def test_worked_example_and_normalisation():
    s = SimulatedAnnealingSampler(size_limit=4, rand_seed=11)
    out = s.solve(WORKED)
    assert out.dtype == np.int64 and out.shape == (4, 3)
    assert out.tolist() == [[-1, -1, 1]] * 4
    pool = s.solution_pool
    assert pool.dtype == np.int64 and pool.shape == (4, 3)
    assert np.array_equal(out, pool * pool[:, -1:])  # pool left as found


@pytest.mark.parametrize("kind", ["int", "float"])
@pytest.mark.parametrize("n", [6, 10, 13])
def test_reaches_exhaustive_optimum(rng, n, kind):
    J = random_ising(rng, n, kind)
    best = energies(J, ov.classical.BruteForceOptimizer().solve(J)[:1])[0]
    out = SimulatedAnnealingSampler(iterations_per_t=4 * n, alpha=0.95, size_limit=8, rand_seed=int(n)).solve(J)
    assert (out[:, -1] == 1).all() and set(np.unique(out)) <= {-1, 1}
    assert energies(J, out).min() == pytest.approx(best)


@pytest.mark.parametrize("kind", ["int", "float"])
def test_tracked_energy_matches_full_recomputation(rng, kind):
    # The best tracked energy of a run is the energy of the row it returns.
    J = random_ising(rng, 40, kind)
    s = SimulatedAnnealingSampler(size_limit=1, iterations_per_t=100, alpha=0.9, flag_evolution_history=True,
                                  rand_seed=2)
    out = s.solve(J)
    tracked = min(s.get_ha_history().values())
    assert tracked == pytest.approx(energies(J, out)[0], abs=1e-9)
    if kind == "int":
        assert tracked == energies(J, out)[0] and isinstance(tracked, int)


def test_input_layouts_and_dtypes_agree(rng):
    # float64 C arrays are used in place, anything else through one converted
    # copy of the transpose: same walk either way
    J = random_ising(rng, 30)
    J[0, 1] += 1  # asymmetric
    expected = SimulatedAnnealingSampler(size_limit=5, rand_seed=9).solve(J.astype(float))
    for variant in (J, J.astype(np.int32), J.astype(">f8"), np.asfortranarray(J.astype(float)),
                    J.astype(np.float32), J.tolist()):
        out = SimulatedAnnealingSampler(size_limit=5, rand_seed=9).solve(variant)
        assert np.array_equal(out, expected)


def test_rows_are_local_optima_for_every_layout(rng):
    # Symmetric dense (used in place), asymmetric dense (transposed copy) and
    # sparse (compressed) matrices: no flip of a returned row lowers the
    # energy as the sampler measures it, 4 s_k (s . J[k, :]).
    n = 30
    dense = random_ising(rng, n, "float")
    # rows scaled apart: asymmetric, but a flip lowers the energy exactly when
    # it does for `dense`, so the walk still ends in a local optimum
    upper = rng.uniform(0.5, 2.0, size=(n, 1)) * dense
    sparse = dense * (rng.random((n, n)) < 0.1)
    sparse = np.triu(sparse, 1) + np.triu(sparse, 1).T
    assert not np.allclose(upper, upper.T)
    for J in (dense, upper, sparse):
        out = SimulatedAnnealingSampler(size_limit=3, rand_seed=4, iterations_per_t=50).solve(J)
        s = SimulatedAnnealingSampler(size_limit=3, rand_seed=4)
        for row in out:  # every returned row is a local optimum of the row-based flip change
            s.set_matrix(J)
            assert all(s._dlt_h_single_flip(row, k) >= -1e-9 for k in range(n))


def test_same_seed_same_result_and_seed_matters(rng):
    J = random_ising(rng, 25, "float")
    a = SimulatedAnnealingSampler(size_limit=6, rand_seed=21).solve(J)
    b = SimulatedAnnealingSampler(size_limit=6, rand_seed=21).solve(J)
    assert np.array_equal(a, b)
    others = [SimulatedAnnealingSampler(size_limit=6, rand_seed=seed, iterations_per_t=1,
                                        initial_temperature=1, cutoff_temperature=0.5).solve(J)
              for seed in (1, 2, 3)]
    assert not all(np.array_equal(others[0], o) for o in others[1:])


def test_size_limit_argument_and_pool():
    s = SimulatedAnnealingSampler(size_limit=3, rand_seed=1)
    assert s.solve(WORKED).shape == (3, 3)
    pool = s.solution_pool
    out = s.single_process_solve(WORKED, None, 1, size_limit=5)
    assert out.shape == (5, 3) and s.solution_pool.shape == (5, 3)
    assert s.single_process_solve(WORKED, None, 1, size_limit=0).shape == (0, 3)
    s.set_matrix(np.zeros((4, 4)))
    assert s.solution_pool.shape == (3, 4) and not s.solution_pool.any()
    assert pool.shape == (3, 3)


def test_init_solution_starts_run_zero():
    J = WORKED
    init = np.array([1, -1, -1])
    s = SimulatedAnnealingSampler(size_limit=1, flag_evolution_history=True, rand_seed=1)
    s.single_process_solve(J, init, 1)
    assert s.ha_history[0] == energies(J, init)[0]
    assert init.tolist() == [1, -1, -1]


def test_no_step_when_start_not_above_cutoff(caplog):
    init = np.array([1, 1, -1, 1, -1])
    J = np.ones((5, 5))
    s = SimulatedAnnealingSampler(initial_temperature=0.5, cutoff_temperature=0.5, size_limit=3,
                                  verbose=True, flag_evolution_history=True, rand_seed=1)
    with caplog.at_level(logging.INFO, logger=LOGGER):
        out = s.single_process_solve(J, init, 1)
    assert caplog.records == []
    assert s.solution_pool.tolist() == [init.tolist()] * 3
    assert out.tolist() == [(init * init[-1]).tolist()] * 3
    assert s.ha_history == {0: energies(J, init)[0]}


def test_log_lines_and_step_count(caplog):
    s = SimulatedAnnealingSampler(size_limit=2, verbose=True, rand_seed=1)
    with caplog.at_level(logging.INFO, logger=LOGGER):
        s.solve(WORKED)
    msgs = [r.getMessage() for r in caplog.records]
    expected = [r for r in caplog.records if r.msg == "Expected execution completion time is %s seconds"]
    progress = [r for r in caplog.records if r.msg == "Current progress %s/%s; Current temperature: %s"]
    assert len(expected) == 2 and len(progress) == 2 * 1146 and len(msgs) == 2 + 2 * 1146
    assert msgs[0].startswith("Expected execution completion time is ") and msgs[0].endswith(" seconds")
    assert progress[0].args[:2] == (1, 1146) and progress[0].args[2] == pytest.approx(99.0)
    count, steps, t = progress[1145].args
    assert (count, steps) == (1146, 1146) and t == pytest.approx(0.000995, rel=1e-3)
    assert all(r.name == LOGGER and r.levelno == logging.INFO for r in caplog.records)


def test_logger_looked_up_at_call_time(monkeypatch):
    seen = []

    class Recorder:
        def info(self, fmt, *args):
            seen.append(fmt % args)

    monkeypatch.setattr(annealer, "logger", Recorder())
    SimulatedAnnealingSampler(size_limit=1, rand_seed=1).solve(WORKED)
    assert len(seen) == 1 and seen[0].startswith("Expected execution completion time is ")


def test_zero_change_flips_always_accepted():
    # J = 0: every attempt has d = 0 and is accepted; each one is recorded.
    steps, iters = 7, 5
    s = SimulatedAnnealingSampler(initial_temperature=1, alpha=0.9, cutoff_temperature=0.5, iterations_per_t=iters,
                                  size_limit=1, flag_evolution_history=True, rand_seed=3)
    assert math.ceil(math.log(0.5) / math.log(0.9)) == steps
    s.solve(np.zeros((4, 4)))
    times = [k for k in s.ha_history if k != 0]
    assert len(times) == steps * iters and times == sorted(times) and all(t > 0 for t in times)
    assert set(s.ha_history.values()) == {0.0}


def test_diagonal_counts_in_the_flip_change():
    J = np.array([[2.0, 1.0], [1.0, 0.0]])
    s = SimulatedAnnealingSampler()
    s.set_matrix(J)
    sol = np.array([1, -1])
    assert s._dlt_h_single_flip(sol, 0) == 4 * 1 * (2 - 1)
    # with only a diagonal every energy is -trace, but the tracked energy moves
    s = SimulatedAnnealingSampler(size_limit=1, flag_evolution_history=True, rand_seed=1, alpha=0.5)
    s.solve(np.eye(3))
    assert s.ha_history[0] == -3 and max(s.ha_history.values()) > -3


def test_history_accumulates_over_runs_and_calls():
    s = SimulatedAnnealingSampler(size_limit=2, flag_evolution_history=True, rand_seed=1, alpha=0.5)
    s.solve(WORKED)
    first = len(s.get_ha_history())
    s.solve(WORKED)
    assert len(s.get_ha_history()) > first and s.get_ha_history() is s.ha_history


# ---------------------------------------------------------------- parallel driver


def test_driver_seeds_sizes_and_order():
    s = SeedEcho(size_limit=5, rand_seed=123, process_num=2)
    out = s.solve(WORKED)
    np.random.seed(123)
    seeds = np.random.randint(0, 2 ** 30, size=2)
    assert out.tolist() == [[seeds[0]] * 3] * 3 + [[seeds[1]] * 3] * 2
    assert (0 <= seeds).all() and (seeds < 2 ** 30).all()


def test_size_limit_below_process_num():
    out = SeedEcho(size_limit=1, rand_seed=1, process_num=2).solve(WORKED)
    assert out.shape == (1, 3)
    out = SimulatedAnnealingSampler(size_limit=1, rand_seed=1, process_num=2).solve(WORKED)
    assert out.shape == (1, 3) and out.tolist() == [[-1, -1, 1]]


def test_multi_process_matches_workers_run_in_process(rng):
    J = random_ising(rng, 20, "float")
    s = SimulatedAnnealingSampler(size_limit=5, rand_seed=77, process_num=2)
    out = s.solve(J)
    assert s.solution_pool is None and s.matrix is None  # workers' copies only
    assert np.array_equal(out, s.solve(J))
    np.random.seed(77)
    seeds = np.random.randint(0, 2 ** 30, size=2)
    here = SimulatedAnnealingSampler(size_limit=5, rand_seed=77)
    expected = np.concatenate([here.single_process_solve(J, None, int(seeds[0]), 3),
                               here.single_process_solve(J, None, int(seeds[1]), 2)])
    assert np.array_equal(out, expected)


@pytest.mark.parametrize("process_num", [0, -2])
def test_bad_process_num_fails_before_sampling(process_num):
    s = SeedEcho(rand_seed=1)
    s.process_num = process_num
    state = np.random.get_state()[1].copy()
    with pytest.raises(ValueError, match="process_num"):
        s.solve(WORKED)
    assert np.array_equal(np.random.get_state()[1], state)


def test_worker_failure_reaches_caller_and_pool_is_shut_down():
    with pytest.raises(ValueError, match="worker failed"):
        Failing(process_num=2).solve(WORKED)
    assert multiprocessing.active_children() == []
    with pytest.raises(ValueError, match="square"):
        SimulatedAnnealingSampler(process_num=2).solve(np.zeros((2, 3)))
    assert multiprocessing.active_children() == []


def interrupt_soon():
    # a real SIGINT, as Ctrl-C sends: it also wakes a thread blocked on a lock
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    return timer


@pytest.mark.parametrize("process_num", [1, 2])
def test_ctrl_c_stops_cleanly(process_num):
    J = np.ones((50, 50)) - np.eye(50)
    s = SimulatedAnnealingSampler(alpha=0.999999, iterations_per_t=1000, size_limit=2, process_num=process_num)
    timer = interrupt_soon()
    with pytest.raises(KeyboardInterrupt):
        s.solve(J)
    timer.join()
    assert multiprocessing.active_children() == []
    if process_num == 1:
        assert not s.solution_pool.any()  # nothing half-written


# ---------------------------------------------------------------- bad input


@pytest.mark.parametrize("matrix, error, match", [
    (np.zeros((2, 3)), ValueError, "square"),
    (np.zeros((0, 0)), ValueError, "empty"),
    ([[0, np.nan], [np.nan, 0]], ValueError, "NaN"),
    ([[0, np.inf], [1, 0]], ValueError, "NaN"),
    ([["a", "b"], ["c", "d"]], TypeError, "numeric"),
    (None, ValueError, "given"),
])
def test_bad_matrix(matrix, error, match):
    with pytest.raises(error, match=match):
        SimulatedAnnealingSampler(size_limit=1).solve(matrix)


@pytest.mark.parametrize("init, error, match", [
    (np.array(["1", "-1", "1"]), TypeError, "numeric"),
    (np.array([1, 0, -1]), ValueError, "-1 and \\+1"),
    (np.array([1.0, -1.0, 0.5]), ValueError, "-1 and \\+1"),
    (np.array([1, -1]), ValueError, "3 spins"),
    (np.array([[1, -1, 1]]), ValueError, "3 spins"),
])
def test_bad_init_solution(init, error, match):
    s = SimulatedAnnealingSampler(size_limit=1)
    with pytest.raises(error, match=match):
        s.single_process_solve(WORKED, init, 1)


@pytest.mark.parametrize("settings, error, match", [
    (dict(alpha=1.0), ValueError, "alpha"),
    (dict(alpha=0.0), ValueError, "alpha"),
    (dict(cutoff_temperature=-1.0), ValueError, "cutoff_temperature"),
    (dict(initial_temperature=math.inf), ValueError, "finite"),
    (dict(initial_temperature=None), ValueError, "initial_temperature"),
    (dict(iterations_per_t=2.5), TypeError, "iterations_per_t"),
    (dict(size_limit=-1), ValueError, "size_limit"),
])
def test_bad_settings(settings, error, match):
    with pytest.raises(error, match=match):
        SimulatedAnnealingSampler(**settings).solve(WORKED)


def test_bad_seed():
    with pytest.raises(TypeError, match="rand_seed"):
        SimulatedAnnealingSampler(size_limit=1).single_process_solve(WORKED, None, 1.5)


# ---------------------------------------------------------------- SimulatedAnnealingOptimizer


def test_optimizer_contract_and_sorting(rng):
    J = random_ising(rng, 12)
    opt = ov.classical.SimulatedAnnealingOptimizer(size_limit=1)
    out = opt.solve(J)
    assert out.shape == (1, 12) and out.dtype == np.int64 and out[0, -1] == 1
    out = ov.classical.SimulatedAnnealingOptimizer(size_limit=6, rand_seed=1).solve(J)
    e = energies(J, out)
    assert out.shape == (6, 12) and (np.diff(e) >= 0).all()
    best = energies(J, ov.classical.BruteForceOptimizer().solve(J)[:1])[0]
    assert e[0] == best


def test_optimizer_on_constant_matrix():
    out = ov.classical.SimulatedAnnealingOptimizer(size_limit=2).solve(np.zeros((3, 3)))
    assert out.shape == (2, 3) and (out[:, -1] == 1).all()


def test_optimizer_edge_inputs_and_workers(rng):
    opt = ov.classical.SimulatedAnnealingOptimizer(size_limit=2)
    assert opt.solve(np.zeros((0, 0))).shape == (2, 0)
    with pytest.raises(ValueError, match="NaN"):
        opt.solve([[0, np.nan], [np.nan, 0]])
    with pytest.raises(ValueError, match="square"):
        opt.solve(np.zeros((2, 3)))
    J = random_ising(rng, 10)
    out = ov.classical.SimulatedAnnealingOptimizer(size_limit=3, rand_seed=5, process_num=2).solve(J)
    assert out.shape == (3, 10) and (np.diff(energies(J, out)) >= 0).all()
