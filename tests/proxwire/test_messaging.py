"""Messaging: request envelopes, responses, failures, time-outs and reset."""
import concurrent.futures
import re
import threading
import types
import uuid

import pytest

from quorvel_master.python_server.quorvel import proxwire as pw

REQ = {"method": "GET", "name": "foo", "caller": 1}
ROOTS = ("Context", "Excel", "GetSetting", "Union", "Intersect")


def answering(make_response):
    """A handler that answers inside the send call; on_message must not raise."""
    def handler(env):
        assert pw.messaging.on_message(make_response(env)) is None
    return handler


def raising(exc):
    """A handler that raises exc instead of sending."""
    def handler(env):
        raise exc
    return handler


class TestEnvelope:
    def test_envelope_holds_request_keys_then_id_and_kind(self, recorder):
        req = {"method": "SET", "name": "values", "value": {"type": "Int"}, "caller": 7}
        with pytest.raises(TimeoutError):
            pw.messaging.send_request_sync(req, timeout=0)
        (env,) = recorder
        assert list(env) == ["method", "name", "value", "caller", "requestId", "kind"]
        assert env["kind"] == "request"
        assert env is not req
        assert req == {"method": "SET", "name": "values", "value": {"type": "Int"}, "caller": 7}
        rid = env["requestId"]
        assert type(rid) is str and len(rid) == 32 and rid == rid.lower()
        assert uuid.UUID(hex=rid).version == 4 and uuid.UUID(hex=rid).hex == rid

    def test_existing_kind_and_request_id_are_overwritten_in_place(self, recorder):
        with pytest.raises(TimeoutError):
            pw.messaging.send_request_sync({"kind": "x", "a": 1, "requestId": "old"}, timeout=0)
        env = recorder[0]
        assert list(env) == ["kind", "a", "requestId"]
        assert env["kind"] == "request" and env["requestId"] != "old"

    def test_request_ids_are_fresh(self, recorder):
        for _ in range(300):
            with pytest.raises(TimeoutError):
                pw.messaging.send_request_sync({}, timeout=0)
        ids = {env["requestId"] for env in recorder}
        assert len(ids) == 300

    def test_request_ids_come_from_the_uuid_global_once_it_is_replaced(self, recorder,
                                                                        monkeypatch):
        made = iter(range(100))

        def stub_uuid4():
            return types.SimpleNamespace(hex=f"stub-{next(made)}")

        def request_id():
            with pytest.raises(TimeoutError):
                pw.messaging.send_request_sync({}, timeout=0)
            return recorder[-1]["requestId"]

        with monkeypatch.context() as patch:
            patch.setattr(pw, "uuid", types.SimpleNamespace(uuid4=stub_uuid4))
            assert [request_id(), request_id()] == ["stub-0", "stub-1"]
        with monkeypatch.context() as patch:
            patch.setattr(pw.uuid, "uuid4", stub_uuid4)
            assert request_id() == "stub-2"
        # The originals back in place: real IDs again.
        rid = request_id()
        assert uuid.UUID(hex=rid).version == 4 and uuid.UUID(hex=rid).hex == rid

    def test_context_identity_comes_from_the_uuid_global_once_it_is_replaced(self,
                                                                             monkeypatch):
        made = iter(range(100))
        stub = types.SimpleNamespace(uuid4=lambda: types.SimpleNamespace(hex=f"ctx-{next(made)}"))
        with monkeypatch.context() as patch:
            patch.setattr(pw, "uuid", stub)
            pw.messaging.reset()
            assert pw.messaging._guid == "ctx-0"
            assert pw.Messaging()._guid == "ctx-1"
            assert pw.Excel._msg_guid == pw.Context._msg_guid == "ctx-0"
        pw.messaging.reset()
        assert re.fullmatch(r"[0-9a-f]{32}", pw.messaging._guid)

    def test_future_is_registered_before_the_handler_runs(self, send_handler, reply):
        seen = []

        def handler(env):
            fut = pw.messaging.waiters[env["requestId"]]
            seen.append(type(fut))
            pw.messaging.on_message(reply(env, "r"))

        send_handler(handler)
        pw.messaging.send_request_sync(REQ)
        assert seen == [concurrent.futures.Future]
        assert pw.messaging.waiters == {}


