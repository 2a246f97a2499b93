"""Diagnostics of the edited module: syntax errors, pyflakes' report turned into markers,
the errors-first sort, failures inside the checks, and texts the editor can throw at it."""

import inspect
import logging
import types

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quorvel_master.python_server import sensewell

LOGGER = "quorvel_master.python_server.sensewell"
KEYS = ["startLineNumber", "startColumn", "endLineNumber", "endColumn", "message", "severity"]


@pytest.fixture
def bridge(quiet_bridge):
    return quiet_bridge


def marker(line, start, end, message, severity):
    return dict(zip(KEYS, [line, start, line, end, message, severity]))


def logged(caplog):
    return [(r.levelname, r.getMessage()) for r in caplog.records]


def assert_well_formed(result):
    assert list(result) == ["diagnostics", "error"]
    assert result["error"] is None or type(result["error"]) is str
    if result["error"] is not None:
        assert result["diagnostics"] == []
    for record in result["diagnostics"]:
        assert list(record) == KEYS
        assert all(type(record[key]) is int for key in KEYS[:4] + KEYS[5:])
        assert type(record["message"]) is str and record["message"]
        assert record["severity"] in (4, 8)
        assert record["endLineNumber"] >= record["startLineNumber"] >= 1
        assert (record["endLineNumber"], record["endColumn"]) > (
            record["startLineNumber"],
            record["startColumn"],
        )
    severities = [record["severity"] for record in result["diagnostics"]]
    assert severities == sorted(severities, reverse=True)


def refuse(*args, **kwargs):
    raise AssertionError("must not run")


class TestSyntaxErrors:
    def test_syntax_error_is_the_only_marker(self, bridge, caplog):
        bridge._run_pyflakes = refuse
        bridge._check_unresolved_imports = refuse
        with caplog.at_level(logging.DEBUG, logger=LOGGER):
            result = bridge.get_diagnostics("import qv_missing\nimport os\nx = (")
        assert result == {"diagnostics": [marker(3, 5, 6, "'(' was never closed", 8)], "error": None}
        assert logged(caplog) == [
            ("DEBUG", "[LSP] Request: get_diagnostics, code_length=33"),
            ("DEBUG", "[LSP] Syntax error at line 3, col 5: '(' was never closed"),
        ]

    @pytest.mark.parametrize(
        "code", ["def f(:\n    pass\n", "if x:\npass\n", "x = 1\n  y = 2\n", "return = 3", "'abc"]
    )
    def test_parser_errors_get_one_character(self, bridge, code):
        (record,) = bridge.get_diagnostics(code)["diagnostics"]
        assert record["severity"] == 8
        assert record["endColumn"] == record["startColumn"] + 1
        assert record["endLineNumber"] == record["startLineNumber"]

    @pytest.mark.parametrize(
        "lineno, offset, msg, expected",
        [
            (None, None, None, (1, 1, "Syntax error")),
            (0, 0, "", (1, 1, "Syntax error")),
            (4, None, "bad thing", (4, 1, "bad thing")),
            (None, 7, "bad thing", (1, 7, "bad thing")),
        ],
    )
    def test_fallbacks_for_missing_parts(self, bridge, monkeypatch, lineno, offset, msg, expected):
        def parse(code, filename):
            error = IndentationError("placeholder")
            error.lineno, error.offset, error.msg = lineno, offset, msg
            raise error

        monkeypatch.setattr(sensewell, "ast", types.SimpleNamespace(parse=parse))
        line, column, text = expected
        assert bridge.get_diagnostics("x") == {
            "diagnostics": [marker(line, column, column + 1, text, 8)],
            "error": None,
        }


