import inspect
import logging

import numpy as np
import pytest

import orvane as ov
from orvane.core import IsingSolver, OrvaneError, QuboSolver
from orvane.preprocess import _precision
from orvane.preprocess._precreduce import PrecisionReducer

# The usage example: one coefficient of 1.23, the others 0 or 1, negated.
USAGE = -np.array([[0, 1.23, 1, 1, 0], [1.23, 0, 1, 0, 1], [1, 1, 0, 1, 1], [1, 0, 1, 0, 1], [0, 1, 1, 1, 0]])
BIG = USAGE.copy()
BIG[0, 1] = BIG[1, 0] = -10000


class Spy(IsingSolver, QuboSolver):
    """Records the matrices it is given and answers with `answer(matrix)`."""

    def __init__(self, answer=None):
        super().__init__()
        self.answer = answer
        self.seen = []

    def _solve(self, ising_matrix=None):
        self.seen.append(np.array(ising_matrix))
        return self.answer(np.asarray(ising_matrix)) if self.answer else None


def test_constructor_and_signature():
    r = PrecisionReducer("c")
    assert (r._component, r.precision, r.target_bits, r.only_feasible_solution, r.truncated_precision) == (
        "c", 8, None, False, 20)
    assert r.matrix is None
    assert isinstance(r, IsingSolver) and isinstance(r, QuboSolver)
    assert str(inspect.signature(PrecisionReducer)) == (
        "(component, precision=8, target_bits=None, only_feasible_solution=False, truncated_precision=20)")
    r = PrecisionReducer("c", 4, 30, True, 12)
    assert (r.precision, r.target_bits, r.only_feasible_solution, r.truncated_precision) == (4, 30, True, 12)
    assert ov.preprocess.PrecisionReducer is PrecisionReducer


def test_usage_example_with_exhaustive_solver():
    out = PrecisionReducer(ov.classical.BruteForceOptimizer(), precision=4).solve(USAGE)
    assert out.dtype == np.int64 and out.shape[1] == 5
    # this matrix keeps its optima when reduced: the same rows as solving it directly
    assert np.array_equal(out, ov.classical.BruteForceOptimizer().solve(USAGE))


def test_usage_example_with_annealing():
    annealer = ov.classical.SimulatedAnnealingOptimizer(size_limit=6, rand_seed=3)
    out = PrecisionReducer(annealer, precision=4).solve(USAGE)
    assert out.dtype == np.int64 and out.shape == (6, 5)
    assert set(np.unique(out)) <= {-1, 1}


def test_large_coefficient_gives_one_row_per_component_row():
    annealer = ov.classical.SimulatedAnnealingOptimizer(size_limit=7, rand_seed=5)
    spy = Spy(lambda m: annealer.solve(m))
    out = PrecisionReducer(spy, precision=4, only_feasible_solution=False).solve(BIG)
    assert len(spy.seen[0]) > 5  # split
    assert out.shape == (7, 5) and set(np.unique(out)) <= {-1, 1}


def test_split_solution_rows_are_restored_per_row():
    J = np.array([[0, 40, 1], [40, 0, 0], [1, 0, 0]])  # needs splitting at 4 bits
    agree = lambda m: np.ones((1, len(m)), dtype=np.int64)  # noqa: E731
    spy = Spy(lambda m: np.vstack([agree(m), np.r_[-1, np.ones(len(m) - 1, dtype=np.int64)]]))
    out = PrecisionReducer(spy, precision=4).solve(J)
    assert len(spy.seen[0]) > 3
    assert out.tolist() == [[1, 1, 1], [1, 1, 1]]  # the disagreeing row mapped by last copies
    out = PrecisionReducer(spy, precision=4, only_feasible_solution=True).solve(J)
    assert out.tolist() == [[1, 1, 1]]
    conflicted = Spy(lambda m: np.r_[-1, np.ones(len(m) - 1, dtype=np.int64)][None, :])
    with pytest.raises(OrvaneError, match="^No feasible solution found$"):
        PrecisionReducer(conflicted, precision=4, only_feasible_solution=True).solve(J)


