import inspect
import math
import pickle

import numpy as np
import pytest

import orvane as ov
from orvane.common import HeapUniquePool
from orvane.core import IsingSolver, QuboSolver
from conftest import energies

Tabu = ov.classical.TabuSearchOptimizer

WORKED = -np.array([[0, 1, 0, 1, 1], [1, 0, 0, 1, 1], [0, 0, 0, 1, 1], [1, 1, 1, 0, 1], [1, 1, 1, 1, 0]])


class ReferenceTabu:
    """The search written out plainly with numpy: every move recomputes all
    single-flip changes, ties go to numpy.random.choice."""

    def __init__(self, max_iter, recency_size=None, kmax=3, p1=3, p2=7, size_limit=1):
        self.max_iter, self.recency_size, self.kmax, self.p1, self.p2 = max_iter, recency_size, kmax, p1, p2
        self.size_limit = size_limit
        self.last_t, self.tabu_value = [], 0
        self.k, self.span, self.iter_span, self.direction = 1, 1, 0, "increase"
        self.ct_var = self.ct_span = self.iterations = 0

    def set_matrix(self, J):
        self.matrix = J
        Jf = np.asarray(J, dtype=float)
        n = Jf.shape[0]
        self.nodiag_mat = -(Jf + Jf.T) / 2
        np.fill_diagonal(self.nodiag_mat, 0)
        self.solution_pool = HeapUniquePool(J, n, self.size_limit)
        if self.recency_size is None:
            self.recency_size = math.ceil(n / 10)
        self.penalty_recency = np.abs(Jf).max()
        self.recency, self.frequency = np.zeros(n), np.zeros(n)

    def init_solution(self, solution=None):
        n = self.nodiag_mat.shape[0]
        x = np.array(solution) if solution is not None else np.where(np.random.standard_normal(n) > 0, 1, -1)
        self.x_conf, self.best_solution = x.copy(), x.copy()
        self.best_hamilton = self.energy(x)

    def energy(self, x):
        return float(-(x @ np.asarray(self.matrix, dtype=float) @ x))

    def j_star(self, val):
        x, N = self.x_conf, self.nodiag_mat
        ev = -4 * np.sum(x[:, None] * x[None, :] * N, axis=1)
        if self.ct_var <= self.k:
            ev = ev + val * self.tabu_value
        ev = np.where(x == val, np.inf, ev)
        j = np.random.choice(np.flatnonzero(ev == ev.min()))
        return j, -4 * x[j] * (x @ N[j, :])

    def update_tabu(self):
        x = self.x_conf.copy()
        if len(self.last_t) <= self.recency_size - 1:
            self.last_t.append(x)
            self.recency = self.recency + x
        else:
            self.recency = self.recency + (x - self.last_t.pop(0))
            self.last_t.append(x)
        self.frequency = self.frequency + x
        pf = self.penalty_recency / 1000 * self.iterations
        self.tabu_value = self.penalty_recency * self.recency + pf * self.frequency

    def phase(self, val):
        self.ct_var = 0
        while np.count_nonzero(self.x_conf == -val):
            j, inc = self.j_star(val)
            if inc < 0:
                self.x_conf[j] = val
                self.ct_var += 1
                continue
            h = self.energy(self.x_conf)
            if h < self.best_hamilton:
                self.best_solution, self.best_hamilton = self.x_conf.copy(), h
            self.solution_pool.push(self.x_conf, h)
            self.update_tabu()
            break
        while self.ct_span <= self.span and np.count_nonzero(self.x_conf == -val):
            self.ct_span += 1
            self.x_conf[self.j_star(val)[0]] = val

    def transfer(self):
        p1, p2 = self.p1, self.p2
        self.iter_span += 1
        if self.direction == "increase":
            if self.span <= p1:
                if self.iter_span > p2 * self.span:
                    self.span, self.iter_span = self.span + 1, 0
            elif self.iter_span > 4:
                self.span, self.iter_span = self.span + 1, 0
            if self.span > p2:
                self.span, self.direction = p2, "decrease"
        else:
            if p1 + 1 <= self.span <= p2:
                if self.iter_span > 4:
                    self.span, self.iter_span = self.span - 1, 0
            elif self.iter_span > p2 * self.span:
                self.span, self.iter_span = self.span - 1, 0
            if self.span == 0:
                self.span, self.direction = 1, "increase"

    def solve(self, J, solution=None):
        self.set_matrix(J)
        self.init_solution(solution)
        return self.run()

    def run(self):
        while self.iterations < self.max_iter:
            self.iterations += 1
            self.phase(+1)
            self.transfer()
            self.ct_span = 0
            self.phase(-1)
            self.transfer()
            self.ct_span += 1
            if self.iterations % (2 * self.recency_size) == 0:
                if self.k == self.kmax:
                    self.k = 0
                self.k += 1
        self.iterations = 0
        return self.solution_pool.get_solutions()


