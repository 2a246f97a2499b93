"""Interpreter exit while daemon threads are inside messaging (blocked in requests, timing
out in loops, reading through proxies, waiting for a messaging lock) or inside the serializer,
converting each kind of value. Each case runs in fresh interpreters, many times, and every run
must exit cleanly. PROXWIRE_EXIT_RUNS sets the runs of each conversion case (1000 for the
figure the serializer is held to)."""
import os
import textwrap

import pytest

import support

# The sanitizer runtime misreads the stack of a thread parked mid-unwind (a false
# stack-buffer-underflow in its own sigaltstack handling), so these run in the plain build only.
pytestmark = pytest.mark.no_asan

RUNS = 8

PRELUDE = """
import itertools, queue, random, threading, time
from quorvel_master.python_server.quorvel import proxwire as pw
m = pw.messaging

def daemon(target, *args):
    threading.Thread(target=target, args=args, daemon=True).start()

def answer_on_listeners(answer, listeners=2):
    # The kernel's side: envelopes queued by the send handler, answered on daemon threads.
    pending = queue.Queue()
    m.set_send_handler(pending.put)
    def listen():
        while True:
            env = pending.get()
            response = answer(env)
            if response is not None:
                m.on_message({"requestId": env["requestId"], **response})
    for _ in range(listeners):
        daemon(listen)

def request_with_timeouts():
    # Nobody answers: every request times out at once, over and over.
    while True:
        try:
            m.send_request_sync({"method": "GET", "name": "x", "caller": 1}, timeout=0.001)
        except TimeoutError:
            pass
"""

# Each script ends while its threads are busy; the interpreter then finalises under them.
CASES = {
    "blocked_in_requests": """
        answer_on_listeners(lambda env: {"ok": True, "result": None})
        def work():
            while True:
                m.send_request_sync({"method": "GET", "name": "x", "caller": 1})
        for _ in range(6):
            daemon(work)
        time.sleep(0.1 + random.random() * 0.1)
    """,
    "request_loops_with_timeouts": """
        m.set_send_handler(lambda env: None)
        for _ in range(8):
            daemon(request_with_timeouts)
        time.sleep(0.1 + random.random() * 0.1)
    """,
    "proxies": """
        ids = itertools.count(100)
        def answer(env):
            if env["method"] == "DEL":
                return None
            if random.random() < 0.2:
                return {"ok": False, "error": {"message": "no such item"}}
            return {"ok": True, "result": {"type": "Range", "value": next(ids), "isSpec": True}}
        answer_on_listeners(answer)
        def work():
            while True:
                try:
                    pw.Excel.workbook.worksheets.getItem("Sheet1").name
                except Exception:
                    pass
        for _ in range(4):
            daemon(work)
        time.sleep(0.1 + random.random() * 0.1)
    """,
    "waiting_for_messaging_locks": """
        m.set_send_handler(lambda env: None)
        def hold(lock):
            while True:
                with lock:
                    time.sleep(0.002)
        def register():
            while True:
                m.unregister_callable(m.register_callable(print))
        daemon(hold, m._waiters_lock)
        daemon(hold, m._callable_lock)
        for target in (request_with_timeouts,) * 3 + (register, register):
            daemon(target)
        time.sleep(0.1 + random.random() * 0.1)
        # Every worker queues up behind the main thread, which lets them go as it exits.
        m._waiters_lock.acquire()
        time.sleep(0.05)
        m._waiters_lock.release()
    """,
}


@pytest.mark.parametrize("case", list(CASES))
def test_exit_with_daemon_threads_inside_messaging(case):
    failures = support.run_repeatedly(PRELUDE + textwrap.dedent(CASES[case]), RUNS, timeout=60)
    assert not failures, f"{len(failures)} of {RUNS} runs failed; first:\n{failures[0]}"


CONVERSION_RUNS = int(os.environ.get("PROXWIRE_EXIT_RUNS", "30"))

# Workers convert one kind of value each, over and over, while the main thread exits.
CONVERSIONS = """
import base64, datetime as dt, random, threading, time
import numpy as np, pandas as pd
from quorvel_master.python_server.quorvel import proxwire as pw
S = pw.Serializer

class Shown:
    # Python code inside every conversion, where the GIL changes hands.
    def __str__(self):
        return "shown " + str(sum(range(20)))

def loop(convert, value):
    def run():
        while True:
            try:
                convert(value)
            except Exception:
                pass
    threading.Thread(target=run, daemon=True).start()

def wires(*values):
    return [S.to_wire(v) for v in values]

KINDS = {
    "from_bytes": (S.from_wire, {"type": "Array", "id": 9, "isSpec": False,
                                 "value": wires(*[bytes(range(i % 256)) for i in range(200)])}),
    "from_nested": (S.from_wire, {"type": "Array", "id": 9, "isSpec": False, "value": wires(
        *[{"k": [i, "t", 1.5, None, True]} for i in range(100)],
        dt.datetime(2024, 1, 2, 3, 4, 5), {"type": "Range", "value": 7, "isSpec": True})}),
    "to_frame": (S.to_wire, pd.DataFrame({"a": np.arange(300.0), "b": ["x"] * 300,
                                          "c": pd.date_range("2024-01-01", periods=300)})),
    "to_ndarray": (S.to_wire, [np.arange(600.0).reshape(30, 20),
                               np.array([Shown() for _ in range(50)], dtype=object),
                               np.arange(100).view("M8[ps]"), pd.Categorical(["a", None] * 50)]),
    "to_others": (S.to_wire, {"shown": [Shown()] * 50, "dates": [np.datetime64(2**62, "s"),
                  pd.Timestamp("2024-01-01", tz="UTC")] * 20, "bytes": [b"ab" * 100] * 20,
                  "callables": [print] * 5, "missing": [pd.NA, np.nan] * 20}),
    # The argument loop of a call, answered inside the send call.
    "call_arguments": (lambda args: pw.GetSetting(*args), [Shown()] * 40 + [np.ones((5, 5))]),
}
pw.messaging.set_send_handler(
    lambda env: pw.messaging.on_message({"requestId": env["requestId"], "ok": True}))
"""


@pytest.mark.parametrize("kinds", ["from_bytes", "from_nested", "to_frame", "to_ndarray",
                                   "to_others", "call_arguments", "all"])
def test_exit_with_daemon_threads_converting(kinds):
    chosen = "list(KINDS)" if kinds == "all" else repr([kinds])
    script = textwrap.dedent(CONVERSIONS) + textwrap.dedent(f"""
        for kind in {chosen}:
            for _ in range(2 if {chosen!r} == "list(KINDS)" else 4):
                loop(*KINDS[kind])
        time.sleep(0.05 + random.random() * 0.15)
    """)
    failures = support.run_repeatedly(script, CONVERSION_RUNS, timeout=60)
    assert not failures, (f"{len(failures)} of {CONVERSION_RUNS} runs failed; "
                          f"first:\n{failures[0]}")