class TestResponses:
    def test_synchronous_answer_returns_the_response_itself(self, send_handler):
        responses = []

        def handler(env):
            responses.append({"requestId": env["requestId"], "ok": True, "result": 42})
            pw.messaging.on_message(responses[-1])

        send_handler(handler)
        assert pw.messaging.send_request_sync(REQ) is responses[0]
        assert pw.messaging.waiters == {}

    def test_answer_from_another_thread(self, addin, reply):
        fake = addin(lambda env: reply(env, env["name"]))
        assert pw.messaging.send_request_sync(REQ, timeout=10)["result"] == "foo"
        assert len(fake.envelopes) == 1

    @pytest.mark.parametrize("response, text", [
        ({"ok": False}, "Remote error"),
        ({"ok": False, "error": {}}, "Remote error"),
        ({"ok": False, "error": {"message": "Bad range"}}, "Bad range"),
        ({"error": {"message": "no ok at all"}}, "no ok at all"),
        ({"ok": 0, "error": {"message": ""}}, ""),
    ])
    def test_failed_response_raises_runtime_error(self, send_handler, response, text):
        send_handler(answering(lambda env: {"requestId": env["requestId"], **response}))
        with pytest.raises(RuntimeError) as info:
            pw.messaging.send_request_sync({"method": "CALL"})
        assert type(info.value) is RuntimeError and info.value.args == (text,)
        assert pw.messaging.waiters == {}

    def test_duplicate_and_late_responses_are_ignored(self, send_handler, reply):
        first = []
        send_handler(lambda env: first.append(env) or pw.messaging.on_message(reply(env, 1)))
        assert pw.messaging.send_request_sync(REQ)["result"] == 1
        assert pw.messaging.on_message(reply(first[0], 2)) is None

        late = []
        send_handler(late.append)
        with pytest.raises(TimeoutError):
            pw.messaging.send_request_sync(REQ, timeout=0)
        assert pw.messaging.on_message(reply(late[0], 3)) is None
        assert pw.messaging.waiters == {}

    @pytest.mark.parametrize("message", [{}, {"requestId": ""}, {"requestId": None},
                                         {"requestId": 0}, {"ok": True}])
    def test_messages_without_request_id_do_nothing(self, recorder, message):
        pw.messaging.waiters["keep"] = fut = concurrent.futures.Future()
        assert pw.messaging.on_message(message) is None
        assert pw.messaging.waiters == {"keep": fut} and not fut.done()


class Unhashable:
    __hash__ = None

    def __bool__(self):
        return True


class BadTruth:
    def __bool__(self):
        raise ValueError("truth of this value is ambiguous")


class OddErrorDict(dict):
    def get(self, *args):
        raise KeyError("broken error dict")


