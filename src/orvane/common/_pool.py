"""A bounded pool of distinct spin configurations of lowest energy."""
from __future__ import annotations

import heapq
import operator

import numpy as np


class HeapUniquePool:
    """Keeps the ``size_limit`` distinct configurations of lowest energy.

    ``push(configuration, energy)`` stores a copy of the configuration (the
    caller may keep changing its own array). A configuration already held is
    ignored. When the pool is full, a new configuration is admitted only if its
    energy is strictly lower than the highest held energy; it then replaces the
    configuration of highest energy (among equals, the one pushed last). So the
    content after any sequence of pushes is the ``size_limit`` lowest distinct
    configurations ordered by (energy, first push), and ``get_solutions``
    returns them in that order.
    """

    def __init__(self, matrix, n, size_limit):
        n = operator.index(n)
        size_limit = operator.index(size_limit)
        if n < 0:
            raise ValueError(f"n must be non-negative, got {n}")
        if size_limit < 0:
            raise ValueError(f"size_limit must be non-negative, got {size_limit}")
        self.matrix = matrix
        self.n = n
        self.size_limit = size_limit
        self._heap: list[tuple[float, int, bytes]] = []  # (-energy, -seq, key): the root is the worst entry
        self._rows: dict[bytes, tuple[float, int, np.ndarray]] = {}
        self._seq = 0

    def __len__(self):
        return len(self._rows)

    def push(self, configuration, energy=None):
        """Offer ``configuration``; ``energy`` defaults to -(s^T J s) of the pool's matrix."""
        row = np.array(configuration, dtype=np.int64, copy=True).reshape(-1)
        if row.shape[0] != self.n:
            raise ValueError(f"configuration has {row.shape[0]} entries, the pool holds {self.n}")
        if energy is None:
            J = np.asarray(self.matrix, dtype=float)
            energy = float(-(row @ J @ row))
        key = row.tobytes()
        if key in self._rows or self.size_limit == 0:
            return
        if len(self._rows) >= self.size_limit:
            worst_energy = -self._heap[0][0]
            if not energy < worst_energy:
                return
            _, _, old = heapq.heappop(self._heap)
            del self._rows[old]
        self._seq += 1
        heapq.heappush(self._heap, (-energy, -self._seq, key))
        self._rows[key] = (energy, self._seq, row)

    def _ordered(self):
        return sorted(self._rows.values(), key=lambda e: (e[0], e[1]))

    def get_solutions(self) -> np.ndarray:
        """The held configurations, one per row (int64), lowest energy first."""
        rows = [r for _, _, r in self._ordered()]
        if not rows:
            return np.zeros((0, self.n), dtype=np.int64)
        return np.stack(rows)

    def get_energies(self) -> np.ndarray:
        """The energies of ``get_solutions()``'s rows, in the same order."""
        return np.array([e for e, _, _ in self._ordered()])
