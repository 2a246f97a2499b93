"""Shared fixtures of the language-service tests: the module, a bridge that is cleaned up
after each test, its log records, and a runner for cases that need a fresh interpreter."""

import logging
import textwrap
import threading

import pytest

import support
from quorvel_master.python_server import sensewell as _sensewell

LOGGER_NAME = "quorvel_master.python_server.sensewell"
WARMUP_THREAD = "LSP-quorvel-preload"


@pytest.fixture
def sensewell():
    return _sensewell


def wait_for_warmup(timeout=60):
    """Join every running warm-up thread, so its jedi run and log lines are over."""
    for thread in threading.enumerate():
        if thread.name == WARMUP_THREAD:
            thread.join(timeout)
            assert not thread.is_alive(), "warm-up thread did not finish"


@pytest.fixture
def warmup_done():
    """The function that waits for running warm-up threads (see wait_for_warmup)."""
    return wait_for_warmup


@pytest.fixture
def make_bridge():
    """Factory of LSPBridges; each is cleaned up after the test, once warm-ups are over
    (so that no warm-up runs jedi into the next test)."""
    made = []

    def make():
        made.append(_sensewell.LSPBridge())
        return made[-1]

    yield make
    wait_for_warmup()
    for b in made:
        b.cleanup()


@pytest.fixture
def bridge(make_bridge):
    """A fresh LSPBridge whose warm-up is allowed to run; cleaned up after the test."""
    return make_bridge()


@pytest.fixture
def quiet_bridge(monkeypatch):
    """A fresh LSPBridge that starts no warm-up thread; cleaned up after the test."""
    monkeypatch.setattr(_sensewell.LSPBridge, "preload_quorvel_module_async", lambda self: None)
    b = _sensewell.LSPBridge()
    yield b
    b.cleanup()


class LspLog:
    """The records of the sensewell logger that caplog captured, as (level, msg, args)."""

    def __init__(self, caplog):
        self.caplog = caplog

    def records(self, level=None, warmup=False):
        """Records of the sensewell logger; those of warm-up threads only if warmup is set."""
        return [
            r
            for r in self.caplog.records
            if r.name == LOGGER_NAME
            and (warmup or r.threadName != WARMUP_THREAD)
            and (level is None or r.levelno == level)
        ]

    def entries(self, level=None, warmup=False):
        return [(r.levelno, r.msg, r.args) for r in self.records(level, warmup)]

    def messages(self, level=None, warmup=False):
        return [r.getMessage() for r in self.records(level, warmup)]

    def clear(self):
        self.caplog.clear()


@pytest.fixture
def lsp_log(caplog):
    """Captures everything the sensewell logger emits, debug included."""
    caplog.set_level(logging.DEBUG, logger=LOGGER_NAME)
    return LspLog(caplog)


def run_isolated(code, timeout=60):
    """Run code in a fresh interpreter (for import-time behaviour and cases that could hang);
    returns the completed process with stdout and stderr as text."""
    return support.run_python(textwrap.dedent(code), timeout)


@pytest.fixture
def isolated():
    """The runner of code in a fresh interpreter (see run_isolated)."""
    return run_isolated
