"""Solver base classes.

Every Ising solver derives from ``IsingSolver`` (and ``QuboSolver``); its
constructor runs the base constructor first, with no arguments.
``solve(ising_matrix)`` hands over to the solver's own ``_solve`` and returns
its result unchanged.
"""
from __future__ import annotations

import abc


class IsingSolver(abc.ABC):
    """Base of solvers that take an Ising matrix J and return spin vectors.

    Energy convention: H(s) = -(s^T J s) over the full matrix.
    """

    def __init__(self):
        self.matrix = None

    def set_matrix(self, ising_matrix):
        """Store ``ising_matrix`` as ``matrix`` and call ``on_matrix_change()``."""
        self.matrix = ising_matrix
        self.on_matrix_change()

    def on_matrix_change(self):
        """Hook for solvers that keep buffers sized by the matrix."""

    def solve(self, ising_matrix):
        """Solve ``ising_matrix``: a 2-D int64 array, one spin vector per row."""
        return self._solve(ising_matrix)

    @abc.abstractmethod
    def _solve(self, ising_matrix=None):
        """The solver's own algorithm."""


class QuboSolver(abc.ABC):
    """Base of solvers that accept QUBO models."""
