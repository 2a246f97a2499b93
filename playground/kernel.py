"""The kernel stand-in: proxwire's send handler and listener, the user's scripts on worker
threads, callbacks invoked by the page, and one LSPBridge answering the editor.

The transport is outside: it hands the kernel the page's messages and gives it a `post`
function that queues one message for the page from any thread.
"""

from __future__ import annotations

import builtins
import ctypes
import importlib.abc
import importlib.util
import itertools
import linecache
import logging
import os
import queue
import sys
import threading
import traceback

from quorvel_master.python_server import sensewell
from quorvel_master.python_server.quorvel import proxwire

log = logging.getLogger(__name__)

messaging = proxwire.messaging

# The names a script finds without importing them, as in the product's kernel.
ROOT_NAMES = ("Excel", "Context", "GetSetting", "Union", "Intersect", "OfficeJsTransaction")

# Editor requests the page may make: its method name, then the LSPBridge method answering it.
# A new language service is one more line here and one provider in the page's lsp.js.
LSP_METHODS = {
    "completions": "get_completions",
    "hover": "get_hover",
    "signatureHelp": "get_signature_help",
    "diagnostics": "get_diagnostics",
    "markers": "get_markers",
    "definitions": "get_definitions",
    "references": "get_references",
    "documentSymbols": "get_document_symbols",
    "rename": "get_rename_edits",
    "codeActions": "get_code_actions",
    "deleteModule": "delete_module",
}

STOPPED_TEXT = "The script was stopped"
PAGE_GONE_TEXT = "The playground page went away before answering"
NOT_CONNECTED_TEXT = "The playground page is not connected"

_HERE = os.path.dirname(os.path.abspath(__file__))
_MISSING = object()


class ScriptStopped(BaseException):
    """Raised inside a stopped script; not an Exception, so `except Exception` cannot keep
    a runaway loop alive."""


def _raise_in_thread(thread_id: int, exc_type) -> None:
    # Delivered at the thread's next bytecode; a thread waiting in C sees it when it returns.
    ctypes.pythonapi.PyThreadState_SetAsyncExc(ctypes.c_ulong(thread_id), ctypes.py_object(exc_type))


def _clear_raise_in_thread(thread_id: int) -> None:
    ctypes.pythonapi.PyThreadState_SetAsyncExc(ctypes.c_ulong(thread_id), None)


def _is_internal(filename: str) -> bool:
    return filename.startswith(_HERE) or filename.startswith("<frozen importlib")


def clean_traceback(exc: BaseException) -> str:
    """The exception as Python prints it, without the kernel's and the import system's frames."""
    top = traceback.TracebackException.from_exception(exc)
    seen = set()
    pending = [top]
    while pending:
        te = pending.pop()
        if id(te) in seen:
            continue
        seen.add(id(te))
        te.stack = traceback.StackSummary.from_list(
            [frame for frame in te.stack if not _is_internal(frame.filename)]
        )
        pending.extend(t for t in (te.__cause__, te.__context__) if t is not None)
    return "".join(top.format())


def _remember_source(filename: str, source: str) -> None:
    # Tracebacks quote the script's lines although no file holds them.
    linecache.cache[filename] = (len(source), None, source.splitlines(True), filename)


class _PageModules(importlib.abc.MetaPathFinder, importlib.abc.Loader):
    """Makes the page's other open modules importable by name while scripts run."""

    def __init__(self):
        self.sources: dict[str, str] = {}

    def find_spec(self, fullname, path=None, target=None):
        if path is None and fullname in self.sources:
            return importlib.util.spec_from_loader(fullname, self, origin=f"{fullname}.py")
        return None

    def create_module(self, spec):
        return None

    def exec_module(self, module):
        name = module.__spec__.name
        filename = f"{name}.py"
        source = self.sources[name]
        _remember_source(filename, source)
        module.__file__ = filename
        exec(compile(source, filename, "exec"), module.__dict__)

    def replace(self, sources: dict[str, str]) -> None:
        # A module edited in the page must be imported afresh by the next run.
        for name in set(self.sources) | set(sources):
            sys.modules.pop(name, None)
        self.sources = dict(sources)