def test_component_returning_none_or_no_rows():
    assert PrecisionReducer(Spy(), precision=4).solve(USAGE) is None
    empty = Spy(lambda m: np.zeros((0, len(m)), dtype=np.int64))
    out = PrecisionReducer(empty, precision=4).solve(USAGE)
    assert out.shape == (0, 5) and out.dtype == np.int64
    with pytest.raises(OrvaneError, match="^No feasible solution found$"):
        PrecisionReducer(empty, precision=4, only_feasible_solution=True).solve(USAGE)


def test_size_limit_is_checked_first():
    spy = Spy(lambda m: np.ones((1, len(m)), dtype=np.int64))
    with pytest.raises(ValueError, match="^The original matrix size cannot be larger than the matrix size after "
                                         "reducing the precision$"):
        PrecisionReducer(spy, target_bits=5).solve(USAGE)
    assert spy.seen == []


def test_fallback_without_middle_precision_hands_over_the_truncated_matrix():
    J = np.array([[0, 1000, 2], [1000, 0, 2], [2, 2, 0]])  # split at 10 -> 8 bits: 7 variables
    answer = np.array([[1, -1, 1]])
    spy = Spy(lambda m: answer)
    out = PrecisionReducer(spy, precision=8, target_bits=6, truncated_precision=10).solve(J)
    assert out is answer  # returned unchanged
    assert len(spy.seen) == 1
    assert np.array_equal(spy.seen[0], _precision.adjust_ising_matrix_precision(J, 8))


def test_default_settings_retry_at_middle_precision(monkeypatch):
    calls = []
    adjust = _precision.adjust_ising_matrix_precision

    def recording(matrix, bits):
        calls.append(bits)
        return adjust(matrix, bits)

    monkeypatch.setattr(_precision, "adjust_ising_matrix_precision", recording)
    # whole and within 20 bits (multiplier 1): 60 variables at 8 bits; 12 from 14 bits, where the 1 rounds away
    J = np.array([[0, 100000, 100, 1], [100000, 0, 50, 0], [100, 50, 0, 0], [1, 0, 0, 0]])
    spy = Spy(lambda m: np.ones((1, len(m)), dtype=np.int64))
    PrecisionReducer(spy, target_bits=11).solve(J)
    assert calls == [14, 8]
    assert spy.seen[0].shape == (4, 4)
    calls.clear()
    out = PrecisionReducer(spy, target_bits=12).solve(J)
    assert calls == [14]
    assert spy.seen[1].shape == (12, 12) and out.shape == (1, 4)


def test_matrix_argument_and_set_matrix():
    r = PrecisionReducer(ov.classical.BruteForceOptimizer(), precision=4)
    with pytest.raises(ValueError, match="^ising_matrix is required$"):
        r._solve()
    r.set_matrix(USAGE)
    assert np.array_equal(r._solve(), ov.classical.BruteForceOptimizer().solve(USAGE))


def test_debug_log_lines(caplog):
    caplog.set_level(logging.DEBUG, logger="orvane.preprocess._precreduce")
    PrecisionReducer(Spy(), precision=4).solve(BIG)
    lines = [r.getMessage() for r in caplog.records if r.name == "orvane.preprocess._precreduce"]
    assert lines[0] == "Matrix size: (5, 5), Matrix initial precision: 15"
    assert lines[1].startswith("Matrix size after reducing precision: ") and lines[1].endswith(", precision: 4")
    assert len(lines) == 2


def test_component_errors_pass_through():
    class Broken(Spy):
        def _solve(self, ising_matrix=None):
            raise RuntimeError("machine offline")

    with pytest.raises(RuntimeError, match="machine offline"):
        PrecisionReducer(Broken()).solve(USAGE)
