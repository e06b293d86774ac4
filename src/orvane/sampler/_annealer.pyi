import logging
from typing import Any

import numpy as np
import numpy.typing as npt

from orvane.core import IsingSolver, QuboSolver

logger: logging.Logger

class SimulatedAnnealingSamplerBase(IsingSolver, QuboSolver):
    matrix: npt.ArrayLike | None
    initial_temperature: float | None
    alpha: float
    cutoff_temperature: float | None
    iterations_per_t: int
    size_limit: int
    rand_seed: int
    process_num: int
    def __init__(
        self,
        initial_temperature: float | None = None,
        alpha: float = 0.99,
        cutoff_temperature: float | None = None,
        iterations_per_t: int = 10,
        size_limit: int = 1,
        rand_seed: int | None = None,
        process_num: int = 1,
    ) -> None: ...
    def _solve(
        self,
        ising_matrix: npt.ArrayLike | None = None,
        init_solution: npt.ArrayLike | None = None,
        size_limit: int | None = None,
    ) -> npt.NDArray[np.int64]: ...
    def single_process_solve(
        self,
        ising_matrix: npt.ArrayLike,
        init_solution: npt.ArrayLike | None,
        rand_seed: int | None,
        size_limit: int | None = None,
    ) -> npt.NDArray[np.int64]: ...
    def solve(self, ising_matrix: npt.ArrayLike) -> npt.NDArray[np.int64]: ...

class SimulatedAnnealingSampler(SimulatedAnnealingSamplerBase):
    verbose: bool
    flag_evolution_history: bool
    ha_history: dict[float, Any]
    solution_pool: npt.NDArray[np.int64] | None
    def __init__(
        self,
        initial_temperature: float = 100,
        alpha: float = 0.99,
        cutoff_temperature: float = 0.001,
        iterations_per_t: int = 10,
        size_limit: int = 100,
        flag_evolution_history: bool = False,
        verbose: bool = False,
        rand_seed: int | None = None,
        process_num: int = 1,
    ) -> None: ...
    def on_matrix_change(self) -> None: ...
    def _dlt_h_single_flip(self, solution: npt.ArrayLike, idx: int) -> Any: ...
    def single_process_solve(
        self,
        ising_matrix: npt.ArrayLike | None = None,
        init_solution: npt.ArrayLike | None = None,
        rand_seed: int | None = None,
        size_limit: int | None = None,
    ) -> npt.NDArray[np.int64]: ...
    def get_ha_history(self) -> dict[float, Any]: ...

def split_near_uniform(m: int, n: int) -> list[int]: ...
def auto_temperature(ising_mat: npt.ArrayLike) -> tuple[float, float]: ...
