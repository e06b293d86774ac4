import inspect
import pickle

import numpy as np
import pytest

import orvane as ov
from orvane.core import IsingSolver, QuboSolver
from conftest import plain_enumeration

WORKED = np.array([[0, 2, -3], [2, 0, -1], [-3, -1, 0]])


def solve(J):
    return ov.classical.BruteForceOptimizer().solve(J)


def test_worked_example():
    out = solve(WORKED)
    assert out.dtype == np.int64
    assert out.tolist() == [[-1, -1, 1], [-1, -1, 1]]


def test_all_zero_returns_every_configuration_in_index_order():
    n = 4
    out = solve(np.zeros((n, n)))
    assert out.shape == (2 ** n, n)
    assert (out[:, -1] == 1).all()
    assert np.array_equal(out, plain_enumeration(np.zeros((n, n))))


CASES = [(n, kind) for n in (1, 2, 5, 9, 13) for kind in ("int", "float", "float-dyadic")]
CASES += [(n, "int") for n in (16, 17, 18)]


@pytest.mark.parametrize("n, kind", CASES)
def test_matches_plain_enumeration(rng, n, kind):
    if kind == "int":
        J = rng.integers(-3, 4, size=(n, n))  # small range: many exact ties
        J = J + J.T
    elif kind == "float":
        J = rng.normal(size=(n, n))
    else:
        J = rng.integers(-4, 5, size=(n, n)) * 0.25
    np.fill_diagonal(J, rng.integers(-2, 3, size=n))  # the diagonal only shifts energies
    expected = plain_enumeration(J) if n <= 13 else None
    out = solve(J)
    if expected is not None:
        assert np.array_equal(out, expected)
    else:
        e = -np.einsum("ki,ij,kj->k", out, J, out)
        assert len(set(e.tolist())) == 1 and len(out) % 2 == 0


def test_large_float_against_numpy_enumeration(rng):
    n = 16
    J = rng.normal(size=(n, n))
    idx = np.arange(2 ** n)
    S = np.where((idx[:, None] >> np.arange(n)) & 1, 1, -1)
    e = -np.einsum("ki,ij,kj->k", S, J, S)
    assert np.array_equal(solve(J), np.where(S[e == e.min()][:, -1:] > 0, 1, -1) * S[e == e.min()])


def test_ties_are_exact_equality():
    # In exact arithmetic four configurations share the optimum; in float64
    # (summed as s @ J @ s) two of them come out one ulp higher and are not ties.
    J = np.array([[-3, 3, -3, 2], [2, 2, -3, 2], [3, 2, 1, -2], [0, 0, 3, -1]]) * 0.1
    assert len(plain_enumeration(np.rint(J * 10))) == 4
    out = solve(J)
    assert len(out) == 2 and np.array_equal(out, plain_enumeration(J))


def test_integer_input_beyond_double_precision():
    big = 2 ** 60
    J = np.array([[0, big + 1, 0], [0, 0, big], [0, 0, 0]], dtype=np.int64)
    assert np.array_equal(solve(J), plain_enumeration(J))


def test_input_not_modified_and_bool_accepted():
    J = WORKED.copy()
    solve(J)
    assert np.array_equal(J, WORKED)
    assert solve(np.ones((2, 2), dtype=bool)).shape[1] == 2


@pytest.mark.parametrize("bad, exc", [
    (np.zeros((2, 3)), ValueError),
    (np.zeros(3), ValueError),
    (np.zeros((0, 0)), ValueError),
    (np.array([[0.0, np.nan], [np.nan, 0.0]]), ValueError),
    (np.array([[0.0, np.inf], [np.inf, 0.0]]), ValueError),
    ([["a", "b"], ["c", "d"]], TypeError),
    (np.array([[object(), 1], [1, 0]], dtype=object), TypeError),
    ([[1, 2], [3]], TypeError),
    (None, ValueError),
    (np.zeros((63, 63)), ValueError),
])
def test_bad_input_is_a_clear_error(bad, exc):
    with pytest.raises(exc, match="ising_matrix"):
        solve(bad)


def test_solver_contract_pickle_and_signatures():
    opt = ov.classical.BruteForceOptimizer()
    assert isinstance(opt, IsingSolver) and isinstance(opt, QuboSolver)
    assert opt.matrix is None
    clone = pickle.loads(pickle.dumps(opt))
    assert type(clone) is type(opt)
    assert clone.solve(WORKED).tolist() == [[-1, -1, 1], [-1, -1, 1]]
    assert str(inspect.signature(opt._solve)) == "(ising_matrix=None)"
    assert str(inspect.signature(type(opt).__init__)) == "(self)"
    assert "slow but exact" in type(opt).__doc__
    assert type(opt).__module__ == "orvane.classical._exhaustive"


def test_subclass_in_python():
    class Counting(ov.classical.BruteForceOptimizer):
        def __init__(self):
            super().__init__()
            self.calls = 0

        def _solve(self, ising_matrix=None):
            self.calls += 1
            return super()._solve(ising_matrix)

    c = Counting()
    assert c.solve(WORKED).shape == (2, 3) and c.calls == 1


def test_ctrl_c_stops_a_long_enumeration():
    import _thread
    import threading

    J = np.ones((40, 40))  # about three minutes of work
    timer = threading.Timer(0.3, _thread.interrupt_main)
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        solve(J)
    timer.join()