class TestParsePyflakesMessage:
    @pytest.mark.parametrize(
        "line, expected",
        [
            ("<editor>:1:1: 'os' imported but unused", (1, 1, 3, "'os' imported but unused")),
            ("<editor>:4:5: undefined name 'y'", (4, 5, 6, "undefined name 'y'")),
            ("<editor>:3: 'ab' is odd", (3, 1, 3, "'ab' is odd")),
            ("<editor>:3: something without a column", (3, 1, 2, "something without a column")),
            ("<pkg.mod>:12:9:   'quorvel' imported", (12, 9, 16, "'quorvel' imported")),
            ("<editor>:2:3: '' empty quotes", (2, 3, 4, "'' empty quotes")),
            ("<editor>:\u0661\u0662:3: x", (12, 3, 4, "x")),
            ("a:b:7:2: name 'a:b' in file", (7, 2, 3, "name 'a:b' in file")),
        ],
    )
    def test_message_lines(self, bridge, line, expected):
        lineno, start, end, message = expected
        assert bridge._parse_pyflakes_message(line, 4) == marker(lineno, start, end, message, 4)

    @pytest.mark.parametrize(
        "line", ["", "x = (", "    ^", "<editor>: problem decoding source", "<editor>:1:"]
    )
    def test_other_lines_give_nothing_and_log_nothing(self, bridge, caplog, line):
        with caplog.at_level(logging.DEBUG, logger=LOGGER):
            assert bridge._parse_pyflakes_message(line, 8) is None
        assert caplog.records == []

    def test_a_line_that_breaks_the_parse_is_logged(self, bridge, caplog):
        line = "<editor>:" + "9" * 5000 + ":1: x"
        with caplog.at_level(logging.DEBUG, logger=LOGGER):
            assert bridge._parse_pyflakes_message(line, 4) is None
        (record,) = caplog.records
        assert record.levelname == "DEBUG"
        assert record.getMessage().startswith("[LSP] Failed to parse pyflakes message '<editor>:999")
        assert isinstance(record.args[1], ValueError)

    def test_severity_is_converted_or_refused(self, bridge):
        line = "<editor>:1:1: x"
        assert bridge._parse_pyflakes_message(line, True)["severity"] == 1
        assert bridge._parse_pyflakes_message(message=line, severity=8.9)["severity"] == 8
        with pytest.raises(TypeError, match=r"^Argument 'severity' has incorrect type \(expected int, got str\)$"):
            bridge._parse_pyflakes_message(line, "4")
        with pytest.raises(TypeError, match=r"^Argument 'message' has incorrect type \(expected str, got bytes\)$"):
            bridge._parse_pyflakes_message(b"x", 4)


class TestRunPyflakes:
    @pytest.mark.parametrize("module_name, prefix", [(None, "<editor>:"), ("", "<editor>:"), ("lib.util", "<lib.util>:")])
    def test_analysis_file_name(self, bridge, module_name, prefix):
        lines, names = [], []
        parse, check = bridge._parse_pyflakes_message, bridge._check_unresolved_imports
        bridge._parse_pyflakes_message = lambda line, severity: lines.append(line) or parse(line, severity)
        bridge._check_unresolved_imports = lambda code, name: names.append(name) or check(code, name)
        result = bridge.get_diagnostics("import os\nprint(y)\n", module_name)
        assert lines and all(line.startswith(prefix) for line in lines)
        assert names == [module_name]
        assert result["diagnostics"] == [
            marker(1, 1, 3, "'os' imported but unused", 4),
            marker(2, 7, 8, "undefined name 'y'", 4),
        ]

    def test_error_stream_records_are_errors(self, bridge, monkeypatch):
        def check(code, filename, reporter):
            reporter.syntaxError(filename, "invalid thing", 2, 3, "x = (\n")
            reporter.unexpectedError(filename, "problem decoding source")

        monkeypatch.setattr(sensewell, "pyflakes_api", types.SimpleNamespace(check=check))
        assert bridge._run_pyflakes("x", "<m>") == [marker(2, 3, 4, "invalid thing", 8)]

    def test_failure_inside_check(self, bridge, monkeypatch, caplog):
        def check(code, filename, reporter):
            reporter._stdout.write("<editor>:1:1: 'os' imported but unused\n")
            raise RuntimeError("checker broke")

        monkeypatch.setattr(sensewell, "pyflakes_api", types.SimpleNamespace(check=check))
        with caplog.at_level(logging.DEBUG, logger=LOGGER):
            result = bridge.get_diagnostics("import os\nimport qv_missing\n")
        assert result == {
            "diagnostics": [marker(2, 1, 18, "import 'qv_missing' could not be resolved", 8)],
            "error": None,
        }
        assert ("WARNING", "[LSP] Pyflakes check failed: checker broke") in logged(caplog)
        assert not any("Pyflakes returned" in message for _, message in logged(caplog))

    def test_records_before_a_failure_are_kept(self, bridge):
        calls = []

        def parse(line, severity):
            calls.append(line)
            if len(calls) == 2:
                raise RuntimeError("second line")
            return {"line": line}

        bridge._parse_pyflakes_message = parse
        assert bridge._run_pyflakes("import os\nimport sys\nimport re\n", "<editor>") == [
            {"line": "<editor>:1:1: 'os' imported but unused"}
        ]


