"""Fixtures for every proxwire test: a clean messaging state, send handlers, a fake add-in
answering on its own listener thread, and isolated runs for deadlock-prone cases."""
import subprocess
import textwrap

import pytest

import support
from fake_addin import FakeAddin
from quorvel_master.python_server.quorvel import proxwire as pw


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


@pytest.fixture
def addin():
    """addin(answer=reply) starts a fake add-in whose listener answers with answer(env)."""
    started = []

    def start(answer=make_reply):
        # answer(env) gives whole responses: their "requestId" is the one delivered.
        fake = FakeAddin(answer)
        pw.messaging.set_send_handler(fake.handler)
        started.append(fake)
        return fake

    yield start
    for fake in started:
        fake.stop(timeout=10)
        assert not fake.thread.is_alive(), "fake add-in listener did not stop"
    pw.messaging.set_send_handler(None)
    for fake in started:
        assert fake.listener_errors == [], f"listener failed: {fake.listener_errors!r}"


@pytest.fixture
def isolated():
    """isolated(code, timeout=60) runs code in a fresh interpreter from the repository root,
    so a hang or a crash fails the test instead of the run; returns its stdout."""
    def run(code, timeout=60):
        try:
            proc = support.run_python(textwrap.dedent(code), timeout)
        except subprocess.TimeoutExpired as exc:
            pytest.fail(f"isolated run hung for {timeout} s\n{exc.stdout}\n{exc.stderr}")
        assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
        return proc.stdout
    return run
