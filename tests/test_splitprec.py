import inspect

import numpy as np
import pytest

import orvane as ov
from orvane.core import OrvaneError
from orvane.preprocess import _splitprec as sp

import split_reference as ref

MAT = np.array([[0, 18, -12], [18, 0, 1], [-12, 1, 0]])
MAT2 = np.array([[0, -15, 0, 40], [-15, 0, 0, 2], [0, 0, 0, 0], [40, 2, 0, 0]])
CONFLICT = "constraint for expression narrowing is not satisfied. The {}th variable is in conflict"


def bits_equal(a, b):
    """Same shape and the same float64 bits (signed zeros included)."""
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and np.array_equal(a.view(np.int64), b.view(np.int64))


# ---------------------------------------------------------------- worked examples


def test_split_counts_worked_example():
    assert sp.get_split_num(np.abs(MAT) / 15 / 1, 3).tolist() == [2, 2, 1]


def test_variable_splitting_first_example():
    split, last = ov.preprocess.perform_splitprec(MAT, param_bit=5, min_increment=1, penalty=4,
                                                  round_to_increment=True)
    assert split.dtype == np.float64 and last.dtype == np.int64
    assert last.tolist() == [1, 3, 4]
    assert split.tolist() == [[0, 4, 3, 5, -6], [4, 0, 5, 5, -6], [3, 5, 0, 4, 0],
                              [5, 5, 4, 0, 1], [-6, -6, 0, 1, 0]]


def test_variable_splitting_second_example():
    split, last = ov.preprocess.perform_splitprec(MAT2, 5, min_increment=0.5, round_to_increment=True, penalty=0)
    assert last.tolist() == [2, 3, 4, 7]
    blocks = np.split(np.arange(8), last[:-1] + 1)
    piece = lambda i, j: split[np.ix_(blocks[i], blocks[j])]  # noqa: E731
    assert sorted(piece(0, 3).ravel().tolist()) == [4] + [4.5] * 8
    assert piece(0, 1).ravel().tolist() == [-5, -5, -5]
    assert sorted(piece(1, 3).ravel().tolist()) == [0, 1, 1]
    for i in range(4):
        assert not piece(i, i).any()  # penalty 0: copies uncoupled
    assert np.array_equal(split, split.T)


def test_item_splitting_worked_examples():
    split, idx = sp.perform_splitprec_item(MAT, 5, 1)
    assert idx.tolist() == [0, 1, 2] and idx.dtype == np.int64
    assert split.tolist() == [[0, 9, -12, 9], [9, 0, 1, 9], [-12, 1, 0, 0], [9, 9, 0, 0]]
    # -40 with thresh 15: three pieces of -13.33 -> -13; auxiliaries couple +13 to j
    split, _ = ov.preprocess.perform_splitprec(np.array([[0, -40], [-40, 0]]), 5, 1, method="item")
    assert split.tolist() == [[0, -13, -13, -13], [-13, 0, 13, 13], [-13, 13, 0, 0], [-13, 13, 0, 0]]


def test_construct_and_restore_second_example():
    _, tail = ov.preprocess.perform_splitprec(MAT2, 5, min_increment=0.5, round_to_increment=True, penalty=0)
    built = ov.preprocess.construct_split_solution(np.array([1, 1, -1, -1]), tail)
    assert built.dtype == np.float64
    assert built.tolist() == [1, 1, 1, 1, -1, -1, -1, -1]
    assert ov.preprocess.restore_split_solution(built, tail).tolist() == [1, 1, -1, -1]


@pytest.mark.parametrize("solution, number", [
    ([1, -1, -1, -1, 1], 1),   # copies of variable 1 disagree
    ([1, 1, -1, 1, 1], 2),     # variable 2: "2th"
    ([1, -1, -1, 1, 1], 2),    # both in conflict: the higher-numbered variable 2 wins
])
def test_restore_conflict_messages(solution, number):
    message = ("constraint for expression narrowing is not satisfied. The 1st variable is in conflict"
               if number == 1 else CONFLICT.format(number))
    with pytest.raises(OrvaneError) as err:
        ov.preprocess.restore_split_solution(np.array(solution), np.array([1, 3, 4]))
    assert str(err.value) == message


