import logging

import numpy as np
import numpy.typing as npt

from orvane.core import IsingSolver, QuboSolver

logger: logging.Logger

class PrecisionReducer(IsingSolver, QuboSolver):
    matrix: npt.ArrayLike | None
    _component: IsingSolver
    precision: int
    target_bits: int | None
    only_feasible_solution: bool
    truncated_precision: int
    def __init__(
        self,
        component: IsingSolver,
        precision: int = 8,
        target_bits: int | None = None,
        only_feasible_solution: bool = False,
        truncated_precision: int = 20,
    ) -> None: ...
    def _solve(self, ising_matrix: npt.ArrayLike | None = None) -> np.ndarray | None: ...
    def solve(self, ising_matrix: npt.ArrayLike) -> np.ndarray | None: ...
