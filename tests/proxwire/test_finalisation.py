"""Finalisation: a dropped proxy only records its release; the module's one sender thread hands
the releases to the send handler soon after, in order, outside every lock, never from a
finaliser or a collection and never at interpreter shutdown; failures stay silent."""
import gc
import os
import re
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from fake_addin import FakeAddin, ok, value, wait_for_releases, wait_until
from quorvel_master.python_server.quorvel import proxwire as pw

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
HERE = os.path.dirname(os.path.abspath(__file__))


def run_script(body, timeout=60):
    """Runs `body` in a fresh interpreter, so that a hang fails instead of blocking the suite."""
    script = textwrap.dedent("""
        import gc, sys, threading
        sys.path.insert(0, %r)
        from fake_addin import FakeAddin, ok, value, wait_for_releases, wait_until
        from quorvel_master.python_server.quorvel import proxwire as pw
    """ % HERE) + textwrap.dedent(body)
    env = dict(os.environ, PYTHONPATH=ROOT)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=timeout, env=env, cwd=ROOT)
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.fixture
def unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen


def dels(envelopes, *callers):
    return [e for e in envelopes if e.get("method") == "DEL" and e.get("caller") in callers]


def test_del_envelope_is_sent_without_registering(unraisable):
    seen = []

    def handler(env):
        seen.append((dict(env), len(pw.messaging.waiters)))

    pw.messaging.set_send_handler(handler)
    p = pw.OfficeJsObject(7001, "Range")
    del p
    wait_for_releases([s[0] for s in seen], 7001)
    (env, pending), = [s for s in seen if s[0]["caller"] == 7001]
    assert list(env) == ["method", "name", "caller", "requestId", "kind"]
    assert (env["method"], env["name"], env["kind"]) == ("DEL", "__del__", "request")
    assert re.fullmatch(r"[0-9a-f]{32}", env["requestId"])
    assert pending == 0 and pw.messaging.waiters == {}
    assert unraisable == []


def test_late_answer_to_del_is_dropped():
    addin = FakeAddin(lambda env: ok(value(None)))
    pw.messaging.set_send_handler(addin.handler)
    pw.OfficeJsObject(7002, "Range")
    wait_for_releases(addin.envelopes, 7002)
    pw.Excel.name  # answered after the DEL's own answer went through the listener
    addin.stop()
    assert len(dels(addin.envelopes, 7002)) == 1 and addin.listener_errors == []
    assert pw.messaging.waiters == {}


def test_stale_and_root_proxies_still_release():
    sent = []
    pw.messaging.set_send_handler(sent.append)
    p = pw.OfficeJsObject(7003, "Range")
    pw.messaging.reset()
    del p
    pw._cw__del__(pw.Union)
    assert [e["caller"] for e in wait_for_releases(sent, 7003, 3)] == [7003, 3]


def test_failures_are_silent(unraisable):
    pw.messaging.set_send_handler(None)
    pw.OfficeJsObject(7004, "Range")

    def broken(env):
        raise ConnectionError("closed")

    pw.messaging.set_send_handler(broken)
    pw.OfficeJsObject(7005, "Range")
    assert pw._cw__del__(pw.OfficeJsObject(7006, "Range")) is None
    assert pw._cw__del__(object()) is None  # no _internal_id: nothing to build
    half = pw.OfficeJsObject.__new__(pw.OfficeJsObject)
    del half
    with pytest.raises(TypeError):
        pw.OfficeJsObject(True, "Range")  # refused before any attribute was set
    gc.collect()
    assert unraisable == []


def test_only_a_true_handler_is_handed_a_del(unraisable):
    class Handler:
        def __init__(self, truth):
            self.truth, self.envelopes, self.asked = truth, [], threading.Event()

        def __bool__(self):
            self.asked.set()  # the sender asks just before it would hand a release over
            if isinstance(self.truth, Exception):
                raise self.truth
            return self.truth

        def __call__(self, env):
            self.envelopes.append(env)

    for truth in (False, LookupError("no truth"), True):
        handler = Handler(truth)
        pw.messaging.set_send_handler(handler)
        handler.asked.clear()
        pw.OfficeJsArray(7020)
        assert handler.asked.wait(5)
        if truth is True:
            wait_for_releases(handler.envelopes, 7020)
        assert len(dels(handler.envelopes, 7020)) == (truth is True)
    assert unraisable == []


def test_dels_inside_the_handler_go_out_after_it_in_order():
    held = [pw.OfficeJsObject(7011, "Range"), pw.OfficeJsObject(7012, "Range")]
    order, depth = [], threading.local()

    def handler(env):
        depth.now = getattr(depth, "now", 0) + 1
        order.append((env["method"], env["caller"], depth.now, threading.current_thread().name))
        if env["method"] == "GET":
            while held:
                held.pop(0)  # both proxies finalised while the handler runs
            pw.messaging.on_message({"requestId": env["requestId"], "ok": True,
                                     "result": value(env["name"])})
        depth.now -= 1

    pw.messaging.set_send_handler(handler)
    assert pw.Excel.first == "first"
    wait_until(lambda: len(order) == 3)
    assert [o[:3] for o in order] == [("GET", 1, 1), ("DEL", 7011, 1), ("DEL", 7012, 1)]
    assert {o[3] for o in order[1:]} == {"proxwire-releases"}  # never inside the handler


