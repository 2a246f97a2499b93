"""A stand-in for the add-in and the kernel's channel: requests are answered on a listener
thread of its own, the way the kernel delivers responses; and the tests' other shared helpers."""
import contextlib
import itertools
import queue
import threading
import time

import pytest

from quorvel_master.python_server.quorvel import proxwire as pw


def needs(*names):
    """Skips until the module has every one of `names`."""
    missing = [n for n in names if not hasattr(pw, n)]
    return pytest.mark.skipif(bool(missing), reason="not built yet: " + ", ".join(missing))


@contextlib.contextmanager
def handling(handler):
    """`handler` is the send handler while the block runs; none is left afterwards."""
    pw.messaging.set_send_handler(handler)
    try:
        yield handler
    finally:
        pw.messaging.set_send_handler(None)


def wait_until(condition, timeout=5.0):
    """Polls `condition` until it holds or `timeout` seconds pass; returns its last answer."""
    deadline = time.monotonic() + timeout
    while not (answer := condition()) and time.monotonic() < deadline:
        time.sleep(0.002)
    return answer


def wait_for_releases(envelopes, *callers, timeout=5.0):
    """The DEL envelopes of `callers` among `envelopes` (a list a send handler fills), once one
    of each has come: the module's sender hands releases over shortly after the drop."""
    def found():
        return [e for e in list(envelopes)
                if isinstance(e, dict) and e.get("method") == "DEL" and e.get("caller") in callers]

    wait_until(lambda: {e["caller"] for e in found()} >= set(callers), timeout)
    return found()


_markers = itertools.count(-1000, -1)


def settle_releases(envelopes, timeout=5.0):
    """Drops a marker proxy and waits until its release is in `envelopes`: releases go out in
    the order they were recorded, so every earlier one has been handed over too."""
    marker = next(_markers)
    pw.OfficeJsObject(marker, "Marker")
    assert wait_for_releases(envelopes, marker, timeout=timeout), "releases did not go out"


def ok(result=None):
    """A successful answer carrying the wire value `result`."""
    return {"ok": True, "result": result}


def fail(message=None):
    """A refusal, with the add-in's message when one is given."""
    return {"ok": False} if message is None else {"ok": False, "error": {"message": message}}


def obj(object_id, type_name="Range"):
    return {"type": type_name, "value": object_id, "isSpec": True}


def value(v):
    return pw.Serializer.to_wire(v)


def bare(env):
    """The request dict inside an envelope, keys in their order."""
    return {k: v for k, v in env.items() if k not in ("requestId", "kind")}


class FakeAddin:
    """Records every envelope and answers it from `answer(env)` on the listener thread.

    `answer` returns the response's fields without "requestId", or None to stay silent;
    DEL requests are answered like any other unless `answer` is silent for them."""

    def __init__(self, answer=None):
        self.answer = answer or (lambda env: ok(value(None)))
        self.envelopes = []
        self.listener_errors = []
        self._queue = queue.Queue()
        self.thread = threading.Thread(target=self._listen, name="fake-addin", daemon=True)
        self.thread.start()

    def handler(self, env):
        self.envelopes.append(env)
        self._queue.put(env)

    def _listen(self):
        while True:
            env = self._queue.get()
            if env is None:
                return
            try:
                response = self.answer(env)
                if response is not None:
                    pw.messaging.on_message({"requestId": env["requestId"], **response})
            except BaseException as e:  # noqa: B902 - reported to the test
                self.listener_errors.append(e)

    def requests(self, include_del=False):
        return [bare(e) for e in self.envelopes if include_del or e.get("method") != "DEL"]

    def call_on_listener(self, fn):
        """Runs `fn` on the listener thread, between two deliveries, and waits for it."""
        done = threading.Event()
        result = {}

        def answer_once(env, previous=self.answer):
            self.answer = previous
            try:
                result["value"] = fn()
            finally:
                done.set()
            return previous(env)

        self.answer = answer_once
        return done, result

    def stop(self, timeout=5):
        self._queue.put(None)
        self.thread.join(timeout)


@contextlib.contextmanager
def serving(answer=None):
    """A FakeAddin installed as the send handler; stopped on leaving, and none of its answers
    may have failed."""
    addin = FakeAddin(answer)
    pw.messaging.set_send_handler(addin.handler)
    yield addin
    addin.stop()
    assert not addin.listener_errors, f"listener failed: {addin.listener_errors!r}"


def on_worker(fn, timeout=20):
    """Runs `fn` on a worker thread, as user code runs, and returns or raises its outcome."""
    out = {}

    def run():
        try:
            out["value"] = fn()
        except BaseException as e:  # noqa: B902 - handed back to the test
            out["error"] = e

    t = threading.Thread(target=run)
    t.start()
    t.join(timeout)
    assert not t.is_alive(), "worker did not finish"
    if "error" in out:
        raise out["error"]
    return out["value"]
