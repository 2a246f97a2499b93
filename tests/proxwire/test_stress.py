"""Thread stress of the bridge's messaging: many workers against a listener that answers out
of order, twice, late or never, and resets while they wait. Each case runs in a child
interpreter with a time limit, so a hang fails the test instead of blocking the suite."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

from quorvel_master.python_server.quorvel import proxwire

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WORKERS = 16
LIMIT = 120  # seconds a child may take before the case counts as hung

# The fake add-in: the send handler queues each envelope, a listener thread answers them in
# batches through `answer`, and the workers' outcomes are collected by `run_workers`.
PRELUDE = '''
import collections, concurrent.futures, gc, json, random, sys, threading, time
from quorvel_master.python_server.quorvel import proxwire

messaging = proxwire.messaging
rng = random.Random(WORKERS * 7919)
# A channel without locks: the listener polls it. A queue.Queue would deadlock when a
# collection on the listener finalises a proxy inside the queue's own lock (see the
# channel-lock case below).
inbox = collections.deque()
stop = threading.Event()
messaging.set_send_handler(inbox.append)


def reply(env, **extra):
    messaging.on_message({"requestId": env["requestId"], "ok": True, "echo": env.get("name"),
                          **extra})


def listener(answer):
    """Drains the inbox in batches and hands each batch to answer() until stopped."""
    def loop():
        while not stop.is_set() or inbox:
            batch = []
            try:
                while len(batch) < 64:
                    batch.append(inbox.popleft())
            except IndexError:
                if not batch:
                    time.sleep(0.0005)
            answer(batch)
    thread = threading.Thread(target=loop, name="listener")
    thread.start()
    return thread


def run_workers(work, count=WORKERS):
    """Runs work(index, outcomes) on `count` threads; returns the outcome counts."""
    outcomes = {}
    lock = threading.Lock()

    def count_outcome(kind):
        with lock:
            outcomes[kind] = outcomes.get(kind, 0) + 1

    threads = [threading.Thread(target=work, args=(i, count_outcome)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return outcomes


def request(name, timeout, count_outcome):
    """One request whose answer must echo its own name."""
    try:
        response = messaging.send_request_sync({"method": "GET", "name": name}, timeout=timeout)
    except TimeoutError:
        count_outcome("timeout")
    except concurrent.futures.CancelledError:
        count_outcome("cancelled")
    else:
        assert response["echo"] == name, (name, response)
        count_outcome("answered")


def finish(thread, outcomes):
    stop.set()
    thread.join()
    assert messaging.waiters == {}, messaging.waiters
    print(json.dumps(outcomes))
'''


def run_case(body, limit=LIMIT):
    code = "WORKERS = %d\n" % WORKERS + PRELUDE + textwrap.dedent(body)
    env = dict(os.environ, PYTHONPATH=ROOT)
    try:
        done = subprocess.run([sys.executable, "-c", code], cwd=ROOT, env=env,
                              capture_output=True, text=True, timeout=limit)
    except subprocess.TimeoutExpired as e:
        pytest.fail(f"hung for {limit} s; output so far:\n{e.stdout}\n{e.stderr}")
    assert done.returncode == 0, done.stdout + done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


def test_answers_out_of_order_duplicated_and_late():
    outcomes = run_case('''
        held = []  # answers kept back until their requests have timed out

        def answer(batch):
            rng.shuffle(batch)
            for env in batch:
                if env["name"].endswith("late"):
                    held.append((time.monotonic() + 0.05, env))
                    continue
                reply(env)
                if rng.random() < 0.3:
                    reply(env, duplicate=True)
            now = time.monotonic()
            for due, env in [h for h in held if h[0] <= now]:
                held.remove((due, env))
                reply(env)
                reply(env)

        thread = listener(answer)

        def work(i, count_outcome):
            for n in range(60):
                late = n % 5 == 0
                name = f"w{i}-{n}-" + ("late" if late else "now")
                request(name, 0.01 if late else 30, count_outcome)

        outcomes = run_workers(work)
        finish(thread, outcomes)
    ''')
    assert sum(outcomes.values()) == WORKERS * 60
    assert outcomes["answered"] >= WORKERS * 48
    assert outcomes.get("timeout", 0) > 0


def test_millisecond_timeouts():
    outcomes = run_case('''
        def answer(batch):
            for env in batch:
                if rng.random() < 0.5:
                    time.sleep(0.0005)
                reply(env)

        thread = listener(answer)

        def work(i, count_outcome):
            for n in range(100):
                request(f"w{i}-{n}", 0.001, count_outcome)

        outcomes = run_workers(work, WORKERS * 2)
        finish(thread, outcomes)
    ''')
    assert sum(outcomes.values()) == WORKERS * 2 * 100
    assert set(outcomes) <= {"answered", "timeout"}


def test_reset_from_the_listener_while_workers_wait():
    outcomes = run_case('''
        resets = 0

        def answer(batch):
            global resets
            if batch and rng.random() < 0.2:
                messaging.reset()
                resets += 1
                # Answers after the reset belong to no pending request.
                for env in batch:
                    reply(env)
                return
            for env in batch:
                reply(env)

        thread = listener(answer)

        def work(i, count_outcome):
            for n in range(80):
                request(f"w{i}-{n}", 30, count_outcome)

        outcomes = run_workers(work)
        finish(thread, outcomes)
        # The bridge keeps working after the resets.
        messaging.set_send_handler(lambda env: reply(env))
        assert messaging.send_request_sync({"name": "after"})["echo"] == "after"
        assert resets > 0
    ''')
    assert sum(outcomes.values()) == WORKERS * 80
    assert set(outcomes) <= {"answered", "cancelled"}
    assert outcomes.get("cancelled", 0) > 0


def test_handlers_answering_before_they_return():
    # Some answers arrive on the worker's own thread, inside the send handler, while the
    # listener answers the rest; both kinds must reach the right worker.
    outcomes = run_case('''
        def send(env):
            if rng.random() < 0.5:
                reply(env)
            else:
                inbox.append(env)

        messaging.set_send_handler(send)

        def answer(batch):
            rng.shuffle(batch)
            for env in batch:
                reply(env)

        thread = listener(answer)

        def work(i, count_outcome):
            for n in range(80):
                request(f"w{i}-{n}", 30, count_outcome)

        outcomes = run_workers(work)
        finish(thread, outcomes)
    ''')
    assert outcomes == {"answered": WORKERS * 80}


@pytest.mark.skipif(not all(hasattr(proxwire, n) for n in ("OfficeJsObject", "Excel", "Serializer")),
                    reason="not built yet: OfficeJsObject, Excel, Serializer")
def test_proxy_cycles_dropped_on_the_listener_thread():
    outcomes = run_case('''
        gc.set_threshold(1)
        made = [0]
        dels = [0]

        def answer(batch):
            for env in batch:
                if env.get("method") == "DEL":
                    dels[0] += 1
                    reply(env)
                    continue
                # Proxies in cycles die here, on the listener, whenever a collection runs.
                for k in range(3):
                    cycle = [proxwire.OfficeJsObject(1000 + k, "Range")]
                    cycle.append(cycle)
                    made[0] += 1
                messaging.on_message({"requestId": env["requestId"], "ok": True,
                                      "result": {"type": "Range", "value": 7, "isSpec": True}})

        thread = listener(answer)

        def work(i, count_outcome):
            for n in range(40):
                try:
                    got = proxwire.Excel.activeRange
                except TimeoutError:
                    count_outcome("timeout")
                    continue
                assert got._internal_id == 7 and got._internal_typeName == "Range"
                count_outcome("answered")
                pair = [got, {"self": None}]
                pair[1]["self"] = pair
                made[0] += 1

        outcomes = run_workers(work)
        gc.collect()
        proxwire.Excel.activeRange  # releases from the collections go out before this request
        time.sleep(0.2)
        finish(thread, outcomes)
        assert dels[0] >= made[0] * 0.9, (dels[0], made[0])
    ''')
    assert outcomes == {"answered": WORKERS * 40}


@pytest.mark.skipif(not hasattr(proxwire, "OfficeJsObject"), reason="not built yet: OfficeJsObject")
def test_collection_while_the_kernel_holds_its_channel_lock():
    # A collection can start at any allocation, also inside the kernel's own send or receive
    # code while it holds the lock its send handler takes; a release sent from there at once
    # would wait for that lock forever.
    outcomes = run_case('''
        lock = threading.Lock()
        sent = []

        def send(env):
            with lock:
                sent.append(env["method"])
            if env["method"] != "DEL":
                reply(env)

        messaging.set_send_handler(send)
        cycle = [proxwire.OfficeJsObject(50, "Range")]
        cycle.append(cycle)
        del cycle
        with lock:
            gc.collect()
        messaging.send_request_sync({"method": "GET", "name": "x"})
        deadline = time.monotonic() + 5
        while "DEL" not in sent and time.monotonic() < deadline:
            time.sleep(0.002)
        print(json.dumps({"DEL": sent.count("DEL"), "GET": sent.count("GET")}))
    ''', limit=8)
    assert outcomes == {"DEL": 1, "GET": 1}


@pytest.mark.skipif(not hasattr(proxwire, "OfficeJsObject"), reason="not built yet: OfficeJsObject")
def test_proxies_dropped_while_the_kernel_holds_its_channel_lock():
    # Outside any collection: the kernel keeps the arguments of the callbacks it ran in a dict
    # and clears it under the lock its send handler takes, finalising proxies right there.
    outcomes = run_case('''
        lock = threading.Lock()
        callback_args = {}
        ids = iter(range(1000, 10**6))
        released = []

        def send(env):
            with lock:
                if env["method"] == "DEL":
                    released.append(env["caller"])
                else:
                    inbox.append(env)

        def answer(batch):
            for env in batch:
                with lock:
                    callback_args.clear()
                reply(env, result={"type": "Range", "value": next(ids), "isSpec": True})

        messaging.set_send_handler(send)
        thread = listener(answer)

        def work(i, count_outcome):
            for n in range(40):
                response = messaging.send_request_sync({"method": "GET", "name": "x"}, timeout=10)
                proxy = proxwire.Serializer.from_wire(response["result"])
                with lock:
                    callback_args[(i, n)] = proxy
                del proxy
                count_outcome("answered")

        outcomes = run_workers(work, count=8)
        stop.set()
        thread.join()
        with lock:
            callback_args.clear()
        deadline = time.monotonic() + 10
        while len(released) < 8 * 40 and time.monotonic() < deadline:
            time.sleep(0.002)
        outcomes["released"] = len(set(released))
        print(json.dumps(outcomes))
    ''', limit=60)
    assert outcomes == {"answered": 8 * 40, "released": 8 * 40}  # no worker stuck