def test_finaliser_holding_the_waiters_lock_does_not_deadlock():
    out = run_script("""
        sent = []

        def handler(env):
            sent.append((env["method"], env["caller"]))
            if env["method"] != "DEL":
                pw.messaging.on_message({"requestId": env["requestId"], "ok": True})

        pw.messaging.set_send_handler(handler)
        with pw.messaging._waiters_lock:
            p = pw.OfficeJsObject(7021, "Range")
            del p
            cycle = [pw.OfficeJsObject(7022, "Range")]
            cycle.append(cycle)
            del cycle
            gc.collect()
        pw.messaging.send_request_sync({"method": "GET", "name": "x", "caller": 1})
        wait_until(lambda: len(sent) == 3)
        print([s for s in sent if s[0] == "DEL"], ("GET", 1) in sent)
    """)
    assert out.splitlines() == ["[('DEL', 7021), ('DEL', 7022)] True"]


def test_releases_from_a_collection_go_out_without_a_request():
    order, collecting = [], set()  # the threads inside a collection

    def track(phase, info):
        (collecting.add if phase == "start" else collecting.discard)(threading.get_ident())

    def handler(env):
        order.append((env["method"], env["caller"], threading.get_ident() in collecting,
                      threading.current_thread().name))

    gc.callbacks.append(track)
    try:
        pw.messaging.set_send_handler(handler)
        a, b = pw.OfficeJsObject(7051, "Range"), pw.OfficeJsObject(7052, "Range")
        a.__dict__["peer"], b.__dict__["peer"] = b, a
        del a, b
        gc.collect()
        cycle = [pw.OfficeJsObject(7053, "Range")]
        cycle.append(cycle)
        del cycle
        gc.collect()
        p = pw.OfficeJsObject(7054, "Range")
        del p
        wait_until(lambda: [o[1] for o in order if o[1] == 7054])
    finally:
        gc.callbacks.remove(track)
    mine = [o for o in order if o[1] in (7051, 7052, 7053, 7054)]
    assert sorted(o[1] for o in mine[:2]) == [7051, 7052]
    assert [o[1] for o in mine[2:]] == [7053, 7054]  # in the order they were dropped
    assert {o[3] for o in mine} == {"proxwire-releases"}
    assert not any(o[2] for o in mine)  # none inside a collection


def test_no_collection_hook_and_user_callbacks_change_nothing():
    out = run_script("""
        sent = []
        pw.messaging.set_send_handler(lambda env: sent.append(env["caller"]))
        ours = [cb for cb in gc.callbacks if getattr(cb, "__module__", None) == pw.__name__]

        def cycle(caller):
            c = [pw.OfficeJsObject(caller, "Range")]
            c.append(c)

        def meddle(phase, info):
            gc.callbacks.clear()  # mid-collection

        gc.callbacks.append(meddle)
        cycle(7061)
        gc.collect()
        gc.callbacks = None
        cycle(7062)
        gc.collect()
        p = pw.OfficeJsObject(7063, "Range")
        del p
        wait_until(lambda: len(sent) == 3)
        print(len(ours), sent)
    """)
    assert out.splitlines() == ["0 [7061, 7062, 7063]"]


def test_a_release_goes_out_with_no_later_request():
    arrived = threading.Event()
    sent = []

    def handler(env):
        sent.append(env)
        if env["caller"] == 7071:
            arrived.set()

    pw.messaging.set_send_handler(handler)
    p = pw.OfficeJsObject(7071, "Range")
    dropped = time.monotonic()
    del p
    assert arrived.wait(1.0), "the release did not arrive within a second"
    assert time.monotonic() - dropped < 1.0
    assert [e["method"] for e in sent if e["caller"] == 7071] == ["DEL"]


def test_releases_keep_their_order_across_threads_and_bursts():
    sent = []
    pw.messaging.set_send_handler(lambda env: sent.append(env["caller"]))
    ids = list(range(8000, 8600))

    def drop(chunk):
        for i in chunk:
            pw.OfficeJsObject(i, "Range")

    drop(ids[:200])  # a burst on this thread
    worker = threading.Thread(target=drop, args=(ids[200:400],))
    worker.start()
    worker.join()
    drop(ids[400:])
    wait_until(lambda: ids[-1] in sent)
    assert [c for c in sent if c in set(ids)] == ids


def test_proxy_dropped_on_listener_thread_does_not_stall_it():
    out = run_script("""
        addin = FakeAddin(lambda env: ok(value(env.get("name"))))
        pw.messaging.set_send_handler(addin.handler)
        held = [pw.OfficeJsObject(7031, "Range")]
        listener = []
        done, _ = addin.call_on_listener(
            lambda: listener.append(threading.current_thread().name) or held.clear())
        results = []
        worker = threading.Thread(target=lambda: results.extend(
            [pw.Excel.first, pw.Excel.second]))
        worker.start()
        worker.join()
        addin.stop()
        release = [e for e in addin.envelopes if e["method"] == "DEL" and e["caller"] == 7031]
        print(results, listener, len(release), addin.listener_errors, pw.messaging.waiters)
    """, timeout=20)  # a DEL waiting for its answer there would hold the listener for 30 s
    assert out.strip() == "['first', 'second'] ['fake-addin'] 1 [] {}"


def test_nothing_sent_at_interpreter_shutdown():
    out = run_script("""
        import os

        def handler(env):
            os.write(1, ("%s %s\\n" % (env["method"], env["caller"])).encode())

        pw.messaging.set_send_handler(handler)
        keep = pw.OfficeJsObject(7041, "Range")
        keep_array = pw.OfficeJsArray(7042)
        keep_transaction = pw.OfficeJsTransaction()
        print("exiting", flush=True)
    """)
    assert out.split("\n")[-2:] == ["exiting", ""]