STATE = ["x_conf", "best_solution", "best_hamilton", "recency", "frequency", "tabu_value", "k", "span",
         "iter_span", "direction", "ct_var", "ct_span", "iterations", "recency_size"]


def assert_same_state(opt, ref):
    for name in STATE:
        assert np.array_equal(getattr(opt, name), getattr(ref, name)), name
    assert len(opt.last_t) == len(ref.last_t)
    for a, b in zip(opt.last_t, ref.last_t):
        assert np.array_equal(a, b)
    assert np.array_equal(opt.solution_pool.get_solutions(), ref.solution_pool.get_solutions())
    assert np.array_equal(opt.solution_pool.get_energies(), ref.solution_pool.get_energies())


def random_matrix(rng, n, kind):
    if kind == "int-small":  # many exact ties
        J = rng.integers(-1, 2, size=(n, n))
        J = J + J.T
    elif kind == "int-wide":
        J = rng.integers(-5000, 5000, size=(n, n))
        J = J + J.T
    elif kind == "int-nonsymmetric":
        J = rng.integers(-3, 4, size=(n, n))
    elif kind == "quarters":  # dyadic floats, like QUBO instances converted to spins
        J = rng.integers(-8, 9, size=(n, n)) / 4
        J = J + J.T
    else:
        J = rng.normal(size=(n, n))
        J = J + J.T
    np.fill_diagonal(J, 0 if kind != "int-nonsymmetric" else rng.integers(-2, 3, size=n))
    return J


# ---------------------------------------------------------------- the worked example and defaults


def test_worked_example_reaches_the_minimum():
    for seed in range(10):
        np.random.seed(seed)
        opt = Tabu(10, size_limit=1)
        out = opt.solve(WORKED)
        assert out.dtype == np.int64 and out.shape == (1, 5)
        assert out.tolist() == [[-1, -1, -1, 1, 1]]  # [1, 1, 1, -1, -1] after the negative-tail flip
        assert opt._hamiltonian.tolist() == [-8]
        assert opt.best_hamilton == -8 and opt.iterations == 0


def test_constructor_table_and_contract():
    opt = Tabu(10)
    assert isinstance(opt, IsingSolver) and isinstance(opt, QuboSolver)
    expected = dict(max_iter=10, recency_size=None, kmax=3, span_control_p1=3, span_control_p2=7, size_limit=1,
                    matrix=None, nodiag_mat=None, size=None, x_conf=None, best_solution=None, best_hamilton=None,
                    solution_pool=None, penalty_recency=None, recency=None, last_t=[], frequency=None,
                    tabu_value=0, k=1, span=1, iter_span=0, direction="increase", ct_var=0, ct_span=0, iterations=0)
    for name, value in expected.items():
        assert getattr(opt, name) == value, name
    assert str(inspect.signature(Tabu.__init__)) == (
        "(self, max_iter, recency_size=None, kmax=3, span_control_p1=3, span_control_p2=7, size_limit=1)")
    assert str(inspect.signature(Tabu.solve)) == (
        "(self, ising_matrix=None, negtail_flip=True, sort_solutions=False, solution=None)")
    assert str(inspect.signature(Tabu._solve)) == "(self, ising_matrix=None, solution=None)"
    assert Tabu._solve.__qualname__ == "TabuSearchOptimizer._solve"  # tracking off: undecorated
    assert Tabu.__module__ == "orvane.classical._tabusolve"


@pytest.mark.parametrize("n, given, expected", [(25, None, 3), (10, None, 1), (1, None, 1), (11, None, 2),
                                                (25, 7, 7)])
def test_recency_size(n, given, expected):
    opt = Tabu(1, recency_size=given)
    opt.set_matrix(np.zeros((n, n)))
    assert opt.recency_size == expected
    opt.set_matrix(np.zeros((3 * n, 3 * n)))  # fixed by the first matrix
    assert opt.recency_size == expected


