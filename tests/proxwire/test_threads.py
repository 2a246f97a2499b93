"""Messaging across threads: many workers against one listener, reset while workers wait.
Each case runs in its own interpreter, so a deadlock fails the test instead of the run."""
import pytest

pytestmark = pytest.mark.timeout(120)

PRELUDE = """
import concurrent.futures, queue, random, threading, sys
from quorvel_master.python_server.quorvel import proxwire as pw
m = pw.messaging
"""


def test_many_workers_against_a_listener_answering_in_random_order(isolated):
    out = isolated(PRELUDE + """
WORKERS, REQUESTS = 32, 200
inbox = queue.Queue()
m.set_send_handler(inbox.put)

def listener():
    rng = random.Random(7)
    pending = []
    answered = 0
    while answered < WORKERS * REQUESTS:
        try:
            pending.append(inbox.get(timeout=0.01 if pending else 30))
        except queue.Empty:
            pass
        # Answer a random pick of what has arrived, in random order.
        while pending and (rng.random() < 0.6 or inbox.empty()):
            env = pending.pop(rng.randrange(len(pending)))
            m.on_message({"requestId": env["requestId"], "ok": True,
                          "result": (env["worker"], env["seq"])})
            answered += 1
            if rng.random() < 0.05:  # a duplicate now and then must be ignored
                m.on_message({"requestId": env["requestId"], "ok": True, "result": "dup"})

results = [[] for _ in range(WORKERS)]
failures = []

def worker(w):
    try:
        for seq in range(REQUESTS):
            resp = m.send_request_sync({"worker": w, "seq": seq}, timeout=60)
            results[w].append(resp["result"])
    except BaseException as exc:
        failures.append(repr(exc))

lt = threading.Thread(target=listener, daemon=True)
lt.start()
threads = [threading.Thread(target=worker, args=(w,)) for w in range(WORKERS)]
for t in threads: t.start()
for t in threads: t.join()
lt.join(30)
assert failures == [], failures[:3]
for w, got in enumerate(results):
    assert got == [(w, seq) for seq in range(REQUESTS)], w
assert m.waiters == {}
print("ok", sum(map(len, results)))
""")
    assert out.split() == ["ok", str(32 * 200)]


def test_reset_from_the_listener_while_workers_wait(isolated):
    out = isolated(PRELUDE + """
WORKERS = 16
sent = queue.Queue()
m.set_send_handler(sent.put)
m.register_callable(print)
old_guid = m._guid
outcomes = queue.Queue()

def worker():
    try:
        m.send_request_sync({"method": "GET", "name": "x"}, timeout=60)
        outcomes.put("answered")
    except BaseException as exc:
        outcomes.put(type(exc))

threads = [threading.Thread(target=worker) for _ in range(WORKERS)]
for t in threads: t.start()
envs = [sent.get(timeout=30) for _ in range(WORKERS)]

def listener():
    m.reset()
    # Answers that arrive after the reset belong to no one.
    for env in envs:
        m.on_message({"requestId": env["requestId"], "ok": True})

lt = threading.Thread(target=listener)
lt.start(); lt.join(30)
for t in threads: t.join(30)
got = [outcomes.get(timeout=1) for _ in range(WORKERS)]
assert got == [concurrent.futures.CancelledError] * WORKERS, got
assert m.waiters == {}
assert m._callable_registry == {} and m._next_callable_id == 1
assert m._guid != old_guid
new_id = m.register_callable(print)
assert new_id == "pyfunc_" + m._guid[:8] + "_1" and not new_id.startswith("pyfunc_" + old_guid[:8])
print("ok")
""")
    assert out.strip() == "ok"


def test_callables_registered_from_many_threads_get_distinct_ids(isolated):
    out = isolated(PRELUDE + """
ids = []
def register():
    for _ in range(500):
        ids.append(m.register_callable(len))
threads = [threading.Thread(target=register) for _ in range(8)]
for t in threads: t.start()
for t in threads: t.join()
assert len(set(ids)) == 4000 and m._next_callable_id == 4001
assert sorted(int(i.rsplit("_", 1)[1]) for i in ids) == list(range(1, 4001))
print("ok")
""")
    assert out.strip() == "ok"


def test_response_from_a_thread_that_waits_on_its_own_listener_times_out(isolated):
    # The kernel's mistake: a request made on the listener thread can only time out.
    out = isolated(PRELUDE + """
m.set_send_handler(lambda env: None)
m.on_message({"requestId": "warm-up", "ok": True})
try:
    m.send_request_sync({"method": "GET", "name": "x", "caller": 1}, timeout=0.05)
except TimeoutError as exc:
    print("never arrive" in exc.__notes__[0])
""")
    assert out.strip() == "True"
