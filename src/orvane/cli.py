"""Command line: ``orvane solve FILE`` solves an Ising matrix from a file.

File formats (chosen by extension):
  .npy            a square numeric array
  .csv            a square matrix, comma separated
  anything else   a whitespace edge list: a line "n m", then m lines "i j w"
                  (1-based), each setting J_ij = J_ji = w
Energies follow H(s) = -(s^T J s) over the full matrix.
"""
from __future__ import annotations

import argparse
import json
import logging
import os
import sys
import time
from pathlib import Path

import numpy as np

logger = logging.getLogger("orvane.cli")

EXACT_MAX_SPINS = 20  # the automatic choice enumerates up to this size


class InputError(Exception):
    """An input file that cannot be used."""


def read_matrix(path: str) -> np.ndarray:
    """Read an Ising matrix from .npy, .csv or a whitespace edge list."""
    p = Path(path)
    try:
        if p.suffix.lower() == ".npy":
            J = np.load(p, allow_pickle=False)
        elif p.suffix.lower() == ".csv":
            J = np.loadtxt(p, delimiter=",", dtype=float, ndmin=2)
        else:
            J = _read_edge_list(p)
    except InputError:
        raise
    except (OSError, ValueError, EOFError) as exc:
        raise InputError(f"cannot read {path}: {exc}") from exc
    if J.dtype.kind not in "biuf":
        raise InputError(f"{path}: matrix must be numeric, got {J.dtype}")
    if J.ndim != 2 or J.shape[0] != J.shape[1] or J.shape[0] == 0:
        raise InputError(f"{path}: matrix must be square and non-empty, got shape {J.shape}")
    if not np.isfinite(J).all():
        raise InputError(f"{path}: matrix contains NaN or infinity")
    return J


def _read_edge_list(p: Path) -> np.ndarray:
    with open(p, encoding="utf-8") as f:
        header = f.readline().split()
        if len(header) != 2:
            raise InputError(f"{p}: first line must be 'n m'")
        n, m = int(header[0]), int(header[1])
        J = np.zeros((n, n))
        count = 0
        for lineno, line in enumerate(f, start=2):
            fields = line.split()
            if not fields:
                continue
            if len(fields) != 3:
                raise InputError(f"{p}:{lineno}: expected 'i j w'")
            i, j, w = int(fields[0]) - 1, int(fields[1]) - 1, float(fields[2])
            if not (0 <= i < n and 0 <= j < n):
                raise InputError(f"{p}:{lineno}: vertex out of range 1..{n}")
            J[i, j] = J[j, i] = w
            count += 1
    if count != m:
        raise InputError(f"{p}: header announces {m} edges, found {count}")
    return J


def _make_solver(args, n: int):
    import orvane as ov

    name = args.solver
    if name == "auto":
        name = "exact" if n <= EXACT_MAX_SPINS else "sa"
    if name == "exact":
        solver = ov.classical.BruteForceOptimizer()
    elif name == "sa":
        solver = ov.classical.SimulatedAnnealingOptimizer(size_limit=args.samples, rand_seed=args.seed,
                                                          process_num=args.workers)
    elif name == "tabu":
        if args.seed is not None:
            np.random.seed(args.seed)
        solver = ov.classical.TabuSearchOptimizer(max_iter=args.max_iter, size_limit=args.samples)
    else:  # argparse restricts the choices
        raise InputError(f"unknown solver {name}")
    if args.precision is not None:
        solver = ov.preprocess.PrecisionReducer(solver, precision=args.precision)
    return name, solver


def _solve(args) -> dict:
    J = read_matrix(args.file)
    name, solver = _make_solver(args, J.shape[0])
    start = time.perf_counter()
    solutions = np.atleast_2d(np.asarray(solver.solve(J), dtype=np.int64))
    seconds = time.perf_counter() - start
    solutions = np.unique(solutions, axis=0) if len(solutions) else solutions.reshape(0, J.shape[0])
    energies = -np.einsum("ki,ij,kj->k", solutions, J, solutions)
    order = np.argsort(energies, kind="stable")[: args.top]
    return {
        "file": args.file,
        "solver": name + (f"+precision{args.precision}" if args.precision is not None else ""),
        "n": int(J.shape[0]),
        "seconds": round(seconds, 6),
        "energies": [e.item() for e in energies[order]],
        "solutions": solutions[order].tolist(),
    }


def _print_text(result: dict, out) -> None:
    print(f"{result['file']}: n={result['n']} solver={result['solver']} time={result['seconds']:.3f}s", file=out)
    if not result["energies"]:
        print("no solution", file=out)
        return
    print(f"best energy: {result['energies'][0]:g}", file=out)
    for e, s in zip(result["energies"], result["solutions"]):
        print(f"{e:g}\t" + " ".join(f"{v:+d}" for v in s), file=out)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="orvane", description="Ising, QUBO and higher-order binary optimisation.")
    parser.add_argument("-v", "--verbose", action="store_true", help="log progress")
    sub = parser.add_subparsers(dest="command", required=True)
    solve = sub.add_parser("solve", help="solve an Ising matrix from a file",
                           description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    solve.add_argument("file", help=".npy, .csv or edge-list file")
    solve.add_argument("--solver", choices=["auto", "exact", "sa", "tabu"], default="auto",
                       help=f"auto: exact up to {EXACT_MAX_SPINS} spins, else simulated annealing")
    solve.add_argument("--samples", type=int, default=10, help="solutions to ask the sa/tabu solver for")
    solve.add_argument("--workers", type=int, default=1,
                       help="worker processes for sa (-1: one per processor)")
    solve.add_argument("--max-iter", type=int, default=1000, help="tabu iterations per search")
    solve.add_argument("--seed", type=int, default=None, help="random seed (sa, tabu)")
    solve.add_argument("--precision", type=int, default=None, metavar="BITS",
                       help="solve through the precision reducer with BITS-bit coefficients")
    solve.add_argument("--top", type=int, default=5, help="distinct solutions to print")
    solve.add_argument("--json", action="store_true", help="print JSON")
    return parser


def main(argv=None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    logging.basicConfig(level=logging.INFO if args.verbose else logging.WARNING,
                        format="%(levelname)s %(name)s: %(message)s")
    try:
        result = _solve(args)
    except InputError as exc:
        print(f"orvane: error: {exc}", file=sys.stderr)
        return 2
    except (ValueError, TypeError) as exc:
        print(f"orvane: error: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("orvane: interrupted", file=sys.stderr)
        return 130
    try:
        if args.json:
            json.dump(result, sys.stdout)
            print()
        else:
            _print_text(result, sys.stdout)
        sys.stdout.flush()
    except BrokenPipeError:  # e.g. piped into `head`
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    return 0


if __name__ == "__main__":
    sys.exit(main())
