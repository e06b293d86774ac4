"""Bit widths of coefficient matrices, and reduction to a bit width.

A coefficient matrix "fits b bits" when its entries are whole numbers of
magnitude at most 2^(b-1) - 1 (b signed bits, sign included).
"""
from __future__ import annotations

import math

import numpy as np

# Largest exponent k for which the multiplier 2^k is a finite double.
_MAX_SHIFT = 1023


def _as_matrix(matrix) -> np.ndarray:
    m = np.asarray(matrix)
    if m.ndim != 2 or m.shape[0] != m.shape[1] or m.size == 0:
        raise ValueError(f"matrix must be a non-empty square 2-D array, got shape {m.shape}")
    if m.dtype.kind not in "biuf":
        raise TypeError(f"matrix must be numeric, got dtype {m.dtype}")
    m = m.astype(np.float64)
    if not np.isfinite(m).all():
        raise ValueError("matrix must not contain NaN or infinity")
    return m


def _largest_magnitude(bits) -> int:
    b = int(bits)
    if b != bits or b < 2:
        raise ValueError(f"bit width must be a whole number of at least 2, got {bits!r}")
    return 2 ** (b - 1) - 1


def _fraction_bits(m: np.ndarray) -> int:
    """Smallest k >= 0 for which every entry times 2^k is a whole number."""
    nz = np.abs(m[m != 0])
    if nz.size == 0:
        return 0
    mant, exp = np.frexp(nz)  # nz = mant * 2^exp, mant in [0.5, 1)
    whole = np.ldexp(mant, 53).astype(np.int64)  # nz = whole * 2^(exp - 53), exactly
    lowest = whole & -whole  # lowest set bit of the mantissa
    trailing = np.frexp(lowest.astype(np.float64))[1] - 1
    return max(0, int((53 - exp - trailing).max()))


def finest_step(matrix) -> float:
    """Smallest gap between neighbouring distinct entry values (the diagonal and
    zeros included); the largest magnitude when all entries are equal; 0 for a
    zero matrix."""
    m = _as_matrix(matrix)
    values = np.unique(m)
    if len(values) > 1:
        return float(np.diff(values).min())
    return float(abs(values[0]))


def calculate_ising_matrix_bit_width(matrix, bit_width=20) -> dict:
    """Bit width of ``matrix`` and a multiplier that makes it fit ``bit_width`` bits.

    Returns a dict with

    - ``"precision"``: signed bits needed to write the largest magnitude in
      units of the finest step (``finest_step``):
      ``ceil(log2(max|m| / step + 1)) + 1``; 1 for a zero matrix. For an
      integer matrix with step 1 this is the usual two's-complement width.
    - ``"multiplier"``: the smallest power of two 2^k, k >= 0, for which
      ``matrix * 2^k`` has only whole entries of magnitude at most
      2^(bit_width-1) - 1; ``math.inf`` when there is none (entries that are
      not dyadic fractions, or too large for ``bit_width`` bits).
    """
    m = _as_matrix(matrix)
    limit = _largest_magnitude(bit_width)
    top = float(np.abs(m).max())
    if top == 0:
        return {"precision": 1, "multiplier": 1.0}
    step = finest_step(m)
    precision = math.ceil(math.log2(top / step + 1)) + 1
    k = _fraction_bits(m)
    fits = k <= _MAX_SHIFT and math.ldexp(top, k) <= limit
    multiplier = math.ldexp(1.0, k) if fits else math.inf
    return {"precision": precision, "multiplier": multiplier}


def adjust_ising_matrix_precision(matrix, bits=8) -> np.ndarray:
    """Rescale ``matrix`` so that its largest magnitude is 2^(bits-1) - 1 and
    round every entry to the nearest whole number (halves to even).

    Returns a new float64 array of the same shape; a zero matrix stays zero.
    Small entries may round to 0: that is the precision given up.
    """
    m = _as_matrix(matrix)
    limit = _largest_magnitude(bits)
    top = float(np.abs(m).max())
    if top == 0:
        return np.zeros_like(m)
    return np.round(m * (limit / top)) + 0.0  # + 0.0: no negative zeros