class TestGetDiagnostics:
    def test_empty_text(self, bridge, caplog):
        with caplog.at_level(logging.DEBUG, logger=LOGGER):
            assert bridge.get_diagnostics("") == {"diagnostics": [], "error": None}
        assert logged(caplog)[0] == ("DEBUG", "[LSP] Request: get_diagnostics, code_length=0")

    def test_errors_come_first_in_a_real_module(self, bridge):
        code = "import os\nx = y\nimport qv_missing_a\ndef f():\n    import qv_missing_b\n"
        result = bridge.get_diagnostics(code, "mod")
        assert [(r["severity"], r["startLineNumber"]) for r in result["diagnostics"]] == [
            (8, 3),
            (8, 5),
            (4, 1),
            (4, 2),
            (4, 3),
            (4, 5),
        ]

    def test_sort_is_stable_and_by_severity_only(self, bridge):
        warnings = [marker(line, 1, 2, f"w{line}", 4) for line in (5, 1, 3)]
        pyflakes_error = marker(9, 1, 2, "pe", 8)
        import_errors = [marker(7, 1, 2, "ie1", 8), marker(2, 1, 2, "ie2", 8)]
        bridge._run_pyflakes = lambda code, filename: [warnings[0], {"message": "bare"}, warnings[1], pyflakes_error, warnings[2]]
        bridge._check_unresolved_imports = lambda code, module_name: list(import_errors)
        result = bridge.get_diagnostics("x = 1")
        assert [r["message"] for r in result["diagnostics"]] == ["pe", "ie1", "ie2", "w5", "w1", "w3", "bare"]

    def test_failure_becomes_the_error_entry(self, bridge, caplog):
        def broken(code, module_name):
            raise RuntimeError("import check exploded")

        bridge._check_unresolved_imports = broken
        with caplog.at_level(logging.DEBUG, logger=LOGGER):
            result = bridge.get_diagnostics("import os\n")
        assert result == {"diagnostics": [], "error": "import check exploded"}
        assert logged(caplog)[-1] == ("ERROR", "[LSP] Error in get_diagnostics: import check exploded")

    def test_interrupts_pass_through(self, bridge):
        def interrupted(code, module_name):
            raise KeyboardInterrupt

        bridge._check_unresolved_imports = interrupted
        with pytest.raises(KeyboardInterrupt):
            bridge.get_diagnostics("x = 1")

    def test_arguments_are_checked(self, bridge, caplog):
        with caplog.at_level(logging.DEBUG, logger=LOGGER):
            with pytest.raises(TypeError, match=r"^Argument 'code' has incorrect type \(expected str, got NoneType\)$"):
                bridge.get_diagnostics(None)
            with pytest.raises(TypeError, match=r"^Argument 'module_name' has incorrect type \(expected str, got bytes\)$"):
                bridge.get_diagnostics("x = 1", b"mod")
            with pytest.raises(TypeError, match=r"expected str, got Text\)\. Note"):
                bridge.get_diagnostics(type("Text", (str,), {})("x = 1"))
            with pytest.raises(TypeError, match=r"^Argument 'filename' has incorrect type \(expected str, got NoneType\)$"):
                bridge._run_pyflakes("x = 1", None)
        assert caplog.records == []
        assert bridge.get_diagnostics(module_name="m", code="x = 1") == {"diagnostics": [], "error": None}


