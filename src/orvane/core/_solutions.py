"""Helpers on solution arrays."""
from __future__ import annotations

import numpy as np


def ising_energies(matrix, solutions):
    """Energies H(s) = -(s^T J s) of each row s of ``solutions``."""
    J = np.asarray(matrix)
    S = np.asarray(solutions)
    if S.ndim == 1:
        S = S[None, :]
    return -np.einsum("ki,ij,kj->k", S, J, S)


def get_sorted_solutions(matrix, solutions, energy_offset=0, negtail_flip=True, sort_solutions=True):
    """Return ``(solutions, energies)`` for the rows of ``solutions``.

    With ``negtail_flip`` every row whose last entry is <= 0 is negated (the
    energy is unchanged), so that all rows end in +1. With ``sort_solutions``
    rows are ordered by increasing energy, ties keeping their order.
    Energies are H(s) = -(s^T J s) + ``energy_offset``. A new int64 array is
    returned; the input is not modified.
    """
    sols = np.array(solutions, dtype=np.int64, ndmin=2, copy=True)
    n = np.asarray(matrix).shape[0]
    if sols.size == 0:
        return sols.reshape(0, n), np.zeros(0)
    if negtail_flip:
        sols[sols[:, -1] <= 0] *= -1
    energies = ising_energies(matrix, sols) + energy_offset
    if sort_solutions:
        order = np.argsort(energies, kind="stable")
        sols, energies = sols[order], energies[order]
    return sols, energies
