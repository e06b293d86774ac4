"""Simulated annealing as a ready-to-use Ising solver."""
from __future__ import annotations

import numpy as np

from orvane.core import IsingSolver, QuboSolver, get_sorted_solutions


class SimulatedAnnealingOptimizer(IsingSolver, QuboSolver):
    """Simulated annealing Ising solver with automatic temperatures.

    Runs ``orvane.sampler.SimulatedAnnealingSampler`` and returns its
    ``size_limit`` solutions sorted by energy H(s) = -(s^T J s), lowest first,
    every row ending in +1 (duplicates kept).

    Settings left as ``None`` are chosen from the matrix: the start and
    cut-off temperatures by ``auto_temperature`` (a matrix without non-zero
    entries needs no annealing: every configuration is optimal), and
    ``iterations_per_t`` as one sweep, n flip attempts per temperature.
    ``rand_seed=None`` draws the sampler's seed from numpy's process-wide
    generator, so ``numpy.random.seed`` makes runs reproducible.

    Example::

        >>> J = np.array([[0, 2, -3], [2, 0, -1], [-3, -1, 0]])
        >>> SimulatedAnnealingOptimizer(size_limit=1).solve(J)
        array([[-1, -1,  1]])
    """

    def __init__(self, initial_temperature=None, alpha=0.99, cutoff_temperature=None, iterations_per_t=None,
                 size_limit=10, rand_seed=None, process_num=1):
        super().__init__()
        self.initial_temperature = initial_temperature
        self.alpha = alpha
        self.cutoff_temperature = cutoff_temperature
        self.iterations_per_t = iterations_per_t
        self.size_limit = size_limit
        self.rand_seed = rand_seed
        self.process_num = process_num

    def sampler(self, ising_matrix):
        """The ``SimulatedAnnealingSampler`` this solver runs on ``ising_matrix``."""
        from orvane.sampler._annealer import SimulatedAnnealingSampler, auto_temperature

        matrix = np.asarray(ising_matrix)
        start, cutoff = self.initial_temperature, self.cutoff_temperature
        if start is None or cutoff is None:
            if matrix.size and np.any(matrix):
                auto_start, auto_cutoff = auto_temperature(matrix)
            else:
                auto_start = auto_cutoff = 1.0  # constant energy: no step needed
            start = auto_start if start is None else start
            cutoff = auto_cutoff if cutoff is None else cutoff
        iterations = self.iterations_per_t
        if iterations is None:
            iterations = max(matrix.shape[0], 1) if matrix.ndim else 1
        return SimulatedAnnealingSampler(initial_temperature=start, alpha=self.alpha, cutoff_temperature=cutoff,
                                         iterations_per_t=iterations, size_limit=self.size_limit,
                                         rand_seed=self.rand_seed, process_num=self.process_num)

    def _solve(self, ising_matrix=None):
        """Anneal ``ising_matrix``; rows sorted by increasing energy."""
        if ising_matrix is not None and np.shape(ising_matrix) == (0, 0):
            return np.zeros((self.size_limit, 0), dtype=np.int64)  # no spins: the empty assignment
        solutions = self.sampler(ising_matrix).solve(ising_matrix)
        return get_sorted_solutions(ising_matrix, solutions)[0]