class TestHostileText:
    def test_nul_characters_and_lone_surrogates(self, bridge):
        for code in ("x = 1\0\n", "import os\nx = '\ud800'\n", "\udcff", "\0"):
            result = bridge.get_diagnostics(code)
            assert_well_formed(result)
            assert result["diagnostics"] == [] and result["error"]

    def test_ten_megabyte_texts(self, bridge):
        big_string = 'import qv_missing\nx = "' + "a" * 10_000_000 + '"\n'
        result = bridge.get_diagnostics(big_string)
        assert_well_formed(result)
        assert [r["message"] for r in result["diagnostics"]] == [
            "import 'qv_missing' could not be resolved",
            "'qv_missing' imported but unused",
        ]
        result = bridge.get_diagnostics("#" * 10_000_000 + "\nx = (")
        assert result["diagnostics"][0]["startLineNumber"] == 2

    def test_deep_nesting(self, bridge):
        for code in ("-" * 100_000 + "1", "(" * 300 + ")" * 300, "[" * 10_000):
            assert_well_formed(bridge.get_diagnostics(code))


def real_module_texts():
    import argparse
    import json.decoder
    import textwrap

    return [inspect.getsource(module) for module in (json.decoder, textwrap, argparse)]


REAL_TEXTS = real_module_texts()


@st.composite
def truncated_module(draw):
    text = draw(st.sampled_from(REAL_TEXTS))
    start = draw(st.integers(0, len(text)))
    length = draw(st.integers(0, 3000))
    return text[start : start + length]


TOKENS = list("()[]:.,=\n\t'\"#\\0x") + ["import ", "from ", " as ", "qv_missing", "os", "def ", "    ", "class "]
editor_text = st.one_of(
    st.text(),
    st.text(alphabet=st.characters()),  # lone surrogates included
    st.lists(st.sampled_from(TOKENS)).map("".join),
    st.binary().map(lambda b: b.decode("utf-8", "replace")),
    st.binary().map(lambda b: b.decode("utf-8", "surrogateescape")),
    st.binary().map(lambda b: b.decode("latin-1")),
    truncated_module(),
)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(code=editor_text, module_name=st.one_of(st.none(), st.text(max_size=10)))
def test_any_text_gives_well_formed_markers(bridge, code, module_name):
    assert_well_formed(bridge.get_diagnostics(code, module_name))


NO_PYFLAKES = r"""
import logging, sys
sys.modules["pyflakes"] = None  # import pyflakes now fails with ImportError
records = []
class Keep(logging.Handler):
    def emit(self, record):
        records.append(record.getMessage())
logging.getLogger("quorvel_master.python_server.sensewell").addHandler(Keep())
logging.getLogger("quorvel_master.python_server.sensewell").setLevel(logging.DEBUG)
from quorvel_master.python_server import sensewell
assert sensewell.PYFLAKES_AVAILABLE is False
assert not hasattr(sensewell, "pyflakes_api")
bridge = object.__new__(sensewell.LSPBridge)
bridge._temp_dir = None
result = bridge.get_diagnostics("import os\nimport qv_missing\nx = y\n", "mod")
assert result == {"diagnostics": [{"startLineNumber": 2, "startColumn": 1, "endLineNumber": 2,
    "endColumn": 18, "message": "import 'qv_missing' could not be resolved", "severity": 8}],
    "error": None}, result
assert not any("yflakes" in message for message in records), records
assert records[0] == "[LSP] Request: get_diagnostics, code_length=34", records
print("ok")
"""


def test_diagnostics_without_pyflakes(isolated):
    done = isolated(NO_PYFLAKES)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ok"