class TestMalformedResponses:
    """A response the add-in garbled never raises into the listener; the waiting request
    fails at once instead of sitting out its time-out."""

    @pytest.mark.parametrize("error, text", [
        ("Sheet not found", "Sheet not found"),
        ("", "Remote error"),
        (None, "Remote error"),
        (17, "Remote error"),
        (["a", "b"], "Remote error"),
        (OddErrorDict(message="x"), "Remote error"),
    ])
    def test_error_that_is_not_a_dict(self, send_handler, error, text):
        send_handler(answering(lambda env: {"requestId": env["requestId"], "ok": False,
                                            "error": error}))
        with pytest.raises(RuntimeError) as info:
            pw.messaging.send_request_sync({"method": "CALL"}, timeout=5)
        assert type(info.value) is RuntimeError and info.value.args == (text,)
        assert pw.messaging.waiters == {}

    def test_ok_whose_truth_raises_fails_the_request(self, send_handler):
        send_handler(answering(lambda env: {"requestId": env["requestId"], "ok": BadTruth(),
                                            "error": {"message": "odd ok"}}))
        with pytest.raises(RuntimeError, match="^odd ok$"):
            pw.messaging.send_request_sync({"method": "CALL"}, timeout=5)

    @pytest.mark.parametrize("request_id", [Unhashable(), BadTruth(), 12345, ["x"], b"abc"])
    def test_odd_request_ids_are_ignored(self, request_id):
        pw.messaging.waiters["keep"] = fut = concurrent.futures.Future()
        assert pw.messaging.on_message({"requestId": request_id, "ok": True}) is None
        assert pw.messaging.waiters == {"keep": fut} and not fut.done()

    def test_str_subclass_request_id_matches(self, send_handler):
        class Text(str):
            def __hash__(self):
                raise TypeError("no hashing here")

        send_handler(answering(lambda env: {"requestId": Text(env["requestId"]), "ok": True}))
        assert pw.messaging.send_request_sync(REQ, timeout=5)["ok"] is True

    def test_non_dict_message_is_refused_by_type(self):
        with pytest.raises(TypeError, match=r"Argument 'message' has incorrect type "
                                            r"\(expected dict, got NoneType\)$"):
            pw.messaging.on_message(None)
        with pytest.raises(TypeError, match="Note: subclasses of dict are refused"):
            pw.messaging.on_message(types.new_class("D", (dict,))())


class Seconds:
    def __float__(self):
        return 0.0


class TestFailures:
    def test_no_send_handler(self):
        for handler in (None, 0, ""):
            pw.messaging.set_send_handler(handler)
            with pytest.raises(RuntimeError, match="^No send handler registered$"):
                pw.messaging.send_request_sync(REQ)
        assert pw.messaging.waiters == {}

    def test_handler_exception_passes_unchanged(self, send_handler):
        boom = ValueError("channel closed")
        send_handler(raising(boom))
        with pytest.raises(ValueError) as info:
            pw.messaging.send_request_sync(REQ)
        assert info.value is boom and pw.messaging.waiters == {}

    def test_base_exception_also_removes_the_waiter(self, send_handler):
        send_handler(raising(KeyboardInterrupt))
        with pytest.raises(KeyboardInterrupt):
            pw.messaging.send_request_sync(REQ)
        assert pw.messaging.waiters == {}

    @pytest.mark.parametrize("req", [None, [], "x", types.new_class("D", (dict,))()])
    def test_req_must_be_exactly_a_dict(self, recorder, req):
        with pytest.raises(TypeError, match="^Argument 'req' has incorrect type"):
            pw.messaging.send_request_sync(req)
        assert recorder == [] and pw.messaging.waiters == {}

    @pytest.mark.parametrize("timeout", [None, "1", [], object()])
    def test_timeout_must_be_a_number(self, recorder, timeout):
        with pytest.raises(TypeError):
            pw.messaging.send_request_sync(REQ, timeout)
        assert recorder == [] and pw.messaging.waiters == {}

    @pytest.mark.parametrize("timeout", [0, 0.0, False, -1, Seconds()])
    def test_zero_timeout_times_out_and_leaves_no_waiter(self, recorder, timeout):
        with pytest.raises(TimeoutError, match="^Timed out waiting for Office.js response$"):
            pw.messaging.send_request_sync(REQ, timeout=timeout)
        assert len(recorder) == 1 and pw.messaging.waiters == {}

    def test_arguments_bind_like_a_def(self, recorder):
        with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'req'"):
            pw.messaging.send_request_sync()
        with pytest.raises(TypeError, match="unexpected keyword argument 'tmeout'"):
            pw.messaging.send_request_sync(REQ, tmeout=1)
        with pytest.raises(TypeError, match="multiple values for argument 'req'"):
            pw.messaging.send_request_sync(REQ, req=REQ)
        with pytest.raises(TimeoutError):
            pw.messaging.send_request_sync(req=REQ, timeout=0)
        with pytest.raises(TimeoutError):
            pw.Messaging.send_request_sync(pw.messaging, REQ, 0)


