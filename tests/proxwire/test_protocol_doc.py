"""Every example of docs/protocol.md replayed against the module: the conversions both ways,
and each exchange as a script of the requests the add-in receives and the responses it sends."""

import datetime as dt
import json
import os
import queue
import re
import threading

import numpy as np
import pandas as pd
import pytest

import support
from quorvel_master.python_server.quorvel import proxwire as pw

DOC = os.path.join(support.ROOT, "docs", "protocol.md")
BLOCK = re.compile(r"^```(\w+)([^\n]*)\n(.*?)^```$", re.M | re.S)
# The connection identity the examples were written under: it names their callable IDs.
DOC_GUID = "5e1f0c2a" + "0" * 24


def blocks():
    """(language, {attribute: value}, flags, text) of every fenced block, in order."""
    with open(DOC, encoding="utf-8") as f:
        text = f.read()
    found = []
    for lang, info, body in BLOCK.findall(text):
        words = info.split()
        attrs = dict(w.split("=", 1) for w in words if "=" in w)
        found.append((lang, attrs, [w for w in words if "=" not in w], body))
    return found


def examples(kind):
    """name -> the blocks of that name, for one kind of example."""
    named = {}
    for lang, attrs, flags, body in blocks():
        if kind in attrs:
            named.setdefault(attrs[kind], []).append((lang, flags, body))
    return named


@pytest.fixture
def doc_context():
    """The messaging context the examples assume, and the names their Python code uses."""
    pw.messaging.reset()
    pw.messaging._guid = DOC_GUID
    # As after import: a reset re-stamps only Context and Excel.
    for root in (pw.Context, pw.Excel, pw.GetSetting, pw.Union, pw.Intersect):
        root._msg_guid = DOC_GUID
    names = {name: getattr(pw, name) for name in (
        "Context", "Excel", "GetSetting", "Union", "Intersect", "OfficeJsObject",
        "OfficeJsTransaction", "Serializer", "messaging")}
    names.update(np=np, pd=pd, dt=dt, rng=pw.OfficeJsObject(100, "Range"))
    yield names
    names.clear()


def test_every_block_is_an_example():
    kinds = ("exchange", "to-wire", "from-wire", "invoke")
    untested = [body[:60] for lang, attrs, flags, body in blocks()
                if not any(k in attrs for k in kinds) and lang != ""]
    assert untested == []
    for lang, attrs, flags, body in blocks():
        if lang == "json":
            json.loads(body)


@pytest.mark.parametrize("name", examples("to-wire"))
def test_to_wire(name, doc_context):
    (_, _, python), (_, _, wire) = examples("to-wire")[name]
    assert pw.Serializer.to_wire(eval(python, doc_context)) == json.loads(wire)


def same_value(got, expected):
    if isinstance(expected, pw.OfficeJsObject):
        return type(got) is pw.OfficeJsObject and repr(got) == repr(expected)
    if isinstance(expected, list):
        return (type(got) is pw.OfficeJsArray and len(got) == len(expected)
                and all(map(same_value, got, expected)))
    if isinstance(expected, dict):
        return (type(got) is pw.OfficeJsDict and list(got) == list(expected)
                and all(same_value(got[k], v) for k, v in expected.items()))
    return type(got) is type(expected) and got == expected


@pytest.mark.parametrize("name", examples("from-wire"))
def test_from_wire(name, doc_context):
    (_, _, wire), (_, _, python) = examples("from-wire")[name]
    wire = json.loads(wire)
    got = pw.Serializer.from_wire(wire)
    assert same_value(got, eval(python, doc_context)), got
    assert got._internal_id == wire["id"]


class ScriptedAddin:
    """Answers requests as the doc's script says, on its own listener thread; checks each
    request against the script, and tells of any that differs with an error response."""

    def __init__(self, script):
        self.script = list(script)
        self.problems = []
        self.done = threading.Event()
        self._inbox = queue.Queue()
        self._thread = threading.Thread(target=self._listen, daemon=True)
        self._thread.start()
        if not self.script:
            self.done.set()

    def send(self, env):
        self._inbox.put(env)

    def stop(self):
        self._inbox.put(None)
        self._thread.join(10)

    def _listen(self):
        while (env := self._inbox.get()) is not None:
            expected = self.script[0][1] if self.script else None
            # Releases of the examples' passing objects come whenever Python drops them, also
            # while the script waits for the release of another object.
            if env.get("method") == "DEL" and (
                expected is None
                or expected["method"] != "DEL"
                or env.get("caller") != expected.get("caller")
            ):
                continue
            if expected is None:
                self._refuse(env, f"unexpected request {env}")
                continue
            self.script.pop(0)
            if not re.fullmatch(r"[0-9a-f]{32}", env["requestId"]):
                self.problems.append(f"request ID {env['requestId']!r}")
            want = {**expected, "requestId": env["requestId"]}
            if list(env.items()) != list(want.items()):
                self._refuse(env, f"got {env}, the doc shows {expected}")
                continue
            if self.script and self.script[0][0] == "response":
                response = self.script.pop(0)[1]
                pw.messaging.on_message({**response, "requestId": env["requestId"]})
            if not self.script:
                self.done.set()

    def _refuse(self, env, problem):
        self.problems.append(problem)
        pw.messaging.on_message(
            {"requestId": env["requestId"], "ok": False, "error": {"message": problem}})


def run_worker(code, names):
    """Runs the example's Python code on a worker thread, as user code runs."""
    failure = []

    def work():
        try:
            exec(code, names)
        except BaseException as e:  # noqa: B902 - handed to the test
            failure.append(e)

    worker = threading.Thread(target=work)
    worker.start()
    worker.join(60)
    assert not worker.is_alive(), "the example's code hung"
    if failure:
        raise failure[0]


@pytest.mark.parametrize("name", examples("exchange"))
def test_exchange(name, doc_context):
    parts = examples("exchange")[name]
    code = "".join(body for lang, _, body in parts if lang == "python")
    script = [(flags[0], json.loads(body)) for lang, flags, body in parts if lang == "json"]
    addin = ScriptedAddin(script)
    pw.messaging.set_send_handler(addin.send)
    try:
        run_worker(code, doc_context)
        assert addin.done.wait(10), f"never sent: {addin.script}"
        assert addin.problems == []
    finally:
        pw.messaging.set_send_handler(None)
        addin.stop()
    invoke = examples("invoke").get(name)
    if invoke:
        (_, _, message), (_, _, result) = invoke
        message, result = json.loads(message), json.loads(result)
        fn = pw.messaging.get_callable(message["callableId"])
        args = [pw.Serializer.from_wire(w) for w in message["args"]]
        assert {"kind": "invokeResult", "callId": message["callId"], "ok": True,
                "result": pw.Serializer.to_wire(fn(*args))} == result
