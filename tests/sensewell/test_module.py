"""Import-time behaviour of sensewell: its globals, optional libraries, constants, the shape
of LSPBridge, and the refusal of a second initialisation."""

import json
import logging
import re

import pytest

LOGGER_NAME = "quorvel_master.python_server.sensewell"

GLOBALS = [
    "ast", "importlib", "io", "logging", "os", "re", "sys", "tempfile", "threading",
    "Any", "Dict", "List", "Optional", "jedi",
    "pyflakes_api", "pyflakes_reporter", "PYFLAKES_AVAILABLE",
    "uris", "Config", "Workspace", "Document", "PYLSP_AVAILABLE",
    "setup_logging_subprocess", "get_logger", "logger",
    "JEDI_TO_MONACO_KIND", "MONACO_MARKER_SEVERITY_ERROR", "MONACO_MARKER_SEVERITY_WARNING",
    "PYFLAKES_MESSAGE_PATTERN", "IMPORT_ALIAS_PATTERN", "LSPBridge",
]  # fmt: skip

# A fresh interpreter in which the named modules cannot be imported.
HIDE = """
import sys
class Hide:
    def __init__(self, names, error=ImportError):
        self.names, self.error = names, error
    def find_spec(self, name, path=None, target=None):
        if name in self.names:
            raise self.error("hidden: " + name)
        return None
"""


def test_globals_are_bound_in_order(sensewell):
    names = [n for n in vars(sensewell) if not n.startswith("__")]
    assert names == GLOBALS
    import importlib.util
    import typing

    import jedi
    import pylsp.workspace
    import pyflakes.api

    assert sensewell.importlib is importlib and sensewell.importlib.util is importlib.util
    assert sensewell.Optional is typing.Optional and sensewell.jedi is jedi
    assert sensewell.pyflakes_api is pyflakes.api
    assert sensewell.Document is pylsp.workspace.Document
    assert sensewell.PYFLAKES_AVAILABLE is True and sensewell.PYLSP_AVAILABLE is True
    assert sensewell.logger is logging.getLogger(LOGGER_NAME)
    assert sensewell.__name__ == LOGGER_NAME
    assert "Monaco" in sensewell.__doc__ and "jedi" in sensewell.__doc__


def test_constants(sensewell):
    assert list(sensewell.JEDI_TO_MONACO_KIND.items()) == [
        ("function", 1), ("class", 5), ("module", 7), ("property", 8), ("instance", 4),
        ("param", 4), ("statement", 4), ("keyword", 13), ("path", 17),
    ]  # fmt: skip
    assert sensewell.MONACO_MARKER_SEVERITY_ERROR == 8
    assert sensewell.MONACO_MARKER_SEVERITY_WARNING == 4
    flakes = sensewell.PYFLAKES_MESSAGE_PATTERN
    assert isinstance(flakes, re.Pattern) and flakes.flags == re.UNICODE
    assert flakes.match("m.py:3: undefined name 'x'").groups() == (
        "m.py", "3", None, "undefined name 'x'",
    )  # fmt: skip
    assert flakes.match("m.py:3:7:  bad").groups() == ("m.py", "3", "7", "bad")
    alias = sensewell.IMPORT_ALIAS_PATTERN
    assert alias.flags == re.UNICODE
    assert alias.match("from os import path as ")
    assert alias.match("  import numpy as np")
    assert alias.match("from a.b import c as")
    assert not alias.match("import numpy")
    assert not alias.match("import numpy as np, os")


def test_bridge_class_shape(sensewell):
    cls = sensewell.LSPBridge
    assert cls.__bases__ == (object,) and type(cls) is type
    assert cls.__module__ == LOGGER_NAME and cls.__qualname__ == "LSPBridge"
    assert "Sync-to-Disk" in cls.__doc__
    order = [
        "__init__", "preload_quorvel_module", "preload_quorvel_module_async", "cleanup",
        "set_hover_mode", "update_sys_paths", "_get_word_prefix", "_format_signature",
        "_format_compact_hover", "_get_type_description", "_is_module_name", "sync_modules",
        "delete_module", "get_completions", "set_workspace", "get_signature_help", "get_hover",
        "get_diagnostics", "_run_pyflakes", "_parse_pyflakes_message",
        "_check_unresolved_imports", "_can_resolve_import",
        "get_definitions", "get_references", "get_document_symbols", "get_rename_edits",
        "get_code_actions", "get_markers",
    ]  # fmt: skip
    defined = [n for n in vars(cls) if n not in ("__module__", "__doc__", "__dict__", "__weakref__")]
    # The specified methods in their order; methods beyond them come after them.
    specified = [n for n in defined if n in order]
    assert specified == [n for n in order if n in defined]
    assert defined[: len(specified)] == specified
    for name in ["__init__", "preload_quorvel_module", "preload_quorvel_module_async", "cleanup",
                 "set_hover_mode", "update_sys_paths", "sync_modules", "delete_module",
                 "set_workspace"]:  # fmt: skip
        assert name in defined
        assert vars(cls)[name].__doc__.startswith(f"LSPBridge.{name}(self")