def deliver_on_another_thread():
    """Makes another thread the last one that delivered a response."""
    listener = threading.Thread(target=pw.messaging.on_message, args=({"requestId": "x"},))
    listener.start()
    listener.join(10)


class TestTimeout:
    def test_context_and_note(self, recorder):
        deliver_on_another_thread()
        pw.messaging.waiters["other"] = concurrent.futures.Future()
        with pytest.raises(TimeoutError) as info:
            pw.messaging.send_request_sync({"method": "GET", "name": "values", "caller": 9},
                                           timeout=0.01)
        err = info.value
        assert type(err) is TimeoutError and err.args == ("Timed out waiting for Office.js response",)
        assert type(err.__context__) is TimeoutError and err.__context__ is not err
        assert err.__context__.__traceback__ is not None
        (note,) = err.__notes__
        rid = recorder[0]["requestId"]
        assert note == ("No response from the add-in for request GET 'values' (caller 9, "
                        f"requestId {rid}) within 0.01 s. 1 other request is still pending.")
        assert list(pw.messaging.waiters) == ["other"]

    def test_note_without_method_name_or_caller(self, recorder):
        deliver_on_another_thread()
        with pytest.raises(TimeoutError) as info:
            pw.messaging.send_request_sync({}, timeout=0)
        rid = recorder[0]["requestId"]
        assert info.value.__notes__ == [f"No response from the add-in for request (requestId {rid}) "
                                        "within 0 s. 0 other requests are still pending."]

    def test_note_names_the_listener_thread_mistake(self, recorder):
        def waits_on_listener():
            pw.messaging.on_message({"requestId": "unknown", "ok": True})
            try:
                pw.messaging.send_request_sync(REQ, timeout=0)
            except TimeoutError as exc:
                notes.extend(exc.__notes__)

        notes = []
        worker = threading.Thread(target=waits_on_listener)
        worker.start()
        worker.join(10)
        assert "a response can never arrive on the thread that waits for it" in notes[0]

        deliver_on_another_thread()
        with pytest.raises(TimeoutError) as info:
            pw.messaging.send_request_sync(REQ, timeout=0)
        assert "never arrive" not in info.value.__notes__[0]

    def test_synchronous_answers_do_not_mark_the_waiting_thread(self, send_handler, reply):
        deliver_on_another_thread()
        send_handler(answering(lambda env: reply(env)))
        pw.messaging.send_request_sync(REQ)
        send_handler(lambda env: None)
        with pytest.raises(TimeoutError) as info:
            pw.messaging.send_request_sync(REQ, timeout=0)
        assert "never arrive" not in info.value.__notes__[0]

    def test_note_survives_a_request_that_cannot_be_shown(self, recorder):
        class Unprintable:
            def __repr__(self):
                raise RuntimeError("no repr")

            __str__ = __repr__

        with pytest.raises(TimeoutError) as info:
            pw.messaging.send_request_sync({"method": Unprintable(), "name": Unprintable()},
                                           timeout=0)
        assert info.value.__notes__[0].startswith("No response from the add-in for request ? ?")