class Run:
    """One piece of user code on its own worker thread: a script or an invoked callback."""

    def __init__(self, kernel: Kernel, run_id: int, label: str):
        self.kernel = kernel
        self.id = run_id
        self.label = label
        self.call_id = None  # set for a callback: the page's id of the call
        self.thread: threading.Thread | None = None
        self.stopped = False
        self.finished = False
        self.lock = threading.Lock()

    def write(self, text: str, stream: str) -> None:
        if text:
            self.kernel.post({"kind": "output", "run": self.id, "stream": stream, "text": text})

    def stop(self) -> None:
        # Raised again on every press: code that caught the first one meets the next.
        with self.lock:
            if self.finished:
                return
            self.stopped = True
            if self.thread is not None and self.thread.ident is not None:
                _raise_in_thread(self.thread.ident, ScriptStopped)

    def finish(self) -> None:
        with self.lock:
            self.finished = True
            if self.stopped and self.thread is not None and self.thread.ident is not None:
                # The stop may have come after the code's last bytecode: nothing left to stop.
                _clear_raise_in_thread(self.thread.ident)


class _ThreadOutput:
    """sys.stdout / sys.stderr: text written on a run's thread goes to the page."""

    def __init__(self, kernel: Kernel, stream: str, fallback):
        self._kernel = kernel
        self._stream = stream
        self._fallback = fallback

    def write(self, text: str) -> int:
        run = self._kernel.current_run()
        if run is None:
            return self._fallback.write(text)
        run.write(str(text), self._stream)
        return len(text)

    def flush(self) -> None:
        if self._kernel.current_run() is None:
            self._fallback.flush()

    def isatty(self) -> bool:
        return False

    @property
    def encoding(self) -> str:
        return "utf-8"


