"""Plain numpy implementation of variable and item splitting, step by step.

Used by the splitting tests (results must agree bit for bit) and by the
splitting benchmark as the baseline.
"""
from __future__ import annotations

import numpy as np

TOL = 1e-8


def split_num(norm: np.ndarray, n: int) -> np.ndarray:
    num_split = np.ones(n, dtype=np.int64)
    mat = norm.copy()
    mat_cmp = np.sqrt(norm.copy())
    while True:
        max_idx = int(np.argmax(mat_cmp))
        x, y = divmod(max_idx, n)
        max_val = mat[x, y]
        if max_val <= 1:
            return num_split
        if num_split[x] == 1 and num_split[y] == 1:
            k = int(np.ceil(np.sqrt(max_val)))
        else:
            k = int(np.ceil(max_val))
        for v in (x, y):
            if num_split[v] == 1:
                mat[v, :] /= k
                mat[:, v] /= k
                mat_cmp[v, :] = mat[v, :]
                mat_cmp[:, v] = mat[:, v]
                num_split[v] = k


def int_ising_matrix(ising_ret, ising_mat, minimum, num_split, tail):
    abs_ret = np.abs(ising_ret) / minimum
    abs_mat = np.abs(ising_mat) / minimum
    factor = np.outer(num_split, num_split)
    delta = np.ceil(abs_mat / factor - TOL).astype(np.int64) * factor - abs_mat
    c = np.ceil(abs_ret - TOL)
    b = np.concatenate(([0], np.asarray(tail) + 1))
    n = len(num_split)
    for i in range(n):
        for j in range(i, n):
            d = delta[i, j]
            done = False
            for a in range(b[i], b[i + 1]):
                for q in range(b[j], b[j + 1]):
                    if d <= c[a, q]:
                        c[a, q] -= d
                        c[q, a] -= d
                        done = True
                        break
                    d -= c[a, q]
                    c[a, q] = 0
                    c[q, a] = 0
                if done:
                    break
    return c * np.where(ising_ret > 0, 1.0, -1.0)


def default_increment(M):
    return np.diff(np.unique(M)).min()


def prepare(ising_matrix, param_bit, min_increment):
    """Threshold, symmetrised float matrix, size and increment shared by both methods."""
    thresh = 2 ** (param_bit - 1) - 1
    M = (np.asarray(ising_matrix) + np.asarray(ising_matrix).T) / 2
    M = M.astype(np.float64)
    if min_increment is None:
        min_increment = default_increment(M)
    return thresh, M, M.shape[0], min_increment


def splitprec_var(ising_matrix, param_bit=8, min_increment=None, penalty=None, round_to_increment=True):
    thresh, M, n, min_increment = prepare(ising_matrix, param_bit, min_increment)
    if penalty is None:
        penalty = thresh * min_increment
    norm = np.abs(M) / thresh / min_increment
    num_split = split_num(norm, n)
    last = np.cumsum(num_split) - 1
    var_of = np.repeat(np.arange(n), num_split)
    f = (1 / num_split)[var_of]
    np.fill_diagonal(M, penalty * num_split ** 2)
    ret = M[var_of][:, var_of] * np.outer(f, f)
    np.fill_diagonal(ret, 0)
    ret = int_ising_matrix(ret, M, min_increment, num_split, last)
    if round_to_increment:
        ret = np.round(ret)
    return ret * min_increment, last.astype(np.int64)


def splitprec_item(ising_matrix, param_bit=8, min_increment=None, round_to_increment=True):
    thresh, M, n, min_increment = prepare(ising_matrix, param_bit, min_increment)
    norm = np.abs(M) / thresh / min_increment
    iu, ju = np.triu_indices(n)
    pieces = np.maximum(np.ceil(norm[iu, ju] - TOL).astype(np.int64), 1)
    size = n + int((pieces - 1).sum())
    out = np.zeros((size, size))
    nxt = n
    for i, j, k in zip(iu, ju, pieces):
        v = M[i, j]
        flag = 1 if v > 0 else -1
        out[i, j] = out[j, i] = v / k
        aux = np.arange(nxt, nxt + k - 1)
        out[aux, i] = out[i, aux] = v / k
        out[aux, j] = out[j, aux] = flag * v / k
        nxt += k - 1
    if round_to_increment:
        out = np.round(out / min_increment) * min_increment
    return out, np.arange(n, dtype=np.int64)