class TestReset:
    def test_reset_starts_a_new_context(self, monkeypatch):
        stand_ins = {name: types.SimpleNamespace(_msg_guid="old") for name in ROOTS}
        for name, obj in stand_ins.items():
            monkeypatch.setattr(pw, name, obj, raising=False)
        old_guid = pw.messaging._guid
        pw.messaging.register_callable(print)
        pw.messaging.waiters["x"] = fut = concurrent.futures.Future()
        assert pw.messaging.reset() is None
        assert fut.cancelled() and pw.messaging.waiters == {}
        guid = pw.messaging._guid
        assert guid != old_guid and len(guid) == 32 and int(guid, 16) >= 0
        assert pw.messaging._callable_registry == {} and pw.messaging._next_callable_id == 1
        assert all(obj._msg_guid == guid for obj in stand_ins.values())

    def test_root_failures_are_swallowed(self, monkeypatch):
        monkeypatch.setattr(pw, "Context", 5)  # replaced in place: the globals keep their order
        monkeypatch.setattr(pw, "Excel", object(), raising=False)
        late = types.SimpleNamespace()
        monkeypatch.setattr(pw, "Intersect", late, raising=False)
        pw.messaging.reset()
        assert late._msg_guid == pw.messaging._guid

    def test_done_futures_are_dropped_not_cancelled(self):
        pw.messaging.waiters["done"] = fut = concurrent.futures.Future()
        fut.set_result(1)
        pw.messaging.reset()
        assert fut.result() == 1 and pw.messaging.waiters == {}

    def test_waiting_request_wakes_with_cancelled_error(self, send_handler):
        send_handler(lambda env: pw.messaging.reset())
        with pytest.raises(concurrent.futures.CancelledError):
            pw.messaging.send_request_sync(REQ, timeout=5)
        assert pw.messaging.waiters == {}


class Probe:
    def __getattr__(self, name):
        return pw.messaging.send_request_sync({"method": "GET", "name": name})


class TestAttributeRefusal:
    @pytest.fixture
    def refuse(self, send_handler, reply):
        def install(message="no such property"):
            send_handler(answering(lambda env: reply(env, ok=False, error=message)))
        return install

    @pytest.mark.parametrize("method", ["GET", "GETITEM", "SET"])
    def test_attribute_requests_raise_attribute_and_runtime_error(self, refuse, method):
        refuse()
        with pytest.raises(AttributeError) as info:
            pw.messaging.send_request_sync({"method": method, "name": "foo", "caller": 1})
        err = info.value
        assert isinstance(err, RuntimeError)
        assert err.args == ("no such property",)
        assert type(err).__module__ == pw.__name__
        assert not hasattr(pw, type(err).__name__)
        assert pw.messaging.waiters == {}

    @pytest.mark.parametrize("req", [{"method": "CALL"}, {"method": "DEL"}, {}, {"method": 5}])
    def test_other_requests_keep_runtime_error(self, refuse, req):
        refuse("call failed")
        with pytest.raises(RuntimeError) as info:
            pw.messaging.send_request_sync(req)
        assert type(info.value) is RuntimeError and info.value.args == ("call failed",)

    def test_hasattr_and_getattr_default_answer(self, refuse):
        refuse()
        assert hasattr(Probe(), "foo") is False
        assert getattr(Probe(), "foo", 7) == 7

    def test_only_the_add_ins_refusal_is_converted(self, send_handler):
        boom = RuntimeError("channel closed")
        send_handler(raising(boom))
        with pytest.raises(RuntimeError) as info:
            pw.messaging.send_request_sync({"method": "GET", "name": "x"})
        assert info.value is boom

        send_handler(lambda env: pw.messaging.reset())
        with pytest.raises(concurrent.futures.CancelledError):
            pw.messaging.send_request_sync({"method": "GET", "name": "x"}, timeout=5)


@pytest.mark.no_asan
def test_round_trips_and_failures_leak_nothing(send_handler, reply):
    import tracemalloc

    outcomes = [reply, lambda env: reply(env, ok=False, error="no"),
                lambda env: {"requestId": env["requestId"], "error": 5}]

    def run(count):
        for i in range(count):
            answer = outcomes[i % 3]
            send_handler(answering(answer))
            try:
                pw.messaging.send_request_sync({"method": "GET", "name": "x", "caller": 1})
            except RuntimeError:
                pass
            send_handler(lambda env: None)
            with pytest.raises(TimeoutError):
                pw.messaging.send_request_sync({"method": "CALL"}, timeout=0)
            pw.messaging.unregister_callable(pw.messaging.register_callable(len))

    run(200)
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        run(1500)
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 64 * 1024, grown
