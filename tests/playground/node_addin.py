"""The page's add-in peer run by node behind a line channel, driven the way the playground's
kernel drives the page: envelopes out, answers into `messaging.on_message` on a listener thread,
and Python callables run on worker threads when the peer asks."""

import json
import os
import queue
import subprocess
import threading

from quorvel_master.python_server.quorvel import proxwire

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DRIVER = os.path.join(ROOT, "playground", "tests", "stdio_peer.mjs")


class NodeAddin:
    def __init__(self):
        self.messaging = proxwire.messaging
        self._proc = subprocess.Popen(
            ["node", DRIVER], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
            encoding="utf-8", cwd=ROOT,
        )
        # Finalisers may send from inside the send handler: a queue's put is reentrant, a lock
        # around the pipe would not be.
        self._outbox = queue.SimpleQueue()
        self._inspected = queue.SimpleQueue()
        self._threads = []
        self.callback_errors = []

    def __enter__(self):
        for target in (self._write, self._listen):
            thread = threading.Thread(target=target, daemon=True, name="node-addin")
            thread.start()
            self._threads.append(thread)
        self.messaging.set_send_handler(self._outbox.put)
        return self

    def __exit__(self, *exc):
        self.messaging.set_send_handler(None)
        self._outbox.put(None)
        for thread in self._threads:
            thread.join(10)
        self._proc.wait(10)

    def _write(self):
        while (message := self._outbox.get()) is not None:
            self._proc.stdin.write(json.dumps(message) + "\n")
            self._proc.stdin.flush()
        self._proc.stdin.close()

    def _listen(self):
        for line in self._proc.stdout:
            message = json.loads(line)
            kind = message.get("kind")
            if kind == "response":
                self.messaging.on_message(message)
            elif kind == "invoke":
                threading.Thread(target=self._invoke, args=(message,), daemon=True,
                                 name="kernel-callback").start()
            elif kind == "inspected":
                self._inspected.put(message)

    def _invoke(self, message):
        try:
            func = self.messaging.get_callable(message["callableId"])
            if func is None:
                raise LookupError(f"No Python callable is registered as {message['callableId']}")
            args = [proxwire.Serializer.from_wire(w) for w in message["args"]]
            reply = {"ok": True, "result": proxwire.Serializer.to_wire(func(*args))}
        except Exception as exc:
            self.callback_errors.append(exc)
            reply = {"ok": False, "error": f"{type(exc).__name__}: {exc}"}
        self._outbox.put({"kind": "invoked", "invocationId": message["invocationId"], **reply})

    def edit(self, address, text):
        """A user's edit of a cell in the grid."""
        self._outbox.put({"kind": "edit", "address": address, "text": text})

    def reconnect(self):
        self.messaging.reset()
        self._outbox.put({"kind": "reset"})

    def inspect(self):
        """The peer's snapshot, live object count and callback errors, after what was sent."""
        self._outbox.put({"kind": "inspect"})
        return self._inspected.get(timeout=30)
