"""Hostile input at the bridge's edges: envelopes and responses of every wrong shape, huge,
NUL-laden, surrogate and 10 MB texts and ints, and nesting past the recursion limit. Each
ends in a clear Python error or the documented result, never a crash."""

import concurrent.futures
import sys
import textwrap

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from fake_addin import handling, needs
from quorvel_master.python_server.quorvel import proxwire

messaging = proxwire.messaging
BIG_TEXT = "x" * (10 * 1024 * 1024)
HUGE_INT = 2**200  # beyond any C integer
UNPRINTABLE_INT = 10**5000  # more digits than str() will write
ODD_TEXTS = ["", "\x00", "a\x00b", "\ud800", "\udcff\ud800x", BIG_TEXT]


def short(value):
    """A test id that stays short for 10 MB texts and huge ints."""
    try:
        text = ascii(value)
    except ValueError:  # an int too long to write
        return type(value).__name__
    return text if len(text) < 20 else f"{type(value).__name__}{len(text)}"


class Untruthful:
    """A value whose truth and text cannot be taken."""

    def __bool__(self):
        raise ValueError("no truth")

    def __str__(self):
        raise ValueError("no text")

    __repr__ = __str__


def assert_ignored(message):
    """on_message(message) returns None and leaves a request that waits meanwhile unresolved."""
    pending = concurrent.futures.Future()
    messaging.waiters["p" * 32] = pending
    try:
        assert messaging.on_message(message) is None
        assert messaging.waiters["p" * 32] is pending and not pending.done()
    finally:
        messaging.waiters.clear()


@pytest.fixture
def answering():
    """Installs a send handler that answers each request, before returning, with
    respond(envelope); yields the function that installs `respond`."""

    def install(respond):
        messaging.set_send_handler(lambda env: messaging.on_message(respond(env)))

    yield install
    messaging.set_send_handler(None)
    assert messaging.waiters == {}


# JSON-shaped values, as a kernel decodes them from the add-in's messages.
json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=8), inner,
                                                                 max_size=4),
    max_leaves=12,
)
wire_keys = st.sampled_from(["type", "value", "isSpec", "id", "requestId", "ok", "error",
                             "message", "result"])
json_dicts = st.dictionaries(wire_keys | st.text(max_size=4), json_values, max_size=6)