class Kernel:
    """Owns proxwire's messaging for the process; one page at a time talks to it."""

    def __init__(self, post):
        self.post = post
        self.lsp = sensewell.LSPBridge()
        self._events: queue.SimpleQueue = queue.SimpleQueue()
        self._lock = threading.Lock()
        self._in_flight: dict[str, Run | None] = {}
        self._runs: dict[int, Run] = {}  # by thread ident, while running
        self._script: Run | None = None
        self._ids = itertools.count(1)
        self._connected = False
        self._modules = _PageModules()
        self._listener = threading.Thread(target=self._listen, name="kernel-listener", daemon=True)

    # -- lifecycle --------------------------------------------------------------------------

    def start(self) -> Kernel:
        sys.modules.setdefault("quorvel", proxwire)  # scripts written against the stubs import it
        sys.meta_path.insert(0, self._modules)
        sys.stdout = _ThreadOutput(self, "stdout", sys.stdout)
        sys.stderr = _ThreadOutput(self, "stderr", sys.stderr)
        self._listener.start()
        messaging.set_send_handler(self._send)
        return self

    def close(self) -> None:
        messaging.set_send_handler(None)
        self.stop_all()
        self._events.put(("quit", None))
        self._listener.join(10)
        self.lsp.cleanup()

    def current_run(self) -> Run | None:
        return self._runs.get(threading.get_ident())

    # -- what the transport calls (any thread, never blocks) --------------------------------

    def connected(self, timeout: float = 30.0) -> None:
        """A page connected; returns once messaging is reset for it, so that the page's first
        run cannot send before the kernel counts it as connected."""
        done = threading.Event()
        self._events.put(("connected", done))
        done.wait(timeout)

    def disconnected(self) -> None:
        self._events.put(("disconnected", None))

    def deliver(self, response: dict) -> None:
        """One answer of the page to a request envelope."""
        self._events.put(("response", response))

    def stop_all(self) -> None:
        self._events.put(("stop", None))

    def run_script(self, code: str, module: str = "main", modules: dict | None = None,
                   tag=None) -> int | None:
        """Starts the script on a worker thread; None when one is running and not stopped.
        `tag`, the page's name for the run, comes back in its first state message."""
        with self._lock:
            if self._script is not None and not self._script.stopped and not self._script.finished:
                return None
            run = self._script = Run(self, next(self._ids), module)
        others = {k: v for k, v in (modules or {}).items() if k != module}
        self._modules.replace(others)
        self._start(run, self._exec_script, code, module, tag)
        return run.id

    def invoke(self, call_id, callable_id, args_wire) -> None:
        """Runs a handed-over callable on a worker thread; the page gets its result."""
        run = Run(self, next(self._ids), "callback")
        run.call_id = call_id
        self._start(run, self._exec_callable, callable_id, args_wire)

    def language_service(self, method: str, params: dict) -> dict:
        """Answers one editor request; called on the transport's one language-service thread."""
        name = LSP_METHODS.get(method)
        if name is None:
            return {"error": f"Unknown language service {method!r}"}
        try:
            result = getattr(self.lsp, name)(**params)
        except Exception as exc:  # a malformed request from the page, not a crash
            return {"error": f"{type(exc).__name__}: {exc}"}
        return result if isinstance(result, dict) else {"result": result, "error": None}

    # -- the send handler (worker threads, finalisers anywhere) -----------------------------

    def _send(self, envelope: dict) -> None:
        run = self.current_run()
        if run is not None and run.stopped:
            raise RuntimeError(STOPPED_TEXT)
        rid = envelope["requestId"]
        with self._lock:
            if not self._connected:
                raise ConnectionError(NOT_CONNECTED_TEXT)
            self._in_flight[rid] = run
        self.post(envelope)

    # -- the listener thread: every answer reaches proxwire here ----------------------------

    def _listen(self) -> None:
        while True:
            kind, payload = self._events.get()
            try:
                if kind == "quit":
                    return
                getattr(self, f"_on_{kind}")(payload)
            except Exception:  # the listener must outlive any single bad message
                log.exception("kernel: failed to handle %s", kind)

    def _on_response(self, response: dict) -> None:
        rid = response.get("requestId")
        if not isinstance(rid, str):
            return
        with self._lock:
            if self._in_flight.pop(rid, _MISSING) is _MISSING:
                return  # answered already: failed by a stop or a disconnect
        messaging.on_message(response)

    def _fail_in_flight(self, text: str, which) -> None:
        with self._lock:
            rids = [rid for rid, run in self._in_flight.items() if which(run)]
            for rid in rids:
                del self._in_flight[rid]
        for rid in rids:
            messaging.on_message({"requestId": rid, "ok": False, "error": {"message": text}})

    def _on_stop(self, _payload) -> None:
        runs = list(self._runs.values())
        for run in runs:
            run.stop()
        self._fail_in_flight(STOPPED_TEXT, lambda run: run in runs)

    def _on_connected(self, done: threading.Event) -> None:
        try:
            with self._lock:
                self._connected = True
            messaging.reset()
        finally:
            done.set()

    def _on_disconnected(self, _payload) -> None:
        with self._lock:
            self._connected = False
        self._fail_in_flight(PAGE_GONE_TEXT, lambda run: True)
        messaging.reset()

    # -- worker threads ---------------------------------------------------------------------

    def _start(self, run: Run, target, *args) -> None:
        # `target` returns the message that ends the run; `ending` stands in for it when a
        # stop lands in the kernel's own lines after the user's code.
        def work():
            ident = threading.get_ident()
            self._runs[ident] = run
            ending = {"kind": "runState", "run": run.id, "state": "stopped"}
            try:
                ending = target(run, *args)
            except ScriptStopped:
                if run.call_id is not None:
                    ending = self._callable_failed(run, ScriptStopped(STOPPED_TEXT))
            finally:
                while True:  # once finished, no stop can reach this thread any more
                    try:
                        run.finish()
                        break
                    except ScriptStopped:
                        continue
                self._runs.pop(ident, None)
            self.post(ending)

        run.thread = threading.Thread(target=work, name=f"kernel-worker-{run.id}", daemon=True)
        run.thread.start()

    def _exec_script(self, run: Run, code: str, module: str, tag) -> dict:
        self.post({"kind": "runState", "run": run.id, "state": "running", "tag": tag})
        filename = f"{module}.py"
        namespace = {"__name__": "__main__", "__file__": filename, "__builtins__": builtins}
        namespace.update({name: getattr(proxwire, name) for name in ROOT_NAMES})
        _remember_source(filename, code)
        try:
            try:
                exec(compile(code, filename, "exec"), namespace)
            finally:
                run.finish()
        except ScriptStopped:
            state = "stopped"
        except BaseException as exc:
            # A stopped script that caught the failed request and raised on shows why.
            state = "stopped" if run.stopped else "error"
            run.write(clean_traceback(exc), "stderr")
        else:
            state = "stopped" if run.stopped else "done"
        return {"kind": "runState", "run": run.id, "state": state}

    def _exec_callable(self, run: Run, callable_id, args_wire) -> dict:
        try:
            try:
                func = messaging.get_callable(callable_id) if isinstance(callable_id, str) else None
                if func is None:
                    raise LookupError(f"No Python callable is registered as {callable_id!r}")
                args = [proxwire.Serializer.from_wire(wire) for wire in args_wire or []]
                result = proxwire.Serializer.to_wire(func(*args))
            finally:
                run.finish()
        except ScriptStopped:
            return self._callable_failed(run, ScriptStopped(STOPPED_TEXT))
        except BaseException as exc:
            run.write(clean_traceback(exc), "stderr")
            return self._callable_failed(run, exc)
        return {"kind": "invokeResult", "callId": run.call_id, "ok": True, "result": result}

    @staticmethod
    def _callable_failed(run: Run, exc: BaseException) -> dict:
        return {"kind": "invokeResult", "callId": run.call_id, "ok": False,
                "error": {"message": f"{type(exc).__name__}: {exc}"}}