def test_set_matrix_builds_the_matrix_state():
    J = np.array([[1.0, 2.0, 0.0], [0.0, 0.0, -5.0], [4.0, 1.0, 0.0]])
    opt = Tabu(3, size_limit=4)
    opt.set_matrix(J)
    assert opt.matrix is J and opt.size == 3 and opt.penalty_recency == 5.0
    assert np.array_equal(opt.nodiag_mat, [[0.0, -1.0, -2.0], [-1.0, 0.0, 2.0], [-2.0, 2.0, 0.0]])
    assert opt.solution_pool.size_limit == 4 and len(opt.solution_pool) == 0
    assert opt.recency.tolist() == [0, 0, 0] and opt.frequency.tolist() == [0, 0, 0]


def test_transfer_cycle_with_defaults():
    opt = Tabu(1)
    changes = {}
    for call in range(1, 131):
        before = (opt.span, opt.direction)
        opt._transfer()
        if (opt.span, opt.direction) != before:
            changes[call] = (opt.span, opt.direction)
    assert changes == {
        8: (2, "increase"), 23: (3, "increase"), 45: (4, "increase"), 50: (5, "increase"), 55: (6, "increase"),
        60: (7, "increase"), 65: (7, "decrease"), 70: (6, "decrease"), 75: (5, "decrease"), 80: (4, "decrease"),
        85: (3, "decrease"), 107: (2, "decrease"), 122: (1, "decrease"), 130: (1, "increase"),
    }
    assert (opt.span, opt.iter_span, opt.direction) == (1, 0, "increase")


# ---------------------------------------------------------------- errors


def test_no_matrix():
    for call in (lambda o: o.solve(), lambda o: o._solve(), lambda o: o.set_matrix(), lambda o: o.init_solution(),
                 lambda o: o.solve(None)):
        with pytest.raises(ValueError, match="^Ising matrix must be set$"):
            call(Tabu(5))


def test_second_matrix_of_another_size_is_a_clear_error():
    np.random.seed(0)
    opt = Tabu(5)
    opt.solve(WORKED)
    J7 = random_matrix(np.random.default_rng(1), 7, "int-small")
    with pytest.raises(ValueError, match="size mismatch: tabu_value .* 7 spins"):
        opt.solve(J7)
    with pytest.raises(ValueError, match="size mismatch"):
        opt._j_star(1)
    assert opt.iterations == 0
    assert opt.solve(WORKED).shape == (1, 5)  # the memory still fits the first size


@pytest.mark.parametrize("kwargs, solution, exc, match", [
    ({}, [1, 1, 1], ValueError, "size mismatch: solution has 3 entries"),
    ({}, [1, 0, 1, 1, 1], ValueError, "only -1 and \\+1"),
    ({}, [[1, 1, 1, 1, 1]], ValueError, "1-D"),
    ({"recency_size": 0}, None, ValueError, "recency_size"),
    ({"size_limit": -1}, None, ValueError, "size_limit"),
    ({"kmax": 1.5}, None, TypeError, "kmax"),
])
def test_bad_arguments(kwargs, solution, exc, match):
    with pytest.raises(exc, match=match):
        Tabu(3, **kwargs).solve(WORKED, solution=solution)


@pytest.mark.parametrize("bad", [np.zeros((2, 3)), np.array([[0.0, np.nan], [np.nan, 0.0]]), [["a"]]])
def test_bad_matrix(bad):
    with pytest.raises((ValueError, TypeError), match="ising_matrix"):
        Tabu(3).solve(bad)


# ---------------------------------------------------------------- move evaluation


def test_net_increase_and_j_star():
    J = random_matrix(np.random.default_rng(3), 9, "int-wide")
    opt = Tabu(1)
    np.random.seed(1)
    opt.solve(J)  # leaves a tabu penalty
    x = opt.x_conf
    d = opt._net_increase()
    for i in range(9):  # the change of E when spin i alone flips
        y = x.copy()
        y[i] = -y[i]
        assert d[i] == opt._sampler(y) - opt._sampler(x)
    for val, ct_var in [(1, 0), (-1, 0), (1, 99), (-1, 99)]:
        opt.ct_var = ct_var
        if np.all(x == val):
            continue
        ev = d + (val * opt.tabu_value if ct_var <= opt.k else 0)
        ev[x == val] = np.inf
        j, inc = opt._j_star(val)
        assert ev[j] == ev.min() and inc == d[j] and x[j] != val


def test_j_star_with_one_candidate_draws_nothing():
    opt = Tabu(1)
    opt.set_matrix(np.zeros((6, 6)))
    opt.init_solution([1, 1, 1, -1, 1, 1])
    state = np.random.get_state()
    assert opt._j_star(1) == (3, 0.0)
    assert opt._count(1) == 5 and opt._count(-1) == 1
    after = np.random.get_state()
    assert np.array_equal(state[1], after[1]) and state[2] == after[2]


