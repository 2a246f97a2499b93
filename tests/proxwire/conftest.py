"""Fixtures for every proxwire test: a clean messaging state, send handlers, a fake add-in
answering on its own listener thread, and isolated runs for deadlock-prone cases."""
import os
import queue
import subprocess
import sys
import textwrap
import threading

import pytest

from quorvel_master.python_server.quorvel import proxwire as pw

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def make_reply(env, result=None, ok=True, error=None):
    """The add-in's response to one envelope."""
    response = {"requestId": env["requestId"], "ok": ok}
    if ok:
        response["result"] = result
    elif error is not None:
        response["error"] = {"message": error}
    return response


@pytest.fixture
def reply():
    """reply(env, result=None, ok=True, error=None): the add-in's response to an envelope."""
    return make_reply


@pytest.fixture(autouse=True)
def clean_messaging():
    """No handler before a test; after it, no handler, no waiter and no callable is left."""
    pw.messaging.set_send_handler(None)
    yield
    pw.messaging.set_send_handler(None)
    pw.messaging.reset()


@pytest.fixture
def send_handler():
    """install(handler) installs a send handler for this test; it is removed afterwards."""
    def install(handler):
        pw.messaging.set_send_handler(handler)
        return handler
    yield install
    pw.messaging.set_send_handler(None)


@pytest.fixture
def recorder(send_handler):
    """A send handler that keeps every envelope and answers none; the list is returned."""
    sent = []
    send_handler(sent.append)
    return sent


class FakeAddIn:
    """The add-in behind the kernel: the send handler queues each envelope, and a listener
    thread answers it with answer(env) through messaging.on_message (None: no answer)."""

    _STOP = object()

    def __init__(self, answer):
        self.answer = answer
        self.envelopes = []
        self.errors = []
        self._queue = queue.Queue()
        self.thread = threading.Thread(target=self._listen, name="fake-addin", daemon=True)

    def send(self, env):
        self.envelopes.append(env)
        self._queue.put(env)

    def _listen(self):
        while True:
            env = self._queue.get()
            if env is self._STOP:
                return
            try:
                response = self.answer(env)
                if response is not None:
                    pw.messaging.on_message(response)
            except BaseException as exc:  # a listener that dies would hang the workers
                self.errors.append(exc)

    def start(self):
        pw.messaging.set_send_handler(self.send)
        self.thread.start()
        return self

    def stop(self):
        self._queue.put(self._STOP)
        self.thread.join(timeout=10)
        assert not self.thread.is_alive(), "fake add-in listener did not stop"


@pytest.fixture
def addin():
    """addin(answer=reply) starts a fake add-in whose listener answers with answer(env)."""
    started = []

    def start(answer=make_reply):
        fake = FakeAddIn(answer).start()
        started.append(fake)
        return fake

    yield start
    for fake in started:
        fake.stop()
    pw.messaging.set_send_handler(None)
    for fake in started:
        assert fake.errors == [], f"listener failed: {fake.errors!r}"


@pytest.fixture
def isolated():
    """isolated(code, timeout=60) runs code in a fresh interpreter from the repository root,
    so a hang or a crash fails the test instead of the run; returns its stdout."""
    def run(code, timeout=60):
        env = dict(os.environ, PYTHONPATH=ROOT)
        try:
            proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=ROOT,
                                  env=env, capture_output=True, text=True, timeout=timeout)
        except subprocess.TimeoutExpired as exc:
            pytest.fail(f"isolated run hung for {timeout} s\n{exc.stdout}\n{exc.stderr}")
        assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
        return proc.stdout
    return run
