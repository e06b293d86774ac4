"""Simulated annealing as a ready-to-use Ising solver."""
from __future__ import annotations

import math

import numpy as np

from orvane.core import IsingSolver, QuboSolver, get_sorted_solutions

# Schedule defaults, relative to sigma, the RMS flip energy at a random state.
# The sampler restarts every temperature step from the best configuration of
# its run, so long steps that stop well above the classic freeze-out
# temperature find low energies fastest (see benchmarks/results/anneal.md).
START_FRACTION = 0.5
CUTOFF_FRACTION = 0.05
SWEEPS_PER_STEP = 100


def flip_energy_scale(matrix) -> float:
    """sigma = 4 * sqrt(mean_k sum_j J_kj^2): the RMS energy change of a
    single flip, 4 s_k (s . J[k, :]), over random spin vectors."""
    J = np.asarray(matrix, dtype=float)
    return 4.0 * math.sqrt(float(np.mean(np.sum(J * J, axis=1))))


class SimulatedAnnealingOptimizer(IsingSolver, QuboSolver):
    """Simulated annealing Ising solver.

    Runs ``orvane.sampler.SimulatedAnnealingSampler`` and returns its
    ``size_limit`` solutions sorted by energy H(s) = -(s^T J s), lowest first,
    every row ending in +1 (duplicates kept).

    Settings left as ``None`` are chosen from the matrix: the start and
    cut-off temperatures as 0.5 and 0.05 times sigma, the RMS energy change of
    one flip at a random state, and ``iterations_per_t`` as 100 sweeps
    (100 n flip attempts) per temperature. A matrix without non-zero entries
    needs no annealing: every configuration is optimal. ``rand_seed=None``
    draws the sampler's seed from numpy's process-wide generator, so
    ``numpy.random.seed`` makes runs reproducible. ``process_num`` spreads the
    runs over worker processes (-1: one per processor).

    ``sampler(ising_matrix)`` gives the configured sampler, for example to use
    ``auto_temperature``-style settings or to watch its energy history.

    Example::

        >>> J = np.array([[0, 2, -3], [2, 0, -1], [-3, -1, 0]])
        >>> SimulatedAnnealingOptimizer(size_limit=1).solve(J)
        array([[-1, -1,  1]])
    """

    def __init__(self, initial_temperature=None, alpha=0.95, cutoff_temperature=None, iterations_per_t=None,
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
        from orvane.sampler._annealer import SimulatedAnnealingSampler

        matrix = np.asarray(ising_matrix)
        start, cutoff = self.initial_temperature, self.cutoff_temperature
        if start is None or cutoff is None:
            ok = matrix.ndim == 2 and matrix.size and matrix.dtype.kind in "biuf" and np.isfinite(matrix).all()
            sigma = flip_energy_scale(matrix) if ok else 0.0
            if sigma > 0:
                auto_start, auto_cutoff = START_FRACTION * sigma, CUTOFF_FRACTION * sigma
            else:
                auto_start = auto_cutoff = 1.0  # constant energy (or bad input, refused by the sampler)
            start = auto_start if start is None else start
            cutoff = auto_cutoff if cutoff is None else cutoff
        iterations = self.iterations_per_t
        if iterations is None:
            iterations = SWEEPS_PER_STEP * (matrix.shape[0] if matrix.ndim else 1)
        return SimulatedAnnealingSampler(initial_temperature=start, alpha=self.alpha, cutoff_temperature=cutoff,
                                         iterations_per_t=iterations, size_limit=self.size_limit,
                                         rand_seed=self.rand_seed, process_num=self.process_num)

    def _solve(self, ising_matrix=None):
        """Anneal ``ising_matrix``; rows sorted by increasing energy."""
        if ising_matrix is not None and np.shape(ising_matrix) == (0, 0):
            return np.zeros((self.size_limit, 0), dtype=np.int64)  # no spins: the empty assignment
        solutions = self.sampler(ising_matrix).solve(ising_matrix)
        return get_sorted_solutions(ising_matrix, solutions)[0]