def test_ties_follow_numpy_choice():
    opt = Tabu(1)
    opt.set_matrix(np.zeros((40, 40)))  # every change is 0: all candidates tie
    opt.init_solution(np.where(np.arange(40) % 3, 1, -1))
    np.random.seed(7)
    picks = [opt._j_star(1)[0] for _ in range(20)]
    np.random.seed(7)
    expected = [np.random.choice(np.flatnonzero(opt.x_conf == -1)) for _ in range(20)]
    assert picks == expected


def test_update_memories():
    opt = Tabu(1, recency_size=2)
    opt.set_matrix(WORKED)
    opt.penalty_recency, opt.iterations = 2.0, 500
    configs = [np.array([1, 1, -1, -1, 1]), np.array([1, -1, -1, 1, 1]), np.array([-1, -1, -1, -1, 1])]
    for x in configs:
        opt.x_conf = x.copy()
        opt._update_tabu()
    assert [c.tolist() for c in opt.last_t] == [configs[1].tolist(), configs[2].tolist()]
    assert opt.recency.tolist() == (configs[1] + configs[2]).tolist()
    assert opt.frequency.tolist() == sum(configs).tolist()
    assert opt._penalty_frequency == 1.0
    assert np.array_equal(opt.tabu_value, 2.0 * opt.recency + 1.0 * opt.frequency)


def test_phase_without_critical_event_pushes_nothing():
    opt = Tabu(1)
    opt.set_matrix(np.ones((4, 4)))  # every spin wants to agree
    opt.init_solution([1, 1, 1, -1])
    opt._constructive()
    assert opt.x_conf.tolist() == [1, 1, 1, 1] and opt.ct_var == 1
    assert opt.solution_pool.get_solutions().shape == (0, 4) and opt.last_t == []
    opt._destructive()  # now the first choice is not improving: a critical event
    assert len(opt.solution_pool) == 1 and len(opt.last_t) == 1
    assert opt.best_hamilton == -16.0


# ---------------------------------------------------------------- the search against the plain version


MATCH_CASES = [(n, kind, size_limit) for n, kind, size_limit in [
    (1, "int-small", 1), (2, "int-small", 2), (7, "int-small", 3), (20, "int-small", 5), (33, "int-small", 2),
    (24, "int-wide", 4), (13, "int-nonsymmetric", 3), (30, "quarters", 3), (150, "int-small", 2),
]]


@pytest.mark.parametrize("n, kind, size_limit", MATCH_CASES)
def test_same_choices_as_full_recomputation(n, kind, size_limit):
    J = random_matrix(np.random.default_rng(n), n, kind)
    opt, ref = Tabu(25, size_limit=size_limit), ReferenceTabu(25, size_limit=size_limit)
    np.random.seed(n)
    out = opt._solve(J)
    np.random.seed(n)
    expected = ref.solve(J)
    assert np.array_equal(out, expected)
    assert_same_state(opt, ref)
    # A second search on the same object carries k, span and the window over.
    np.random.seed(n + 1)
    opt._solve(J)
    np.random.seed(n + 1)
    ref.solve(J)
    assert_same_state(opt, ref)


def test_matrix_changed_in_place_between_searches():
    # The optimizer reuses what it derived from a matrix while the values
    # stay; a caller editing the matrix in place gets the same search as
    # the plain version (moves from nodiag_mat as it was set, energies from
    # the matrix as it is).
    J = random_matrix(np.random.default_rng(8), 25, "int-small")
    opt, ref = Tabu(15, size_limit=3), ReferenceTabu(15, size_limit=3)
    np.random.seed(8)
    opt._solve(J)
    np.random.seed(8)
    ref.solve(J)
    nodiag = opt.nodiag_mat
    assert not nodiag.flags.writeable
    J[0, 1] += 5
    J[1, 0] += 5
    np.random.seed(9)
    opt._solve()
    np.random.seed(9)
    ref.run()
    assert_same_state(opt, ref)
    opt.set_matrix(J)
    assert opt.nodiag_mat is not nodiag and opt.nodiag_mat[0, 1] == -(J[0, 1] + J[1, 0]) / 2
    same = opt.nodiag_mat
    opt._solve()
    opt.set_matrix(J)  # unchanged values: nothing to rebuild
    assert opt.nodiag_mat is same


