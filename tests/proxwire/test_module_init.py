"""Module initialisation: docstring, globals in order, the Messaging class's shape, and the
refusal of a second initialisation."""
import concurrent.futures
import threading
import typing

import pytest

from quorvel_master.python_server.quorvel import proxwire as pw

MODULE = "quorvel_master.python_server.quorvel.proxwire"
GLOBALS = [
    "base64", "concurrent", "dt", "threading", "uuid", "pd", "np", "Any", "Dict",
    "Serializer", "Messaging", "_cw__getattr__", "_cw__getitem__", "_cw__setattr__",
    "_cw__call__", "_cw__del__", "_internal_officejs_names", "OfficeJsObject",
    "OfficeJsArray", "OfficeJsDict", "UNIQUE_TRANSACTION_ID", "OfficeJsTransaction",
    "messaging", "Context", "Excel", "GetSetting", "Union", "Intersect",
]
MODULE_DOC = """
Quorvel - Synchronous COM-like bridge between Python and Excel Office.js.

This module provides a synchronous proxy to Office.js objects, allowing
Python code to interact with Excel through a COM-like interface.

Classes:
- Serializer: Handles marshaling of data types between Python and JavaScript
- Messaging: Handles message passing with synchronous send/wait (no WebSocket server)
- OfficeJsObject: Dynamic proxy for Office.js objects
- OfficeJsArray: Specialized proxy for arrays
- OfficeJsDict: Specialized proxy for dictionaries

Globals:
- Excel: Root proxy object (ID 1)
- Context: Context proxy object (ID 0)
"""
MESSAGING_DOC = """
    Handles messaging for the Python-Excel bridge.

    This class does NOT start a WebSocket server. Instead, it uses a
    send handler callback pattern that allows the kernel to forward
    messages through the Business Layer.

    Threading Model:
    ----------------
    This class is designed to be thread-safe for use in multi-threaded environments:
    - waiters dict: Protected by _waiters_lock (threading.Lock)
    - callable_registry: Protected by _callable_lock (threading.Lock)
    - send_request_sync(): Can be called from worker threads, blocks using concurrent.futures.Future
    - on_message(): Can be called from listener thread to resolve pending futures
    """
THREAD_NOTE = ("\n\nThreading Note: This method is thread-safe due to _callable_lock.\n"
               "Can be called from any thread (worker or listener).")
METHOD_DOCS = {
    "__init__": "Messaging.__init__(self)",
    "set_send_handler": "Messaging.set_send_handler(self, handler)\n\n"
                        "Register a callback used to send messages to the add-in.",
    "on_message": "Messaging.on_message(self, dict message: Dict[str, Any])\n\n"
                  "Handle an incoming response message from the add-in.",
    "send_request_sync": "Messaging.send_request_sync(self, dict req: Dict[str, Any], "
                         "double timeout: float = 30.0)\n\n"
                         "Send a request and wait synchronously for the response.",
    "reset": "Messaging.reset(self)\n\n"
             "Reset the messaging state (e.g., when the connection is closed).",
    "register_callable": "Messaging.register_callable(self, callable_obj: Any) -> str\n\n"
                         "Register a Python callable and return its ID." + THREAD_NOTE,
    "get_callable": "Messaging.get_callable(self, str callable_id: str) -> Any\n\n"
                    "Retrieve a registered callable by its ID." + THREAD_NOTE,
    "unregister_callable": "Messaging.unregister_callable(self, str callable_id: str)\n\n"
                           "Remove a callable from the registry." + THREAD_NOTE,
}


def test_module_docstring():
    assert pw.__doc__ == MODULE_DOC


def test_globals_in_creation_order():
    names = [k for k in vars(pw) if not k.startswith("__")]
    assert names == [g for g in GLOBALS if g in names]
    for needed in GLOBALS[:9] + ["Messaging", "messaging"]:
        assert needed in names


def test_imports_bound_as_globals():
    import base64, concurrent, datetime, uuid
    import numpy, pandas
    assert (pw.base64, pw.concurrent, pw.dt, pw.threading, pw.uuid) == (
        base64, concurrent, datetime, threading, uuid)
    assert pw.concurrent.futures is concurrent.futures
    assert pw.pd is pandas and pw.np is numpy
    assert pw.Any is typing.Any and pw.Dict is typing.Dict


def test_messaging_class_shape():
    cls = pw.Messaging
    assert cls.__bases__ == (object,) and cls.__module__ == MODULE
    assert cls.__doc__ == MESSAGING_DOC
    members = [k for k in vars(cls) if k == "__init__" or not k.startswith("__")]
    assert members == list(METHOD_DOCS)
    for name, doc in METHOD_DOCS.items():
        fn = vars(cls)[name]
        assert getattr(cls, name).__doc__ == doc, name
        assert getattr(cls, name).__module__ == MODULE, name
        assert callable(fn)
    assert type(vars(pw)["messaging"]) is cls


def test_fresh_instance_attributes():
    m = pw.Messaging()
    assert list(vars(m)) == ["waiters", "_waiters_lock", "_guid", "_send_handler", "loop",
                             "loop_thread", "_callable_registry", "_callable_lock",
                             "_next_callable_id"]
    assert m.waiters == {} and type(m.waiters) is dict
    lock_type = type(threading.Lock())
    assert type(m._waiters_lock) is lock_type and type(m._callable_lock) is lock_type
    assert m._waiters_lock is not m._callable_lock
    assert type(m._guid) is str and len(m._guid) == 32 and int(m._guid, 16) >= 0
    assert m._guid == m._guid.lower() and m._guid != pw.messaging._guid
    assert m._send_handler is m.loop is m.loop_thread is None
    assert m._callable_registry == {} and m._next_callable_id == 1
    with pytest.raises(TypeError):
        pw.Messaging(1)


def test_import_state_sends_nothing():
    assert pw.messaging.waiters == {}
    assert pw.messaging._send_handler is None
    with pytest.raises(RuntimeError, match="^No send handler registered$"):
        pw.messaging.send_request_sync({"method": "GET"})


def test_second_initialisation_is_refused(isolated):
    out = isolated("""
import importlib, sys
name = "quorvel_master.python_server.quorvel.proxwire"
first = importlib.import_module(name)
del sys.modules[name]
try:
    importlib.import_module(name)
except ImportError as exc:
    print("reimport:", "already initialised" in str(exc))
sys.modules[name] = first
# The interpreter never executes a multi-phase module twice: reload keeps it as it is.
handler, messaging = object(), first.messaging
messaging.set_send_handler(handler)
print("reload:", importlib.reload(first) is first and first.messaging is messaging
      and messaging._send_handler is handler)
# The first module keeps working.
first.messaging.set_send_handler(lambda env: first.messaging.on_message(
    {"requestId": env["requestId"], "ok": True, "result": 1}))
print("works:", first.messaging.send_request_sync({"method": "GET"})["result"])
print("messaging:", type(first.messaging) is first.Messaging)
""")
    assert out.split("\n")[:4] == ["reimport: True", "reload: True", "works: 1",
                                   "messaging: True"]


def test_subinterpreter_import_is_refused(isolated):
    out = isolated("""
import _xxsubinterpreters as interpreters
import quorvel_master.python_server.quorvel.proxwire
interp = interpreters.create()
try:
    interpreters.run_string(interp, "import quorvel_master.python_server.quorvel.proxwire")
except Exception as exc:
    print("refused:", "already initialised" in str(exc))
""")
    assert out.strip() == "refused: True"