class TestEnvelopes:
    @pytest.mark.parametrize("message", [None, [], "requestId", 1, ({"requestId": "a"},)])
    def test_a_message_that_is_no_dict_is_refused(self, message):
        with pytest.raises(TypeError, match="Argument 'message' has incorrect type"):
            messaging.on_message(message)

    def test_a_dict_subclass_is_refused(self):
        class Message(dict):
            pass

        with pytest.raises(TypeError, match="expected dict, got Message"):
            messaging.on_message(Message(requestId="a"))

    @pytest.mark.parametrize("rid", [None, "", 0, False, [], {}, 0.0])
    def test_false_request_ids_are_ignored(self, rid):
        assert_ignored({"requestId": rid, "ok": True})

    @pytest.mark.parametrize("rid", [HUGE_INT, UNPRINTABLE_INT, -1, 1.5, float("nan"), b"id", (1, 2)]
                             + ODD_TEXTS[1:], ids=short)
    def test_unknown_request_ids_are_ignored(self, rid):
        assert messaging.on_message({"requestId": rid, "ok": True}) is None
        assert messaging.waiters == {}

    @pytest.mark.parametrize("rid", [[1], {"a": 1}, {1}, Untruthful()], ids=short)
    def test_request_ids_that_are_no_text_are_ignored(self, rid):
        assert_ignored({"requestId": rid, "ok": True})

    @settings(max_examples=150, deadline=None,
              suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(message=json_dicts)
    def test_any_json_message_is_ignored_or_resolves_its_request(self, message):
        rid = "r" * 32
        pending = concurrent.futures.Future()
        messaging.waiters[rid] = pending
        if "requestId" in message:
            message["requestId"] = rid if message["requestId"] else message["requestId"]
        try:
            messaging.on_message(message)
        except TypeError as e:  # an unhashable id
            assert "unhashable" in str(e)
            return
        finally:
            answered = messaging.waiters.pop(rid, None) is None
            messaging.waiters.clear()
        assert answered == pending.done()
        if answered:
            if message.get("ok"):
                assert pending.result() is message
            else:
                assert isinstance(pending.exception(), RuntimeError)


class TestResponses:
    @pytest.mark.parametrize(
        "error, text",
        [
            (None, "Remote error"),
            ({}, "Remote error"),
            ({"message": "bad \x00 \ud800"}, "bad \x00 \ud800"),
            ({"message": BIG_TEXT}, BIG_TEXT),
            ({"message": None}, None),
            ({"message": UNPRINTABLE_INT}, UNPRINTABLE_INT),
            ([], "Remote error"),
            (7, "Remote error"),
            ("plain text", "plain text"),
        ],
        ids=short,
    )
    def test_failed_responses_fail_their_request(self, answering, error, text):
        answering(lambda env: {"requestId": env["requestId"], "ok": False, "error": error})
        with pytest.raises(RuntimeError) as raised:
            messaging.send_request_sync({"method": "GET", "name": "x"})
        assert raised.value.args == (text,)

    @pytest.mark.parametrize("ok", [1, "yes", [0], UNPRINTABLE_INT, BIG_TEXT], ids=short)
    def test_any_true_ok_is_success(self, answering, ok):
        answering(lambda env: {"requestId": env["requestId"], "ok": ok, "result": None})
        assert messaging.send_request_sync({})["ok"] is ok

    def test_an_ok_without_truth_fails_the_request(self, answering):
        answering(lambda env: {"requestId": env["requestId"], "ok": Untruthful()})
        with pytest.raises(RuntimeError, match="Remote error"):
            messaging.send_request_sync({})

    def test_an_error_without_a_readable_message_fails_the_request(self, answering):
        class Error(dict):
            def get(self, *args):
                raise ValueError("unreadable")

        answering(lambda env: {"requestId": env["requestId"], "ok": False, "error": Error()})
        with pytest.raises(RuntimeError, match="Remote error"):
            messaging.send_request_sync({})

    def test_a_handler_without_truth_fails_the_request(self):
        with handling(Untruthful()), pytest.raises(ValueError, match="no truth"):
            messaging.send_request_sync({})
        assert messaging.waiters == {}


class TestRequests:
    @pytest.mark.parametrize("value", ODD_TEXTS + [HUGE_INT, UNPRINTABLE_INT], ids=short)
    def test_request_values_reach_the_handler_unchanged(self, answering, value):
        seen = []

        def respond(env):
            seen.append(env)
            return {"requestId": env["requestId"], "ok": True}

        answering(respond)
        messaging.send_request_sync({"method": value, "name": value, "caller": value})
        assert seen[0]["name"] is value and seen[0]["method"] is value
        assert seen[0]["caller"] is value

    @pytest.mark.parametrize(
        "req",
        [
            {"method": "\ud800", "name": "\udcff", "caller": UNPRINTABLE_INT},
            {"method": "a\x00b", "name": BIG_TEXT},
            {"method": Untruthful(), "name": Untruthful(), "caller": Untruthful()},
            {"kind": None},
        ],
        ids=["surrogates", "nul-and-10mb", "untextable", "bare"],
    )
    def test_timeouts_of_odd_requests_stay_timeouts(self, req):
        with handling(lambda env: None):
            with pytest.raises(TimeoutError, match="Timed out waiting for Office.js response"):
                messaging.send_request_sync(req, timeout=0)
        assert messaging.waiters == {}

    @pytest.mark.parametrize("timeout", ["1", None, [1], 1j])
    def test_timeouts_that_are_no_numbers_are_refused(self, timeout):
        with handling(lambda env: None), pytest.raises(TypeError):
            messaging.send_request_sync({}, timeout=timeout)
        assert messaging.waiters == {}

    @pytest.mark.parametrize("timeout", [float("nan"), -1.0, -HUGE_INT])
    def test_timeouts_that_are_never_positive_expire_at_once(self, timeout):
        with handling(lambda env: None), pytest.raises(TimeoutError):
            messaging.send_request_sync({}, timeout=timeout)

    @pytest.mark.parametrize("timeout", [float("inf"), 1e300, UNPRINTABLE_INT], ids=short)
    def test_timeouts_beyond_the_clock_raise_overflow(self, timeout):
        with handling(lambda env: None), pytest.raises(OverflowError):
            messaging.send_request_sync({}, timeout=timeout)
        assert messaging.waiters == {}


# Run in a fresh interpreter, so that a stack overflow fails one test only.
RECURSION_PRELUDE = '''
import sys
from quorvel_master.python_server.quorvel import proxwire
S = proxwire.Serializer
messaging = proxwire.messaging
messaging.set_send_handler(lambda env: None)  # finalised proxies send into the void

def expect_recursion_error(fn, arg):
    try:
        fn(arg)
    except RecursionError:
        return
    raise AssertionError("no RecursionError")
'''


@needs("Serializer", "OfficeJsArray", "OfficeJsDict")
class TestSerializerRecursion:
    def test_nesting_past_the_recursion_limit(self, isolated):
        isolated(RECURSION_PRELUDE + textwrap.dedent('''
        for depth in (sys.getrecursionlimit() + 10, 200_000):
            for make in (lambda v: [v], lambda v: (v,), lambda v: {"k": v}):
                value = None
                for _ in range(depth):
                    value = make(value)
                expect_recursion_error(S.to_wire, value)
            for tag in ("Array", "Dict"):
                wire = {"type": "Null"}
                for _ in range(depth):
                    wire = {"type": tag, "id": 9, "value": [wire] if tag == "Array" else {"k": wire}}
                expect_recursion_error(S.from_wire, wire)
        '''), timeout=120)

    def test_deep_answer_with_a_send_handler_in_a_fresh_process(self, isolated):
        # The arrays' releases are sent while the recursion unwinds, before anything else in
        # the process has raised an error.
        isolated(RECURSION_PRELUDE + textwrap.dedent('''
        proxwire.messaging.set_send_handler(lambda env: None)
        wire = {"type": "Float", "value": 1.0}
        for i in range(5000):
            wire = {"type": "Array", "id": 100 + i, "value": [wire]}
        expect_recursion_error(S.from_wire, wire)
        '''), timeout=120)

    def test_self_containing_values(self, isolated):
        isolated(RECURSION_PRELUDE + textwrap.dedent('''
        loop = []
        loop.append(loop)
        expect_recursion_error(S.to_wire, loop)
        table = {}
        table["self"] = table
        expect_recursion_error(S.to_wire, table)
        mixed = {"rows": [1, 2]}
        mixed["rows"].append((mixed,))
        expect_recursion_error(S.to_wire, mixed)
        wire = {"type": "Array", "id": 9}
        wire["value"] = [wire]
        expect_recursion_error(S.from_wire, wire)
        wire = {"type": "Dict", "id": 9}
        wire["value"] = {"me": wire}
        expect_recursion_error(S.from_wire, wire)
        '''), timeout=120)

    def test_nesting_within_the_limit_still_converts(self):
        value = None
        for _ in range(sys.getrecursionlimit() // 4):
            value = [value]
        wire = proxwire.Serializer.to_wire(value)
        node = wire
        while node["type"] == "Array":  # arrays come back from the add-in with their IDs
            node["id"] = 9
            node = node["value"][0]
        back = proxwire.Serializer.from_wire(wire)
        depth = 0
        while back:
            back, depth = back[0], depth + 1
        assert depth == sys.getrecursionlimit() // 4


@needs("Serializer", "OfficeJsArray", "OfficeJsDict", "OfficeJsObject")
class TestSerializerValues:
    @pytest.mark.parametrize("text", ODD_TEXTS, ids=short)
    def test_odd_texts_round_trip(self, text):
        wire = proxwire.Serializer.to_wire(text)
        assert wire == {"type": "String", "value": text, "isSpec": False}
        assert proxwire.Serializer.from_wire(wire) == text

    @pytest.mark.parametrize("number", [UNPRINTABLE_INT, -HUGE_INT, 2**63, -(2**63) - 1, 2**64], ids=short)
    def test_huge_ints_round_trip(self, number):
        wire = proxwire.Serializer.to_wire(number)
        assert wire == {"type": "Int", "value": number, "isSpec": False}
        assert proxwire.Serializer.from_wire(wire) == number

    def test_huge_float_payloads(self):
        with pytest.raises(OverflowError):
            proxwire.Serializer.from_wire({"type": "Float", "value": UNPRINTABLE_INT})
        assert proxwire.Serializer.from_wire({"type": "Float", "value": "1e999"}) == float("inf")

    def test_int_text_longer_than_the_interpreter_converts(self):
        with pytest.raises(ValueError):
            proxwire.Serializer.from_wire({"type": "Int", "value": "9" * 100_000})

    def test_broken_base64_is_a_value_error(self):
        with pytest.raises(ValueError):
            proxwire.Serializer.from_wire({"type": "Bytes", "value": "abc"})
        with pytest.raises(ValueError):
            proxwire.Serializer.from_wire({"type": "Bytes", "value": "\ud800"})

    @pytest.mark.parametrize("payload", ["\x00", "\ud800", BIG_TEXT, HUGE_INT, None, [1]], ids=short)
    def test_odd_dates_come_back_unchanged(self, payload):
        assert proxwire.Serializer.from_wire({"type": "Date", "value": payload}) is payload

    @pytest.mark.parametrize("type_name", ODD_TEXTS[1:], ids=short)
    def test_odd_type_names_make_proxies(self, answering, type_name):
        answering(lambda env: {"requestId": env["requestId"], "ok": True})
        proxy = proxwire.Serializer.from_wire(
            {"type": type_name, "value": HUGE_INT, "isSpec": True})
        assert proxy._internal_typeName is type_name and proxy._internal_id == HUGE_INT

    @pytest.mark.parametrize("element", [None, 1, "text", [], Untruthful()])
    def test_containers_of_non_dicts_are_refused(self, element):
        for wire in ({"type": "Array", "id": 9, "value": [element]},
                     {"type": "Dict", "id": 9, "value": {"k": element}}):
            with pytest.raises(TypeError, match="Argument 'wire' has incorrect type"):
                proxwire.Serializer.from_wire(wire)

    @settings(max_examples=200, deadline=None,
              suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(wire=json_dicts)
    def test_any_json_wire_value_converts_or_raises_a_python_error(self, answering, wire):
        answering(lambda env: {"requestId": env["requestId"], "ok": True})
        try:
            proxwire.Serializer.from_wire(wire)
        except (TypeError, ValueError, OverflowError, AttributeError):
            pass


@needs("Excel", "OfficeJsObject", "Serializer")
class TestProxyNames:
    @pytest.mark.parametrize("name", ODD_TEXTS[1:], ids=short)
    def test_odd_attribute_names_are_sent_as_given(self, answering, name):
        seen = []

        def respond(env):
            seen.append(env)
            return {"requestId": env["requestId"], "ok": True,
                    "result": {"type": "String", "value": name}}

        answering(respond)
        assert getattr(proxwire.Excel, name) == name
        setattr(proxwire.Excel, name, name)
        gets = [e for e in seen if e["method"] in ("GET", "SET")]
        assert [e["name"] for e in gets] == [name, name]
        assert gets[1]["value"] == {"type": "String", "value": name, "isSpec": False}

    @pytest.mark.parametrize("index", [HUGE_INT, -HUGE_INT, slice(HUGE_INT, None, -HUGE_INT)],
                             ids=["big", "-big", "slice"])
    def test_huge_indices_are_sent_as_text(self, answering, index):
        seen = []

        def respond(env):
            seen.append(env)
            return {"requestId": env["requestId"], "ok": True, "result": {"type": "Null"}}

        answering(respond)
        assert proxwire.Excel[index] is None
        assert seen[0]["method"] == "GETITEM" and len(seen[0]["name"]) > 60
