"""Messaging: request envelopes, responses, failures, time-outs and reset."""
import pytest

from quorvel_master.python_server.quorvel import proxwire as pw


def refusing(message):
    def handler(env):
        pw.messaging.on_message({"requestId": env["requestId"], "ok": False,
                                 "error": {"message": message}})
    return handler


class TestAttributeRefusal:
    @pytest.mark.parametrize("method", ["GET", "GETITEM", "SET"])
    def test_attribute_requests_raise_attribute_and_runtime_error(self, method):
        pw.messaging.set_send_handler(refusing("no such property"))
        with pytest.raises(AttributeError) as info:
            pw.messaging.send_request_sync({"method": method, "name": "foo", "caller": 1})
        err = info.value
        assert isinstance(err, RuntimeError)
        assert err.args == ("no such property",)
        assert type(err).__module__ == pw.__name__
        assert not hasattr(pw, type(err).__name__)
        assert pw.messaging.waiters == {}

    @pytest.mark.parametrize("req", [{"method": "CALL"}, {"method": "DEL"}, {}, {"method": 5}])
    def test_other_requests_keep_runtime_error(self, req):
        pw.messaging.set_send_handler(refusing("call failed"))
        with pytest.raises(RuntimeError) as info:
            pw.messaging.send_request_sync(req)
        assert type(info.value) is RuntimeError
        assert info.value.args == ("call failed",)

    def test_hasattr_and_getattr_default_answer(self):
        pw.messaging.set_send_handler(refusing("nope"))

        class Probe:
            def __getattr__(self, name):
                return pw.messaging.send_request_sync({"method": "GET", "name": name})

        assert hasattr(Probe(), "foo") is False
        assert getattr(Probe(), "foo", 7) == 7

    def test_handler_runtime_error_passes_unchanged(self):
        boom = RuntimeError("channel closed")

        def handler(env):
            raise boom

        pw.messaging.set_send_handler(handler)
        with pytest.raises(RuntimeError) as info:
            pw.messaging.send_request_sync({"method": "GET", "name": "x"})
        assert info.value is boom
