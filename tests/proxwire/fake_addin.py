"""A stand-in for the add-in and the kernel's channel: requests are answered on a listener
thread of its own, the way the kernel delivers responses."""
import queue
import threading

from quorvel_master.python_server.quorvel import proxwire as pw


def ok(result=None):
    """A successful answer carrying the wire value `result`."""
    return {"ok": True, "result": result}


def fail(message=None):
    """A refusal, with the add-in's message when one is given."""
    return {"ok": False} if message is None else {"ok": False, "error": {"message": message}}


def obj(object_id, type_name="Range"):
    return {"type": type_name, "value": object_id, "isSpec": True}


def value(v):
    return pw.Serializer.to_wire(v)


def bare(env):
    """The request dict inside an envelope, keys in their order."""
    return {k: v for k, v in env.items() if k not in ("requestId", "kind")}


class FakeAddin:
    """Records every envelope and answers it from `answer(env)` on the listener thread.

    `answer` returns the response's fields without "requestId", or None to stay silent;
    DEL requests are answered like any other unless `answer` is silent for them."""

    def __init__(self, answer=None):
        self.answer = answer or (lambda env: ok(value(None)))
        self.envelopes = []
        self.listener_errors = []
        self._queue = queue.Queue()
        self.thread = threading.Thread(target=self._listen, name="fake-addin", daemon=True)
        self.thread.start()

    def handler(self, env):
        self.envelopes.append(env)
        self._queue.put(env)

    def _listen(self):
        while True:
            env = self._queue.get()
            if env is None:
                return
            try:
                response = self.answer(env)
                if response is not None:
                    pw.messaging.on_message({"requestId": env["requestId"], **response})
            except BaseException as e:  # noqa: B902 - reported to the test
                self.listener_errors.append(e)

    def requests(self, include_del=False):
        return [bare(e) for e in self.envelopes if include_del or e.get("method") != "DEL"]

    def call_on_listener(self, fn):
        """Runs `fn` on the listener thread, between two deliveries, and waits for it."""
        done = threading.Event()
        result = {}

        def answer_once(env, previous=self.answer):
            self.answer = previous
            try:
                result["value"] = fn()
            finally:
                done.set()
            return previous(env)

        self.answer = answer_once
        return done, result

    def stop(self):
        self._queue.put(None)
        self.thread.join(5)
