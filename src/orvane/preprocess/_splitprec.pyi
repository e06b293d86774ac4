import numpy as np
import numpy.typing as npt

def get_split_num(ising_matrix: npt.ArrayLike, var_num: int) -> npt.NDArray[np.int64]: ...
def _get_int_ising_matrix(
    ising_ret: npt.ArrayLike,
    ising_mat: npt.ArrayLike,
    minimum: float,
    num_split: npt.ArrayLike,
    tail: npt.ArrayLike,
) -> npt.NDArray[np.float64]: ...
def perform_splitprec_var(
    ising_matrix: npt.ArrayLike,
    param_bit: int = 8,
    min_increment: float | None = None,
    penalty: float | None = None,
    round_to_increment: bool = True,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]: ...
def perform_splitprec_item(
    ising_matrix: npt.ArrayLike,
    param_bit: int = 8,
    min_increment: float | None = None,
    round_to_increment: bool = True,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]: ...
def perform_splitprec(
    ising_matrix: npt.ArrayLike,
    param_bit: int = 8,
    min_increment: float | None = None,
    penalty: float | None = None,
    round_to_increment: bool = True,
    method: str = "var",
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]: ...
def restore_split_solution(solution: npt.ArrayLike, split_indices: npt.ArrayLike) -> np.ndarray: ...
def construct_split_solution(
    solution: npt.ArrayLike, last_var_idx: npt.ArrayLike | None = None
) -> npt.NDArray[np.float64]: ...