def test_restore_agreeing_copies_keeps_dtype():
    out = ov.preprocess.restore_split_solution(np.array([1, 1, -1, -1, 1], dtype=np.int8), np.array([1, 3, 4]))
    assert out.tolist() == [1, -1, 1] and out.dtype == np.int8


# ---------------------------------------------------------------- agreement with the plain implementation


def random_matrix(rng, n, kind):
    if kind == "int":
        return rng.integers(-60, 61, size=(n, n))
    if kind == "wide":  # large and tiny couplings: long excess runs inside blocks
        A = rng.integers(-3, 4, size=(n, n)).astype(float)
        big = rng.random((n, n)) < 0.3
        A[big] = rng.integers(-2000, 2000, size=big.sum())
        return A
    if kind == "upper":
        return np.triu(rng.integers(-200, 201, size=(n, n)) * 0.37)
    return rng.normal(size=(n, n)) * 30


@pytest.mark.parametrize("kind", ["int", "wide", "upper", "float"])
def test_matches_plain_implementation_bit_for_bit(rng, kind):
    for t in range(40):
        n = int(rng.integers(1, 14))
        A = random_matrix(rng, n, kind)
        pb = int(rng.integers(3, 7))
        inc = [None, 0.5, 1.0, 0.25][t % 4]
        pen = [None, 0.0, 0.123, 3.7, 100.0][t % 5]
        rnd = bool(t % 2)
        M = (A + A.T) / 2
        if inc is None:
            if len(np.unique(M)) < 2:
                continue
            inc = np.diff(np.unique(M)).min()
        original = A.copy()
        want = ref.splitprec_var(A, pb, inc, pen, rnd)
        got = sp.perform_splitprec_var(A, pb, inc, pen, rnd)
        assert np.array_equal(got[1], want[1])
        assert bits_equal(got[0], want[0])
        if np.triu(np.ceil(np.abs(M) / (2 ** (pb - 1) - 1) / inc)).sum() > 3000:
            continue  # the dense item split would be too large for the plain implementation
        want = ref.splitprec_item(A, pb, inc, rnd)
        got = sp.perform_splitprec_item(A, pb, inc, rnd)
        assert bits_equal(got[0], want[0]) and np.array_equal(got[1], want[1])
        assert np.array_equal(A, original)


def test_increment_rounding_matches_plain_implementation(rng):
    for t in range(60):
        n = int(rng.integers(1, 6))
        counts = rng.integers(1, 4, size=n)
        tail = np.cumsum(counts) - 1
        N = int(counts.sum())
        ret = rng.normal(size=(N, N)) * rng.choice([0.5, 3, 10])
        ret = ret + ret.T
        ret[rng.random((N, N)) < 0.2] = 0
        mat = rng.normal(size=(n, n)) * 10
        inc = [0.5, 1.0, 0.25][t % 3]
        got = sp._get_int_ising_matrix(ret, mat, inc, counts, tail)
        assert bits_equal(got, ref.int_ising_matrix(ret, mat, inc, counts, tail))


@pytest.mark.parametrize("symmetric", [True, False])
def test_split_counts_on_larger_matrices(rng, symmetric):
    for _ in range(5):
        A = rng.integers(0, 40, size=(120, 120)).astype(float)  # many exact ties
        norm = (A + A.T) / 15 if symmetric else A / 7
        assert np.array_equal(sp.get_split_num(norm, 120), ref.split_num(norm, 120))


# ---------------------------------------------------------------- edge cases


