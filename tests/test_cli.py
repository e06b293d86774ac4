import json
from pathlib import Path

import numpy as np
import pytest

from orvane.cli import main, read_matrix

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "ising12.txt"
WORKED = np.array([[0, 2, -3], [2, 0, -1], [-3, -1, 0]])


@pytest.fixture
def files(tmp_path):
    np.save(tmp_path / "m.npy", WORKED)
    np.savetxt(tmp_path / "m.csv", WORKED, delimiter=",")
    (tmp_path / "m.txt").write_text("3 3\n1 2 2\n1 3 -3\n2 3 -1\n")
    return tmp_path


@pytest.mark.parametrize("name", ["m.npy", "m.csv", "m.txt"])
def test_formats_read_the_same_matrix(files, name):
    assert np.array_equal(read_matrix(str(files / name)), WORKED)


def test_solve_prints_optimum_as_json(files, capsys):
    assert main(["solve", str(files / "m.txt"), "--json"]) == 0
    out = json.loads(capsys.readouterr().out)
    assert out["solver"] == "exact" and out["energies"] == [-12.0]
    assert out["solutions"] == [[-1, -1, 1]]


@pytest.mark.parametrize("solver", ["sa", "tabu"])
def test_heuristic_solvers_reach_the_optimum(files, capsys, solver):
    assert main(["solve", str(files / "m.npy"), "--solver", solver, "--seed", "3", "--json"]) == 0
    out = json.loads(capsys.readouterr().out)
    assert out["solver"] == solver and out["energies"][0] == -12


def test_annealing_in_worker_processes(files, capsys):
    assert main(["solve", str(files / "m.npy"), "--solver", "sa", "--workers", "2", "--seed", "1", "--json"]) == 0
    assert json.loads(capsys.readouterr().out)["energies"][0] == -12


def test_example_file_runs(capsys):
    assert main(["solve", str(EXAMPLE)]) == 0
    assert "best energy:" in capsys.readouterr().out


@pytest.mark.parametrize("content, message", [
    ("3 3\n1 2 2\n", "announces 3 edges"),
    ("3 1\n1 9 2\n", "out of range"),
    ("x\n", "first line"),
    ("2 1\n1 2 abc\n", "cannot read"),
])
def test_bad_files_are_clear_errors(tmp_path, capsys, content, message):
    p = tmp_path / "bad.txt"
    p.write_text(content)
    assert main(["solve", str(p)]) == 2
    assert message in capsys.readouterr().err


def test_missing_and_non_square(tmp_path, capsys):
    assert main(["solve", str(tmp_path / "none.npy")]) == 2
    np.save(tmp_path / "r.npy", np.zeros((2, 3)))
    assert main(["solve", str(tmp_path / "r.npy")]) == 2
    np.save(tmp_path / "o.npy", np.array([["a"]]))
    assert main(["solve", str(tmp_path / "o.npy")]) == 2
    assert capsys.readouterr().err.count("orvane: error:") == 3
