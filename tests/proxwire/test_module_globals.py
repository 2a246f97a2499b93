"""The module's namespace: globals in their order, classes, bases, members, docstrings."""
import base64
import concurrent.futures
import datetime
import os
import subprocess
import sys
import threading
import typing
import uuid

import numpy
import pandas
import pytest

from quorvel_master.python_server.quorvel import proxwire as pw

MODULE = "quorvel_master.python_server.quorvel.proxwire"

GLOBALS = [
    "base64", "concurrent", "dt", "threading", "uuid", "pd", "np", "Any", "Dict",
    "Serializer", "Messaging", "_cw__getattr__", "_cw__getitem__", "_cw__setattr__",
    "_cw__call__", "_cw__del__", "_internal_officejs_names", "OfficeJsObject", "OfficeJsArray",
    "OfficeJsDict", "UNIQUE_TRANSACTION_ID", "OfficeJsTransaction", "messaging", "Context",
    "Excel", "GetSetting", "Union", "Intersect",
]

FUNCTIONS = {
    "_cw__getattr__": ("_cw__getattr__(self, str name: str)",
                       "Get attribute proxy method for OfficeJsObject."),
    "_cw__getitem__": ("_cw__getitem__(self, index)", "Get item proxy method for OfficeJsObject."),
    "_cw__setattr__": ("_cw__setattr__(self, str name: str, value)",
                       "Set attribute proxy method for OfficeJsObject."),
    "_cw__call__": ("_cw__call__(self, *args, **kwargs)",
                    "Call proxy method for OfficeJsObject (Function type)."),
    "_cw__del__": ("_cw__del__(self)", "Delete proxy method for OfficeJsObject."),
}

CONTAINER_MEMBERS = [
    ("__init__", "(self, int object_id: int)"), ("__getattr__", "(self, str name: str)"),
    ("__setattr__", "(self, str name: str, value)"), ("__call__", "(self, *args, **kwargs)"),
    ("__del__", "(self)"), ("__repr__", "(self)"),
]

CLASSES = {
    "OfficeJsObject": ((object,), (
        "\n    Dynamic proxy class for Office.js objects.\n\n"
        "    Provides __getattr__, __setattr__, __call__, __getitem__ to proxy\n"
        "    operations to the Office.js Add-in via WebSocket.\n    "), [
        ("__init__", "(self, int object_id: int, str type_name: str)"),
        ("__getattr__", "(self, str name: str)"), ("__getitem__", "(self, index)"),
        ("__setattr__", "(self, str name: str, value)"), ("__call__", "(self, *args, **kwargs)"),
        ("__del__", "(self)"), ("__repr__", "(self)")]),
    "OfficeJsArray": ((list,), "Specialized proxy for arrays returned from Office.js.",
                      CONTAINER_MEMBERS),
    "OfficeJsDict": ((dict,), "Specialized proxy for dictionaries returned from Office.js.",
                     CONTAINER_MEMBERS),
    "OfficeJsTransaction": ((object,), (
        "\n    Transaction object to batch multiple set operations into a single request.\n    "), [
        ("__init__", "(self, roolback_at_error=False, raiseError=True, error_callback=None, "
                     "block_gets=False)"),
        ("_start", "(self)"), ("commit", "(self)"), ("__enter__", "(self)"),
        ("__exit__", "(self, exc_type, exc_val, exc_tb)"), ("__del__", "(self)"),
        ("__repr__", "(self)")]),
}


def test_globals_in_creation_order():
    # In a fresh interpreter: tests that delete and restore a global move it to the end.
    code = ("from quorvel_master.python_server.quorvel import proxwire as pw; "
            "print(' '.join(k for k in vars(pw) if not (k.startswith('__') and k.endswith('__'))))")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(os.path.dirname(
        os.path.abspath(__file__)))))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         env=env, timeout=60, check=True).stdout
    assert out.split() == GLOBALS


def test_imports_and_constants():
    assert (pw.base64, pw.concurrent, pw.dt, pw.threading, pw.uuid, pw.pd, pw.np) == (
        base64, concurrent, datetime, threading, uuid, pandas, numpy)
    assert pw.concurrent.futures is concurrent.futures
    assert (pw.Any, pw.Dict) == (typing.Any, typing.Dict)
    assert type(pw.UNIQUE_TRANSACTION_ID) is int and pw.UNIQUE_TRANSACTION_ID == 5
    assert pw._internal_officejs_names == [
        "_cw__getattr__", "_cw__getitem__", "_cw__setattr__", "_cw__call__", "_cw__del__",
        "__getattr__", "__getitem__", "__setattr__", "__call__", "__del__"]
    assert type(pw._internal_officejs_names) is list


def test_root_proxies():
    roots = [(pw.Context, 0, "RequestContext"), (pw.Excel, 1, "Excel"),
             (pw.GetSetting, 2, "Function"), (pw.Union, 3, "Function"),
             (pw.Intersect, 4, "Function")]
    for proxy, object_id, type_name in roots:
        assert type(proxy) is pw.OfficeJsObject
        assert (proxy._internal_id, proxy._internal_typeName) == (object_id, type_name)
        assert proxy._msg_guid == pw.messaging._guid
    assert repr(pw.Excel) == "<OfficeJsObject Excel id=1>"
    assert pw.Union is not typing.Union
    assert type(pw.messaging) is pw.Messaging


@pytest.mark.parametrize("name", FUNCTIONS)
def test_module_functions(name):
    fn = getattr(pw, name)
    signature, description = FUNCTIONS[name]
    assert fn.__module__ == MODULE and fn.__name__ == name
    assert fn.__doc__ == f"{signature}\n\n{description}"


@pytest.mark.parametrize("name", CLASSES)
def test_classes(name):
    cls = getattr(pw, name)
    bases, doc, members = CLASSES[name]
    assert cls.__bases__ == bases and cls.__module__ == MODULE and cls.__qualname__ == name
    assert cls.__doc__ == doc
    own = [k for k in vars(cls) if k not in ("__module__", "__doc__", "__dict__", "__weakref__")]
    assert own == [m for m, _ in members]
    for member, signature in members:
        first_line = vars(cls)[member].__doc__.split("\n")[0]
        assert first_line == f"{name}.{member}{signature}"
    assert "__dict__" in vars(cls)


def test_instances_have_a_dict():
    for instance in (pw.OfficeJsObject(1, "x"), pw.OfficeJsArray(1), pw.OfficeJsDict(1),
                     pw.OfficeJsTransaction()):
        assert isinstance(vars(instance), dict)
