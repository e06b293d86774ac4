from typing import Literal

import numpy as np
import numpy.typing as npt

from orvane.common import HeapUniquePool
from orvane.core import IsingSolver, QuboSolver

class TabuSearchOptimizer(IsingSolver, QuboSolver):
    max_iter: float
    recency_size: int | None
    kmax: int
    span_control_p1: int
    span_control_p2: int
    size_limit: int
    matrix: npt.ArrayLike | None
    nodiag_mat: npt.NDArray[np.float64] | None
    size: int | None
    x_conf: npt.NDArray[np.int64] | None
    best_solution: npt.NDArray[np.int64] | None
    best_hamilton: float | None
    solution_pool: HeapUniquePool | None
    penalty_recency: float | None
    recency: npt.NDArray[np.float64] | None
    last_t: list[npt.NDArray[np.int64]]
    frequency: npt.NDArray[np.float64] | None
    tabu_value: float | npt.NDArray[np.float64]
    k: int
    span: int
    iter_span: int
    direction: Literal["increase", "decrease"]
    ct_var: int
    ct_span: int
    iterations: int
    _hamiltonian: npt.NDArray[np.generic]
    _flips: int
    def __init__(
        self,
        max_iter: float,
        recency_size: int | None = None,
        kmax: int = 3,
        span_control_p1: int = 3,
        span_control_p2: int = 7,
        size_limit: int = 1,
    ) -> None: ...
    def set_matrix(self, ising_matrix: npt.ArrayLike | None = None) -> None: ...
    def init_solution(self, solution: npt.ArrayLike | None = None) -> None: ...
    @property
    def _x_val(self) -> float: ...
    def _sampler(self, solution_vector: npt.ArrayLike) -> float: ...
    @property
    def _penalty_frequency(self) -> float: ...
    def _net_increase(self) -> npt.NDArray[np.float64]: ...
    def _j_star(self, val: int) -> tuple[int, float]: ...
    def _count(self, val: int) -> int: ...
    def _update_recency(self, x_last: npt.ArrayLike) -> None: ...
    def _update_frequency(self, x_last: npt.ArrayLike) -> None: ...
    def _update_tabu(self) -> None: ...
    def _constructive(self) -> None: ...
    def _destructive(self) -> None: ...
    def _transfer(self) -> None: ...
    def _solve(
        self, ising_matrix: npt.ArrayLike | None = None, solution: npt.ArrayLike | None = None
    ) -> npt.NDArray[np.int64]: ...
    def solve(
        self,
        ising_matrix: npt.ArrayLike | None = None,
        negtail_flip: bool = True,
        sort_solutions: bool = False,
        solution: npt.ArrayLike | None = None,
    ) -> npt.NDArray[np.int64]: ...
