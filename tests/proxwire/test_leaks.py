"""Reference-leak hunting for the bridge's hot operations: after warm-up, a few hundred
rounds with a collection each must leave the interpreter's allocated blocks where they were."""

import datetime
import gc
import sys
import threading

import pytest

import support
from fake_addin import handling, needs
from quorvel_master.python_server.quorvel import proxwire

pytestmark = pytest.mark.no_asan  # the sanitizer run counts no blocks (PYTHONMALLOC=malloc)

messaging = proxwire.messaging
RUN = 100  # rounds per measured run
RUNS = 8  # at most this many runs after the warm-up


MARKER = -1  # a proxy dropped after each round under `addin`: released after the round's own
settle = None  # set by the `addin` fixture


def assert_no_leak(op):
    def round_():
        op()
        if settle is not None:
            settle()  # the releases a round caused are part of it

    support.assert_no_leak(round_, run=RUN, runs=RUNS, warmup=RUN)


def answer(env):
    """The add-in's answer to any request: functions for the transaction's start and commit,
    a small value otherwise."""
    if env.get("method") == "GET" and env.get("name") in ("start", "commit"):
        result = {"type": "Function", "value": 90, "isSpec": True}
    elif env.get("method") == "GET" and env.get("name") == "range":
        result = {"type": "Range", "value": 91, "isSpec": True}
    else:
        result = {"type": "Int", "value": 3, "isSpec": False}
    return {"requestId": env["requestId"], "ok": True, "result": result}


@pytest.fixture
def addin(monkeypatch):
    """A send handler that answers every request before it returns; each measured round ends
    once the module's sender has handed over the releases of the proxies it dropped."""
    marker_out = threading.Event()

    def handler(env):
        if env.get("method") == "DEL" and env.get("caller") == MARKER:
            marker_out.set()
        messaging.on_message(answer(env))

    def wait_for_releases():
        marker_out.clear()
        proxwire.OfficeJsObject(MARKER, "Marker")
        assert marker_out.wait(5), "releases did not go out"

    monkeypatch.setattr(sys.modules[__name__], "settle", wait_for_releases)
    with handling(handler):
        yield


NESTED = {
    "rows": [[1, 2.5, "x" * 40, None, True], (b"\x00\xff", datetime.date(2024, 1, 2))],
    "when": datetime.datetime(2024, 1, 2, 3, 4, 5, tzinfo=datetime.timezone.utc),
    "deep": {"a": {"b": {"c": [[[["leaf"]]]]}}},
}

NESTED_WIRE = {
    "type": "Array",
    "id": 12,
    "value": [
        {"type": "Dict", "id": 13, "value": {
            "n": {"type": "Int", "value": "12"},
            "f": {"type": "Float", "value": 1.5},
            "s": {"type": "String", "value": "text"},
            "b": {"type": "Bytes", "value": "AAEC"},
            "d": {"type": "Date", "value": "2024-01-02T03:04:05"},
            "bad": {"type": "Date", "value": "not a date"},
            "obj": {"type": "Range", "value": 44, "isSpec": True},
        }},
        {"type": "Array", "id": 14, "value": [{"type": "Null"}, {"type": "Bool", "value": 1}]},
    ],
}


class TestMessaging:
    def test_answered_request(self, addin):
        assert_no_leak(lambda: messaging.send_request_sync({"method": "GET", "name": "x"}))

    def test_remote_error(self):
        def fail(env):
            messaging.on_message(
                {"requestId": env["requestId"], "ok": False, "error": {"message": "no"}})

        def op():
            try:
                messaging.send_request_sync({"method": "GET", "name": "x"})
            except RuntimeError:
                pass

        with handling(fail):
            assert_no_leak(op)

    def test_timed_out_request(self):
        def op():
            try:
                messaging.send_request_sync({"method": "GET", "name": "x"}, timeout=0)
            except TimeoutError:
                pass

        with handling(lambda env: None):
            assert_no_leak(op)
            assert messaging.waiters == {}

    def test_ignored_responses(self):
        def op():
            messaging.on_message({"requestId": "f" * 32, "ok": True})
            messaging.on_message({})

        assert_no_leak(op)


@needs("Serializer", "OfficeJsArray", "OfficeJsDict", "OfficeJsObject")
class TestSerializer:
    def test_to_wire_nested(self):
        assert_no_leak(lambda: proxwire.Serializer.to_wire(NESTED))

    def test_from_wire_nested(self):
        # The proxies inside are finalised every round, so their releases are part of the round.
        def proxies(wire):
            value = wire.get("value")
            inner = value.values() if isinstance(value, dict) else value or []
            own = wire.get("isSpec") or wire.get("type") in ("Array", "Dict")
            return own + sum(proxies(w) for w in inner if isinstance(w, dict)) \
                if wire.get("type") in ("Array", "Dict") else int(bool(own))

        released = threading.Semaphore(0)
        with handling(lambda env: released.release()):
            def op():
                proxwire.Serializer.from_wire(NESTED_WIRE)
                for _ in range(proxies(NESTED_WIRE)):
                    assert released.acquire(timeout=5)

            assert_no_leak(op)

    def test_conversion_errors(self):
        def op():
            for wire in ({"type": "Int", "value": "twelve"}, {"type": "Array", "id": 9, "value": [1]}):
                try:
                    proxwire.Serializer.from_wire(wire)
                except (TypeError, ValueError):
                    pass

        assert_no_leak(op)


@needs("Excel", "GetSetting", "OfficeJsObject", "Serializer")
class TestProxies:
    def test_get(self, addin):
        assert_no_leak(lambda: proxwire.Excel.name)

    def test_get_of_a_proxy(self, addin):
        assert_no_leak(lambda: proxwire.Excel.range)

    def test_set(self, addin):
        def op():
            proxwire.Excel.values = [[1, "a"], [2.5, None]]

        assert_no_leak(op)

    def test_call(self, addin):
        assert_no_leak(lambda: proxwire.GetSetting("theme", 1, flag=True))

    def test_items(self, addin):
        def op():
            proxwire.Excel[3]
            proxwire.Excel[1:-1:2]

        assert_no_leak(op)

    def test_failed_operations(self, addin):
        def op():
            for bad in (lambda: proxwire.Excel["key"], lambda: proxwire.Excel()):
                try:
                    bad()
                except TypeError:
                    pass

        assert_no_leak(op)

    def test_creation_and_finalisation(self):
        released = threading.Semaphore(0)
        with handling(lambda env: released.release()):
            def op():
                proxwire.OfficeJsObject(42, "Range")
                assert released.acquire(timeout=5)  # handed over by the module's sender

            assert_no_leak(op)

    def test_finalisation_in_a_cycle(self):
        released = threading.Semaphore(0)
        with handling(lambda env: released.release()):
            def op():
                cycle = [proxwire.OfficeJsObject(43, "Range")]
                cycle.append(cycle)
                del cycle
                gc.collect()  # the release is recorded in the collection
                proxwire.OfficeJsObject(44, "Range")  # and goes out ahead of this plain one
                assert released.acquire(timeout=5) and released.acquire(timeout=5)

            assert_no_leak(op)


@needs("OfficeJsTransaction", "Excel", "Context")
def test_transaction_block(addin):
    def op():
        with proxwire.OfficeJsTransaction():
            proxwire.Excel.name = "batched"

    assert_no_leak(op)