def test_float_search_is_consistent_and_reproducible():
    J = random_matrix(np.random.default_rng(5), 60, "float")

    def run():
        np.random.seed(11)
        opt = Tabu(40, size_limit=4)
        out = opt.solve(J, sort_solutions=True)
        return opt, out

    (a, out_a), (b, out_b) = run(), run()
    assert np.array_equal(out_a, out_b) and np.array_equal(a._hamiltonian, b._hamiltonian)
    for name in STATE:
        assert np.array_equal(getattr(a, name), getattr(b, name)), name
    assert a.best_hamilton == a._sampler(a.best_solution)
    pool = a.solution_pool
    assert np.array_equal(pool.get_energies(), [a._sampler(s) for s in pool.get_solutions()])
    assert np.all(np.diff(a._hamiltonian) >= 0) and np.all(out_a[:, -1] == 1)
    assert len({row.tobytes() for row in pool.get_solutions()}) == 4


@pytest.mark.parametrize("kind", ["int-small", "float", "quarters"])
def test_reaches_the_exhaustive_optimum(kind):
    rng = np.random.default_rng(17)
    np.random.seed(17)
    for n in (3, 6, 10, 14, 16):
        J = random_matrix(rng, n, kind)
        best = energies(J, ov.classical.BruteForceOptimizer().solve(J)[0])[0]
        opt = Tabu(300)
        out = opt.solve(J)
        assert math.isclose(energies(J, out)[0], best, abs_tol=1e-9), (n, kind)


def test_solution_start_and_continuation():
    J = random_matrix(np.random.default_rng(2), 12, "int-small")
    start = np.array([1, -1] * 6)
    keep = start.copy()
    opt = Tabu(3)
    opt.set_matrix(J)
    opt.init_solution(start)
    assert np.array_equal(opt.x_conf, start) and opt.best_hamilton == energies(J, start)[0]
    opt._solve()  # continues from the current state
    assert np.array_equal(start, keep)  # the caller's array is left alone
    assert opt.best_hamilton <= energies(J, start)[0]


def test_pickle_midway_continues_identically():
    J = random_matrix(np.random.default_rng(4), 30, "int-small")
    opt = Tabu(10, size_limit=3)
    np.random.seed(2)
    opt.solve(J)
    clone = pickle.loads(pickle.dumps(opt))
    np.random.seed(3)
    a = opt._solve()
    np.random.seed(3)
    b = clone._solve()
    assert np.array_equal(a, b)
    for name in STATE:
        assert np.array_equal(getattr(opt, name), getattr(clone, name)), name


def test_ctrl_c_stops_after_a_whole_iteration():
    import _thread
    import threading

    J = random_matrix(np.random.default_rng(6), 300, "float")
    opt = Tabu(10 ** 9)
    timer = threading.Timer(0.3, _thread.interrupt_main)
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        opt.solve(J)
    timer.join()
    assert 0 < opt.iterations < 10 ** 9  # the state of the last complete iteration
    assert np.random.random() < 1  # the generator's lock was released
    opt.max_iter = opt.iterations + 2
    assert opt._solve().shape == (1, 300) and opt.iterations == 0


# ---------------------------------------------------------------- the pool


def test_heap_unique_pool_keeps_lowest_distinct_copies():
    pool = HeapUniquePool(None, 3, 2)
    a = np.array([1, 1, 1])
    pool.push(a, -1.0)
    a[0] = -1  # the pool holds its own copy
    pool.push(a, -3.0)
    pool.push(np.array([1, 1, 1]), -9.0)  # already held: ignored
    pool.push(np.array([1, -1, 1]), -1.0)  # not strictly below the worst: refused
    assert pool.get_solutions().tolist() == [[-1, 1, 1], [1, 1, 1]]
    pool.push(np.array([1, -1, -1]), -2.0)  # replaces the worst
    assert pool.get_solutions().tolist() == [[-1, 1, 1], [1, -1, -1]]
    assert pool.get_energies().tolist() == [-3.0, -2.0]
    assert HeapUniquePool(None, 4, 0).get_solutions().shape == (0, 4)
    assert HeapUniquePool(WORKED, 5, 1).push(-np.ones(5)) is None


def test_heap_unique_pool_energy_defaults_to_the_matrix():
    pool = HeapUniquePool(WORKED, 5, 3)
    pool.push([1, 1, 1, -1, -1])
    assert pool.get_energies().tolist() == [-8.0]
    with pytest.raises(ValueError):
        pool.push([1, 1])
