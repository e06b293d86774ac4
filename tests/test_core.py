import json
import subprocess
import sys

import numpy as np
import pytest

import orvane as ov
from orvane import account
from orvane.core import IsingSolver, OrvaneError, get_sorted_solutions


def test_import_is_lazy_and_starts_nothing():
    code = ("import sys, threading, orvane as ov; "
            "print(threading.active_count(), sorted(m for m in sys.modules if m.startswith('orvane')))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout.split(" ", 1)
    assert out[0] == "1"
    assert "_exhaustive" not in out[1] and "_usage" not in out[1]


def test_subpackages_and_unknown_names():
    assert ov.classical.BruteForceOptimizer.__module__ == "orvane.classical._exhaustive"
    assert "BruteForceOptimizer" in dir(ov.classical)
    with pytest.raises(AttributeError):
        ov.classical.NoSuchSolver


def test_base_is_abstract_and_solve_passes_result_unchanged():
    with pytest.raises(TypeError):
        IsingSolver()

    class Echo(IsingSolver):
        def _solve(self, ising_matrix=None):
            return None

    e = Echo()
    assert e.matrix is None and e.solve(np.zeros((2, 2))) is None
    e.set_matrix(np.eye(2))
    assert np.array_equal(e.matrix, np.eye(2))
    assert str(OrvaneError("x")) == "x"


def test_get_sorted_solutions_flips_and_sorts():
    J = np.array([[0, 2, -3], [2, 0, -1], [-3, -1, 0]])
    sols = np.array([[1, 1, 1], [1, 1, -1], [-1, 1, -1]])
    out, e = get_sorted_solutions(J, sols, 0, True, True)
    assert out.tolist() == [[-1, -1, 1], [1, 1, 1], [1, -1, 1]]
    assert e.tolist() == [-12, 4, 8]
    assert np.array_equal(sols[0], [1, 1, 1])  # input untouched
    same, e2 = get_sorted_solutions(J, sols, 5, False, False)
    assert np.array_equal(same, sols) and e2[1] == -12 + 5


def test_account_from_file_and_environment(tmp_path, monkeypatch):
    f = tmp_path / "account.json"
    f.write_text(json.dumps({"authorization": "tok", "sdk_code": "c", "user_id": 3, "bit_count": 8}))
    for key in ("AUTHORIZATION", "SDK_CODE", "USER_ID", "BIT_COUNT", "IS_STATISTICS"):
        monkeypatch.delenv("ORVANE_" + key, raising=False)
    monkeypatch.setenv("ORVANE_ACCOUNT_FILE", str(f))
    assert account.get_authorization() == "tok"
    assert account.get_identity() == ({"user_id": 3, "bit_count": 8}, "c")
    monkeypatch.setenv("ORVANE_IS_STATISTICS", "0")
    monkeypatch.setenv("ORVANE_AUTHORIZATION", "env-tok")
    assert account.get_authorization() == "env-tok"
    assert account.get_identity()[0]["is_statistics"] is False
    f.write_text("[1]")
    with pytest.raises(ValueError, match="JSON object"):
        account.get_identity()
