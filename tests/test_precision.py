import math

import numpy as np
import pytest

from orvane.preprocess._precision import adjust_ising_matrix_precision, calculate_ising_matrix_bit_width


@pytest.mark.parametrize("matrix, bits, precision, multiplier", [
    ([[0, 18, -12], [18, 0, 1], [-12, 1, 0]], 20, 6, 1.0),   # step 1, 18 needs 5 bits + sign
    ([[0, 1], [1, 0]], 20, 2, 1.0),
    ([[0, 0.25], [0.25, 0.5]], 20, 3, 4.0),                    # dyadic: exact power-of-two multiplier
    ([[0, 2.0 ** -30], [2.0 ** -30, 0]], 20, 2, 2.0 ** 30),
    ([[0, -1.23], [-1.23, -1]], 20, 4, math.inf),              # not a dyadic fraction: no multiplier
    ([[0, 2 ** 19], [2 ** 19, 1]], 20, 21, math.inf),          # whole but beyond 20 bits
    ([[0, 2 ** 19 - 1], [2 ** 19 - 1, 1]], 20, 20, 1.0),       # exactly the largest 20-bit magnitude
    ([[0, 0.5], [0.5, 0]], 2, 2, 2.0),
    ([[0, 0], [0, 0]], 20, 1, 1.0),
])
def test_bit_width_and_multiplier(matrix, bits, precision, multiplier):
    ans = calculate_ising_matrix_bit_width(np.array(matrix), bits)
    assert ans == {"precision": precision, "multiplier": multiplier}
    if multiplier != math.inf:
        scaled = np.array(matrix) * multiplier
        assert np.array_equal(scaled, np.round(scaled)) and np.abs(scaled).max() <= 2 ** (bits - 1) - 1


def test_adjust_rescales_and_rounds():
    J = np.array([[0, -1.23, 1], [-1.23, 0, 0.05], [1, 0.05, 0]])
    original = J.copy()
    out = adjust_ising_matrix_precision(J, 4)
    assert out.dtype == np.float64 and out.shape == J.shape
    assert out.tolist() == [[0, -7, 6], [-7, 0, 0], [6, 0, 0]]  # 7 * 1/1.23 = 5.69 -> 6; 0.28 -> 0
    assert np.array_equal(J, original)
    # halves go to even: 2.5 -> 2 at scale 1
    assert adjust_ising_matrix_precision(np.array([[0, 7], [2.5, 0]]), 4).tolist() == [[0, 7], [2, 0]]
    assert not adjust_ising_matrix_precision(np.zeros((3, 3)), 8).any()


@pytest.mark.parametrize("call", [
    lambda: adjust_ising_matrix_precision(np.eye(2), 1),
    lambda: calculate_ising_matrix_bit_width(np.eye(2), 1.5),
    lambda: calculate_ising_matrix_bit_width(np.ones((2, 3)), 8),
    lambda: adjust_ising_matrix_precision(np.array([[0, np.inf], [1, 0]]), 8),
])
def test_bad_input(call):
    with pytest.raises(ValueError):
        call()