@pytest.mark.parametrize("norm, counts", [
    (np.array([[0.5, 1.0], [1.0, 0.0]]), [1, 1]),          # everything fits
    (np.array([[0, 5.0, 0], [5.0, 0, 5.0], [0, 5.0, 0]]), [3, 3, 2]),  # tie: (0, 1) before (1, 2)
    (np.array([[5.0, 0.1], [0.1, 0.0]]), [3, 1]),          # diagonal: only that variable, by ceil(sqrt 5)
    (np.array([[0, 1 + 2 ** -52], [1 + 2 ** -52, 0]]), [2, 2]),  # ceil(sqrt(1 + ulp)) = 1 still splits
    (np.array([[0, 25 + 2 ** -48], [25 + 2 ** -48, 0]]), [5, 5]),  # 1 ulp over 1 after the split: stops
])
def test_split_counts_edge_cases(norm, counts):
    assert sp.get_split_num(norm, len(norm)).tolist() == counts


@pytest.mark.parametrize("round_, expected", [(False, 3.000000001), (True, 3.0)])
def test_value_just_above_a_whole_number_is_that_number(round_, expected):
    # 3.000000001 units rounds up to 3, not 4; the tiny negative excess raises it back
    split, _ = sp.perform_splitprec_var(np.array([[0, 3.000000001], [3.000000001, 0]]), 8, 1.0, 127, round_)
    assert split[0, 1] == split[1, 0] == pytest.approx(expected, abs=1e-12)


@pytest.mark.parametrize("round_, first", [(False, 3.6), (True, 3.5)])
def test_block_excess_is_taken_from_its_first_piece(round_, first):
    # 15.6 shared into four pieces of 3.9 (7.8 increments of 0.5): 8, 8, 8, 8 minus 0.8 on the first
    split, last = sp.perform_splitprec_var(np.array([[0, 15.6], [15.6, 0]]), 5, 0.5, 7.5, round_)
    assert last.tolist() == [1, 3]
    assert split[:2, 2:].ravel() == pytest.approx([first, 4, 4, 4])
    assert np.array_equal(split, split.T)


@pytest.mark.parametrize("round_", [False, True])
def test_matrix_that_fits_comes_back_unsplit(round_):
    A = np.array([[5, 2.5, -1.5], [2.5, 0, 0.5], [-1.5, 0.5, 0]])
    split, last = ov.preprocess.perform_splitprec(A, 8, 1.0, round_to_increment=round_)
    assert last.tolist() == [0, 1, 2]
    expected = [[0, 2, -2], [2, 0, 0], [-2, 0, 0]] if round_ else [[0, 2.5, -1.5], [2.5, 0, 0.5], [-1.5, 0.5, 0]]
    assert split.tolist() == expected
    split, idx = ov.preprocess.perform_splitprec(A, 8, 1.0, method="item", round_to_increment=round_)
    assert idx.tolist() == [0, 1, 2]
    assert split.tolist() == (np.round(A) if round_ else A).tolist()  # the diagonal is kept


def test_default_increment_counts_the_diagonal_zeros():
    # values {0, 3, 5}: increment 2, so the coupling 3 becomes 2 increments of 2 (1.5 -> 2, halves to even)
    split, _ = sp.perform_splitprec_var(np.array([[0, 3], [3, 5]]))
    assert split.tolist() == [[0, 4], [4, 0]]


def test_method_choice():
    with pytest.raises(ValueError, match="^method must be either 'var' or 'item'$"):
        ov.preprocess.perform_splitprec(MAT, method="Var")
    item = ov.preprocess.perform_splitprec(MAT, 5, 1, penalty=1000, method="item")
    assert bits_equal(item[0], sp.perform_splitprec_item(MAT, 5, 1)[0])


def test_signatures():
    sig = inspect.signature(ov.preprocess.perform_splitprec)
    assert [(p.name, p.default) for p in sig.parameters.values()] == [
        ("ising_matrix", inspect.Parameter.empty), ("param_bit", 8), ("min_increment", None),
        ("penalty", None), ("round_to_increment", True), ("method", "var")]
    assert list(inspect.signature(sp.perform_splitprec_var).parameters) == [
        "ising_matrix", "param_bit", "min_increment", "penalty", "round_to_increment"]
    assert str(inspect.signature(ov.preprocess.construct_split_solution)) == "(solution, last_var_idx=None)"
    assert str(inspect.signature(ov.preprocess.restore_split_solution)) == "(solution, split_indices)"


