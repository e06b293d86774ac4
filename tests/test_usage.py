import json
import socket
import threading
import time
import uuid
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

from orvane.usage import _usagepost
from orvane.usage._usagehook import track_data
from orvane.usage._usagepost import TaskStatus, post_sdk_data


class _Collector(BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers["Content-Length"]))
        self.server.events.append((self.path, self.headers["Content-Type"], body))
        self.send_response(500)  # the poster ignores the status
        self.end_headers()

    def log_message(self, *args):
        pass


@pytest.fixture
def platform(monkeypatch, tmp_path):
    server = ThreadingHTTPServer(("127.0.0.1", 0), _Collector)
    server.events = []
    threading.Thread(target=server.serve_forever, daemon=True).start()
    monkeypatch.setattr(_usagepost, "SDK_DATA_URL", f"http://127.0.0.1:{server.server_port}/zorn/sdk-data/")
    monkeypatch.setenv("ORVANE_ACCOUNT_FILE", str(tmp_path / "none.json"))
    monkeypatch.setenv("ORVANE_SDK_CODE", "code-1")
    monkeypatch.setenv("ORVANE_USER_ID", "u-7")
    monkeypatch.setenv("ORVANE_BIT_COUNT", "100")
    yield server
    server.shutdown()


def wait_for(server, count, timeout=5.0):
    end = time.monotonic() + timeout
    while len(server.events) < count and time.monotonic() < end:
        time.sleep(0.01)
    return [json.loads(body) for _, _, body in server.events]


def test_disabled_returns_function_itself_and_starts_no_thread():
    def f(x):
        return x + 1

    before = threading.active_count()
    assert track_data()(f) is f
    assert track_data("cim")(f) is f
    assert f(1) == 2 and threading.active_count() == before


def test_event_layout(platform):
    uid = uuid.uuid1()
    post_sdk_data(uid, "cim", TaskStatus.END_CALL, "")
    (path, ctype, body), = [platform.events[0]] if wait_for(platform, 1) else [None]
    assert path == "/zorn/sdk-data/" and ctype == "application/json"
    assert body.decode() == json.dumps({
        "user_id": "u-7", "sdk_code": "code-1", "task_id": str(uid), "alg_name": "cim",
        "task_status": 2, "bit_count": 100, "error_info": ""})


def solve(x):
    return x * 2


class Opt:
    def run(self):
        raise ValueError("bad")


def test_wrapped_calls_post_start_end_and_exception(platform):
    wrapped = track_data(enabled=True)(solve)
    assert wrapped is not solve and wrapped.__wrapped__ is solve
    assert (wrapped.__name__, wrapped.__qualname__, wrapped.__module__) == ("solve", "solve", __name__)
    assert wrapped(21) == 42
    events = wait_for(platform, 2)
    assert sorted(e["task_status"] for e in events) == [1, 2]
    assert {e["alg_name"] for e in events} == {"test_usage.solve"}
    assert len({e["task_id"] for e in events}) == 1 and len(events[0]["task_id"]) == 36

    platform.events.clear()
    Opt.run = track_data(enabled=True)(Opt.run)
    with pytest.raises(ValueError, match="bad"):
        Opt().run()
    events = wait_for(platform, 2)
    assert sorted((e["task_status"], e["error_info"]) for e in events) == [(1, ""), (3, "bad")]
    assert events[0]["alg_name"] == "test_usage.Opt.run"

    platform.events.clear()
    assert track_data("cim", True)(solve)(1) == 2
    assert {e["alg_name"] for e in wait_for(platform, 2)} == {"cim"}


def test_alg_name_of_compiled_module_path(platform):
    def fn():
        return None

    fn.__module__, fn.__qualname__ = "orvane.preprocess._bound", "solve"
    track_data(enabled=True)(fn)()
    assert {e["alg_name"] for e in wait_for(platform, 2)} == {"_bound.solve"}


def test_statistics_switched_off_sends_nothing(platform, monkeypatch):
    monkeypatch.setenv("ORVANE_IS_STATISTICS", "false")
    track_data(enabled=True)(solve)(1)
    post_sdk_data(uuid.uuid1(), "x")
    time.sleep(0.3)
    assert platform.events == []


def test_unanswering_platform_never_delays_or_fails_the_call(monkeypatch):
    # A platform that accepts connections but never answers: the decorated call
    # returns while its posting threads are still waiting.
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(8)
        monkeypatch.setattr(_usagepost, "SDK_DATA_URL",
                            f"http://127.0.0.1:{listener.getsockname()[1]}/zorn/sdk-data/")
        before = set(threading.enumerate())
        assert track_data(enabled=True)(solve)(3) == 6
        posting = [t for t in set(threading.enumerate()) - before if t.is_alive()]
        assert posting and not any(t.daemon for t in posting)
        conns = []
        listener.settimeout(2)
        for _ in posting:
            conns.append(listener.accept()[0])
        for c in conns:
            c.close()  # the threads end now instead of after their read time-out
    for t in posting:
        t.join(5)
    assert not any(t.is_alive() for t in posting)


def test_refused_connection_is_swallowed(monkeypatch):
    with socket.socket() as s:  # a port with nobody listening
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    monkeypatch.setattr(_usagepost, "SDK_DATA_URL", f"http://127.0.0.1:{port}/zorn/sdk-data/")
    assert post_sdk_data(uuid.uuid1(), "x") is None


def test_identity_failure_is_swallowed(monkeypatch, tmp_path):
    bad = tmp_path / "account.json"
    bad.write_text("{not json")
    monkeypatch.setenv("ORVANE_ACCOUNT_FILE", str(bad))
    assert post_sdk_data(uuid.uuid1(), "x") is None


def test_signatures():
    import inspect
    assert str(inspect.signature(track_data)) == "(alg_name=None, enabled=False)"
    assert "task_status=<TaskStatus.START_CALL: 1>" in str(inspect.signature(post_sdk_data))
    assert _usagepost.SDK_DATA_URL.endswith("/zorn/sdk-data/")
    assert inspect.signature(track_data(enabled=True)(solve)) == inspect.signature(solve)
