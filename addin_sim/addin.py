"""The far side of the bridge for tests and the demo: a channel, a listener thread, the kernel.

Requests leave as JSON text through a queue, so only what a real channel carries crosses;
answers come back the same way and reach proxwire through `messaging.on_message`.
"""

from __future__ import annotations

import gc
import json
import logging
import queue
import threading
import time

from .handler import RequestHandler
from .workbook import Workbook

log = logging.getLogger(__name__)

_STOP = object()


def _proxwire():
    from quorvel_master.python_server.quorvel import proxwire

    return proxwire


class CallbackError(RuntimeError):
    """A handed-over callable could not be found, or it raised (the cause says what)."""


class SimulatedAddin:
    """Installs itself as the kernel's send handler and answers on its own listener thread.

    Use as a context manager, or call `start` and `stop`. The workbook and the request
    handler are reachable as `workbook` and `handler` for inspection.
    """

    def __init__(self, workbook: Workbook | None = None, settings: dict | None = None):
        self.handler = RequestHandler(workbook, settings)
        self.workbook = self.handler.workbook
        self.handler.on_event = self._on_event
        self.messaging = _proxwire().messaging
        # SimpleQueue.put is reentrant: a proxy finalised while this thread is inside the
        # queue (the collector can run at any allocation) may send its release from there.
        self._inbox: queue.SimpleQueue = queue.SimpleQueue()
        self._listener: threading.Thread | None = None
        self._callback_threads: list[threading.Thread] = []
        self.callback_errors: list[BaseException] = []
        # The first request of each method and its answer, as they crossed the channel.
        self.first_exchanges: dict[str, tuple[dict, dict]] = {}
        self._markers = 0  # object IDs of the markers `settle` drops: -1, -2, ...

    # -- lifecycle --------------------------------------------------------------------------

    def start(self) -> SimulatedAddin:
        self._listener = threading.Thread(
            target=self._listen, name="addin-sim-listener", daemon=True
        )
        self._listener.start()
        self.messaging.set_send_handler(self._send)
        return self

    def stop(self) -> None:
        self.messaging.set_send_handler(None)
        if self._listener is not None:
            self._inbox.put(_STOP)
            self._listener.join(timeout=10)
            self._listener = None
        for thread in self._callback_threads:
            thread.join(timeout=10)

    def __enter__(self) -> SimulatedAddin:
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    def reconnect(self) -> None:
        """The connection drops and comes back: the add-in forgets its objects, the kernel
        resets messaging."""
        self.drain()
        self.handler.forget_objects()
        self.messaging.reset()

    def drain(self) -> None:
        """Waits until every request sent so far has been answered (not from the listener)."""
        marker = threading.Event()
        self._inbox.put(marker)
        if not marker.wait(30):
            raise TimeoutError("The simulated add-in's listener did not catch up")

    def settle(self, timeout: float = 10.0) -> None:
        """Waits until every proxy dropped so far has had its release answered: a marker proxy
        is dropped last, and releases go out in the order proxies were dropped."""
        gc.collect()
        self._markers -= 1
        _proxwire().OfficeJsObject(self._markers, "Marker")
        self.wait_for_release(self._markers, timeout)

    def wait_for_release(self, caller, timeout: float = 10.0) -> None:
        """Waits until the release of object `caller` has been answered. Releases go out in
        the order proxies were dropped, so every earlier release has been answered too."""
        deadline = time.monotonic() + timeout
        while caller not in self.handler.released:
            if time.monotonic() > deadline:
                raise TimeoutError(f"No release of object {caller} within {timeout} seconds")
            time.sleep(0.005)

    # -- the channel ------------------------------------------------------------------------

    def _send(self, envelope: dict) -> None:
        # The send handler runs on the requesting thread; it only serialises and enqueues.
        self._inbox.put(json.dumps(envelope))

    def _listen(self) -> None:
        while True:
            text = self._inbox.get()
            if text is _STOP:
                return
            if isinstance(text, threading.Event):
                text.set()  # everything queued before it has been answered
                continue
            try:
                self._answer(json.loads(text))
            except Exception:  # the listener must outlive any single bad message
                log.exception("simulated add-in: failed to answer %s", text)

    def _answer(self, request: dict) -> None:
        try:
            response = self.handler.handle(request)
        except Exception as exc:
            response = {"ok": False, "error": {"message": f"Internal add-in error: {exc}"}}
        response = json.loads(
            json.dumps({"requestId": request.get("requestId"), "kind": "response", **response})
        )
        self.first_exchanges.setdefault(str(request.get("method")), (request, response))
        self.messaging.on_message(response)

    # -- calling back into Python -----------------------------------------------------------

    def invoke_callable(self, callable_id: str, *args, timeout: float = 30.0):
        """Runs a handed-over callable on a kernel worker thread, as for an add-in event.

        The arguments travel as the add-in's wire values, so objects and containers among
        them reach the callable as proxies. Returns the callable's result.
        """
        wires = json.loads(json.dumps([self.handler.encode(a) for a in args]))
        outcome: dict = {}
        thread = threading.Thread(
            target=self._run_callable, args=(callable_id, wires, outcome), name="kernel-callback"
        )
        thread.start()
        thread.join(timeout)
        if thread.is_alive():
            raise TimeoutError(f"Callback {callable_id} did not return within {timeout} seconds")
        if "error" in outcome:
            raise CallbackError(f"Callback {callable_id} failed") from outcome["error"]
        return outcome.get("result")

    def _run_callable(self, callable_id: str, wires: list, outcome: dict) -> None:
        proxwire = _proxwire()
        try:
            func = self.messaging.get_callable(callable_id)
            if func is None:
                raise LookupError(f"No Python callable is registered as {callable_id}")
            outcome["result"] = func(*[proxwire.Serializer.from_wire(w) for w in wires])
        except BaseException as exc:  # reported to whoever fired the event
            outcome["error"] = exc

    def _on_event(self, callable_id: str, event: dict) -> None:
        # Runs on the listener thread, which must never wait for Python code: fire and forget.
        def fire():
            try:
                self.invoke_callable(callable_id, event)
            except Exception as exc:
                self.callback_errors.append(exc)

        thread = threading.Thread(target=fire, name="addin-sim-event", daemon=True)
        self._callback_threads = [t for t in self._callback_threads if t.is_alive()] + [thread]
        thread.start()

    def wait_for_callbacks(self, timeout: float = 10.0) -> None:
        """Waits for the change events fired so far to have run."""
        for thread in list(self._callback_threads):
            thread.join(timeout)