@pytest.mark.parametrize("call, error", [
    (lambda: sp.perform_splitprec_var(np.full((3, 3), 2.0)), ValueError),  # no gap between distinct values
    (lambda: sp.perform_splitprec_var(MAT, 8, 0), ValueError),
    (lambda: sp.perform_splitprec_item(MAT, 8, -1.0), ValueError),
    (lambda: sp.perform_splitprec_var(MAT, 1), ValueError),
    (lambda: sp.perform_splitprec_var(np.ones((2, 3))), ValueError),
    (lambda: sp.perform_splitprec_item(np.array([[0, np.nan], [1, 0]])), ValueError),
    (lambda: sp.perform_splitprec_var(MAT, 8, 1e-300), ValueError),  # 10^301 copies
    (lambda: sp.get_split_num(-np.ones((2, 2)), 2), ValueError),
    (lambda: sp.get_split_num(np.ones((2, 2)), 3), ValueError),
])
def test_bad_input_raises(call, error):
    with pytest.raises(error):
        call()


# ---------------------------------------------------------------- solution mapping


def test_item_split_solutions_restore_to_leading_columns():
    split_idx = np.array([0, 1, 2])
    rows = np.array([[1, -1, 1, -1, -1], [-1, -1, 1, 1, 1]])
    assert ov.preprocess.restore_split_solution(rows, split_idx).tolist() == [[1, -1, 1], [-1, -1, 1]]
    # no auxiliary variables: the copy branch finds nothing to check
    out = ov.preprocess.restore_split_solution(np.array([1.0, -1.0, 1.0]), split_idx)
    assert out.tolist() == [1, -1, 1] and out.dtype == np.float64


def test_construct_then_restore_round_trip(rng):
    for _ in range(20):
        counts = rng.integers(1, 5, size=int(rng.integers(1, 8)))
        last = np.cumsum(counts) - 1
        s = rng.choice([-1, 1], size=len(counts))
        built = ov.preprocess.construct_split_solution(s, last)
        assert len(built) == counts.sum()
        assert ov.preprocess.restore_split_solution(built, last).tolist() == s.tolist()


@pytest.mark.parametrize("solution, last", [
    (np.array([1, -1]), np.array([0, 1, 2])),
    (np.array([[1, -1, 1]]), np.array([0, 1, 2])),
])
def test_construct_with_unmatched_shapes(solution, last):
    with pytest.raises(OrvaneError, match="^unmatched shape for solution and last_var_idx$"):
        ov.preprocess.construct_split_solution(solution, last)


def test_construct_without_index_fails():
    with pytest.raises(TypeError):
        ov.preprocess.construct_split_solution(np.array([1, -1]))


# ---------------------------------------------------------------- optimum preserved


def exact_pieces(split, A, last):
    """Every coupling is shared into equal pieces that add up to it exactly."""
    bounds = np.split(np.arange(len(split)), last[:-1] + 1)
    for i in range(len(A)):
        for j in range(len(A)):
            if i != j:
                block = split[np.ix_(bounds[i], bounds[j])]
                if not (np.all(block == block.flat[0]) and block.sum() == A[i, j]):
                    return False
    return True


def test_split_optimum_restores_to_input_optimum(rng):
    """Exact pieces and a penalty above every variable's coupling sum: copies agree at the optimum."""
    solver = ov.classical.BruteForceOptimizer()
    checked = 0
    while checked < 25:
        n = int(rng.integers(2, 6))
        A = rng.integers(-2, 3, size=(n, n)) * 144
        A = np.triu(A, 1) + np.triu(A, 1).T
        penalty = float(np.abs(A).sum(axis=1).max() + 1)
        split, last = sp.perform_splitprec_var(A, 6, 1.0, penalty)
        if len(split) > 20 or not exact_pieces(split, A, last):
            continue
        checked += 1
        best = solver.solve(A)
        optimum = -(best[0] @ A @ best[0])
        for row in solver.solve(split):
            s = ov.preprocess.restore_split_solution(row, last)
            assert -(s @ A @ s) == optimum