def test_import_logs_nothing_and_starts_nothing(isolated):
    result = isolated(
        """
        import logging, threading
        records = []
        class Keep(logging.Handler):
            def emit(self, record):
                records.append(record.getMessage())
        logging.getLogger().addHandler(Keep())
        logging.getLogger().setLevel(logging.DEBUG)
        from quorvel_master.python_server import sensewell
        print(len(records), threading.active_count())
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["0", "1"]


@pytest.mark.parametrize(
    "hidden, expect",
    [
        # Both libraries absent: flags False, none of their names bound.
        (["pyflakes", "pylsp"], {"PYFLAKES_AVAILABLE": False, "PYLSP_AVAILABLE": False,
                                 "bound": []}),
        # A later import failing keeps the names bound before it (pyflakes.api itself
        # needs pyflakes.reporter).
        (["pyflakes.reporter", "pylsp.workspace"],
         {"PYFLAKES_AVAILABLE": False, "PYLSP_AVAILABLE": False, "bound": ["uris", "Config"]}),
    ],
)  # fmt: skip
def test_optional_libraries_absent(isolated, hidden, expect):
    result = isolated(
        HIDE
        + f"""
sys.meta_path.insert(0, Hide({hidden!r}))
import json, logging
records = []
class Keep(logging.Handler):
    def emit(self, record):
        records.append((record.msg, [str(a) for a in record.args]))
logging.getLogger().addHandler(Keep())
logging.getLogger().setLevel(logging.DEBUG)
from quorvel_master.python_server import sensewell
names = ["pyflakes_api", "pyflakes_reporter", "uris", "Config", "Workspace", "Document"]
b = sensewell.LSPBridge()
b.cleanup()
print(json.dumps({{"PYFLAKES_AVAILABLE": sensewell.PYFLAKES_AVAILABLE,
                  "PYLSP_AVAILABLE": sensewell.PYLSP_AVAILABLE,
                  "bound": [n for n in names if hasattr(sensewell, n)],
                  "init": [r for r in records if "initialized" in r[0]]}}))
"""
    )
    assert result.returncode == 0, result.stderr
    out = json.loads(result.stdout)
    init = out.pop("init")
    assert out == expect
    assert init[0][1][:2] == ["False", "False"]


def test_other_errors_of_optional_imports_fail_the_import(isolated):
    result = isolated(
        HIDE
        + """
sys.meta_path.insert(0, Hide(["pylsp"], RuntimeError))
try:
    from quorvel_master.python_server import sensewell
except RuntimeError as e:
    print("RuntimeError", e)
"""
    )
    assert result.stdout.strip() == "RuntimeError hidden: pylsp", result.stderr


def test_incomplete_logging_module_fails_with_import_error(isolated):
    result = isolated(
        """
        import sys, types
        sys.modules["quorvel_master.logging_config"] = types.ModuleType(
            "quorvel_master.logging_config")
        try:
            from quorvel_master.python_server import sensewell
        except ImportError as e:
            print(type(e).__name__, e)
        """
    )
    assert result.stdout.startswith("ImportError cannot import name 'setup_logging_subprocess'")


def test_second_initialisation_is_refused(isolated):
    result = isolated(
        """
        import importlib, sys
        from quorvel_master.python_server import sensewell
        first = sensewell
        # Reloading an extension module does not initialise it again: same module, unchanged.
        print("reload", importlib.reload(sensewell) is first)
        del sys.modules["quorvel_master.python_server.sensewell"]
        try:
            importlib.import_module("quorvel_master.python_server.sensewell")
        except ImportError as e:
            print("reimport ImportError", "already initialised" in str(e))
        b = first.LSPBridge()
        b.cleanup()
        print("usable")
        """
    )
    assert result.stdout.split("\n")[:3] == [
        "reload True",
        "reimport ImportError True",
        "usable",
    ], result.stderr
