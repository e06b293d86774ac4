import numpy as np
import numpy.typing as npt

from orvane.core import IsingSolver, QuboSolver

class BruteForceOptimizer(IsingSolver, QuboSolver):
    matrix: npt.ArrayLike | None
    def __init__(self) -> None: ...
    def _solve(self, ising_matrix: npt.ArrayLike | None = None) -> npt.NDArray[np.int64]: ...
    def solve(self, ising_matrix: npt.ArrayLike) -> npt.NDArray[np.int64]: ...
