"""Completions: Monaco items from jedi, the private-name filter, import-alias silence and the
argument checks."""

import os
import threading
import time

import pytest

from quorvel_master.python_server import sensewell

from .fakes import REFUSED_POSITIONS, Fake


@pytest.fixture
def bridge(quiet_bridge):
    return quiet_bridge


class FakeJedi:
    """Stands in for the jedi global; every Script answers with the given completions."""

    def __init__(self, completions=(), on_complete=None):
        self.completions = list(completions)
        self.on_complete = on_complete
        self.scripts = []

    def Script(self, **kwargs):
        self.scripts.append(kwargs)
        fake = self

        class Script:
            def complete(self, **kw):
                fake.complete_kwargs = kw
                if fake.on_complete:
                    fake.on_complete()
                return list(fake.completions)

        return Script()


def completion(name, type="statement", signatures=(), docstring=""):
    def get_signatures():
        if isinstance(signatures, Exception):
            raise signatures
        return list(signatures)

    def doc():
        if isinstance(docstring, Exception):
            raise docstring
        return docstring

    return Fake(name=name, type=type, get_signatures=get_signatures, docstring=doc)


def labels(result):
    assert result["error"] is None
    return [item["label"] for item in result["completions"]]


class TestRealJedi:
    def test_after_dot_hides_private_names_and_fills_items(self, bridge):
        result = bridge.get_completions("import os\nos.", 2, 3)
        assert list(result) == ["completions", "error"]
        names = labels(result)
        assert "path" in names and "getcwd" in names
        assert not any(n.startswith("_") for n in names)
        items = {item["label"]: item for item in result["completions"]}
        assert items["path"]["kind"] == 7
        getcwd = items["getcwd"]
        assert list(getcwd) == ["label", "kind", "insertText", "detail", "documentation"]
        assert getcwd["kind"] == 1 and getcwd["insertText"] == "getcwd"
        assert getcwd["detail"].startswith("(") and getcwd["documentation"]

    def test_partial_name(self, bridge):
        names = labels(bridge.get_completions("import os\nos.pa", 2, 5))
        assert "path" in names and "pardir" in names
        assert "getcwd" not in names

    @pytest.mark.parametrize("typed, expected", [("_", "_exists"), ("__", "__file__")])
    def test_underscore_shows_private_and_dunder_names(self, bridge, typed, expected):
        code = "import os\nos." + typed
        assert expected in labels(bridge.get_completions(code, 2, len(code) - 10))

    def test_keyword_kind(self, bridge):
        result = bridge.get_completions("impo", 1, 4)
        items = {item["label"]: item for item in result["completions"]}
        assert items["import"]["kind"] == 13 and items["ImportError"]["kind"] == 5

    def test_user_module_completes_from_importing_module(self, bridge):
        helper = "def greet(name):\n    '''Say hello.'''\n    return name\n\nANSWER = 42\n"
        code = "import helper\nhelper."
        result = bridge.get_completions(code, 2, 7, "main", {"helper": helper})
        items = {item["label"]: item for item in result["completions"]}
        assert set(items) == {"greet", "ANSWER"}
        assert items["greet"]["detail"] == "(name)"
        assert "Say hello." in items["greet"]["documentation"]
        with open(os.path.join(bridge._temp_dir.name, "helper.py"), encoding="utf-8") as f:
            assert f.read() == helper

    def test_dirty_files_alone_are_synced(self, bridge):
        result = bridge.get_completions(
            "import draft\ndraft.", 2, 6, "main", None, {"draft": "VALUE = 1\n"}
        )
        assert labels(result) == ["VALUE"]

    def test_line_past_the_end_is_jedis_error(self, bridge, lsp_log):
        result = bridge.get_completions("x = 1", 5, 0)
        assert result["completions"] == [] and result["error"]
        assert lsp_log.records()[-1].levelname == "ERROR"
        last = lsp_log.records()[-1]
        assert last.getMessage() == "[LSP] Error in get_completions: " + result["error"]


class TestImportAlias:
    @pytest.mark.parametrize(
        "line",
        [
            "import os.path as ",
            "import os as",
            "  from os import path as p",
            "from a.b import c as",
        ],
    )
    def test_silent_without_jedi_or_sync(self, bridge, monkeypatch, lsp_log, line):
        fake = FakeJedi([completion("x")])
        monkeypatch.setattr(sensewell, "jedi", fake)
        code = "x = 1\n" + line + "\n"
        result = bridge.get_completions(code, 2, len(line), "main", {"other": "y = 2"})
        assert result == {"completions": [], "error": None}
        assert fake.scripts == []
        assert not os.path.exists(os.path.join(bridge._temp_dir.name, "other.py"))
        assert lsp_log.records()[-1].getMessage() == (
            "[LSP] In import alias context, returning empty completions"
        )

    def test_only_text_before_cursor_counts(self, bridge, monkeypatch):
        fake = FakeJedi([completion("path")])
        monkeypatch.setattr(sensewell, "jedi", fake)
        # Cursor inside the module name, before "as": not an alias position.
        assert labels(bridge.get_completions("import os as o", 1, 9)) == ["path"]
        assert fake.complete_kwargs == {"line": 1, "column": 9}


class TestItems:
    def test_kinds_detail_and_documentation(self, bridge, monkeypatch):
        def format_raises():
            raise ValueError("no signatures here")

        fake = FakeJedi(
            [
                completion("f", "function", [Fake(to_string=lambda: "f(a, b=1)")], "f doc"),
                completion("g", "function", RuntimeError("jedi broke")),
                completion("h", "function", [], docstring=RuntimeError("no doc")),
                completion("p", "property"),
                completion("q", "path"),
                completion("w", "weird", docstring="w doc"),
                completion("u", "function", [Fake(to_string=format_raises)]),
            ]
        )
        monkeypatch.setattr(sensewell, "jedi", fake)
        items = bridge.get_completions("f", 1, 1)["completions"]
        assert items == [
            {
                "label": "f",
                "kind": 1,
                "insertText": "f",
                "detail": "(a, b=1)",
                "documentation": "f doc",
            },
            {"label": "g", "kind": 1, "insertText": "g"},
            {"label": "h", "kind": 1, "insertText": "h"},
            {"label": "p", "kind": 8, "insertText": "p"},
            {"label": "q", "kind": 17, "insertText": "q"},
            {"label": "w", "kind": 4, "insertText": "w", "documentation": "w doc"},
            {"label": "u", "kind": 1, "insertText": "u"},
        ]

    def test_order_is_jedis_and_private_names_filtered(self, bridge, monkeypatch):
        fake = FakeJedi([completion(n) for n in ["b", "_p", "a", "__d__", "c"]])
        monkeypatch.setattr(sensewell, "jedi", fake)
        assert labels(bridge.get_completions("x.", 1, 2)) == ["b", "a", "c"]
        assert labels(bridge.get_completions("x._", 1, 3)) == ["b", "_p", "a", "__d__", "c"]

    def test_script_arguments(self, bridge, monkeypatch):
        fake = FakeJedi()
        monkeypatch.setattr(sensewell, "jedi", fake)
        bridge.get_completions("a", 1, 1)
        bridge.get_completions("a", 1, 1, "")
        bridge.get_completions("a", 1, 1, "main")
        bridge.get_completions("a", 1, 1, "dir/main.py")
        paths = [s["path"] for s in fake.scripts]
        assert paths == [
            "<editor>",
            "<editor>",
            os.path.join(bridge._temp_dir.name, "main.py"),
            "dir/main.py",
        ]
        assert all(set(s) == {"code", "path", "project"} for s in fake.scripts)
        assert all(s["project"] is bridge._jedi_project for s in fake.scripts)

    @pytest.mark.parametrize("count, suffix", [(5, ""), (6, "...")])
    def test_sample_log(self, bridge, monkeypatch, lsp_log, count, suffix):
        fake = FakeJedi([completion(f"n{i}") for i in range(count)])
        monkeypatch.setattr(sensewell, "jedi", fake)
        bridge.get_completions("n", 1, 1)
        messages = [r.getMessage() for r in lsp_log.records()]
        assert messages[1:] == [
            f"[LSP] Jedi returned {count} completions",
            f"[LSP] Response: {count} completions returned",
            "[LSP] Sample completions: ['n0', 'n1', 'n2', 'n3', 'n4']" + suffix,
        ]

    def test_no_items_no_sample_line(self, bridge, monkeypatch, lsp_log):
        monkeypatch.setattr(sensewell, "jedi", FakeJedi([completion("_hidden")]))
        assert bridge.get_completions("n", 1, 1) == {"completions": [], "error": None}
        assert lsp_log.records()[-1].getMessage() == "[LSP] Response: 0 completions returned"

    def test_request_record(self, bridge, monkeypatch, lsp_log):
        monkeypatch.setattr(sensewell, "jedi", FakeJedi())
        code = "é" * 150
        bridge.get_completions(code, 1, 3.7, "main")
        first = lsp_log.records()[0]
        assert first.msg == "[LSP] Request: get_completions %s"
        # logging unpacks a lone dict argument into args itself.
        assert first.args == {
            "line": 1, "column": 3, "path": "main", "code_length": 150, "code_preview": "é" * 100
        }


class TestArguments:
    @pytest.mark.parametrize("line, column, message", REFUSED_POSITIONS)
    def test_positions_refused(self, bridge, lsp_log, line, column, message):
        assert bridge.get_completions("x", line, column) == {"completions": [], "error": message}
        last = lsp_log.records()[-1]
        assert last.levelname == "ERROR"
        assert (last.msg, last.args) == ("[LSP] Error in get_completions: %s", (message,))

    def test_floats_and_bools_are_converted(self, bridge):
        code = "import os\nos.pa"
        expected = labels(bridge.get_completions(code, 2, 5))
        assert labels(bridge.get_completions(code, 2.0, 5.9)) == expected
        assert labels(bridge.get_completions("impo", True, 4.2)) == labels(
            bridge.get_completions("impo", 1, 4)
        )

    @pytest.mark.parametrize("line, column", [(2**80, 0), (1, 2**80), (-(2**80), 0)])
    def test_huge_positions_are_errors(self, bridge, line, column):
        result = bridge.get_completions("import os\nos.", line, column)
        assert result["completions"] == [] and result["error"]

    @pytest.mark.parametrize(
        "args, name",
        [
            (("x", "1", 0), "line"),
            ((b"x", 1, 0), "code"),
            (("x", 1, None), "column"),
            (("x", 1, 0, 5), "path"),
            (("x", 1, 0, None, []), "modules"),
            (("x", 1, 0, None, None, "d"), "dirty_files"),
        ],
    )
    def test_wrong_types_raise_before_logging(self, bridge, lsp_log, args, name):
        with pytest.raises(TypeError, match=f"Argument '{name}' has incorrect type"):
            bridge.get_completions(*args)
        assert lsp_log.records() == []

    def test_keywords(self, bridge):
        result = bridge.get_completions(code="import os\nos.pa", column=5, line=2, path=None)
        assert "path" in labels(result)


class TestWordPrefix:
    @pytest.mark.parametrize(
        "code, line, column, expected",
        [
            ("obj._pri", 1, 8, "_pri"),
            ("obj.", 1, 4, ""),
            ("name12", 1, 6, "name12"),
            ("x = 123", 1, 7, ""),
            ("abc def", 1, 5, "d"),
            ("a\nbcd", 2, 99, "bcd"),
            ("a\nb", 3, 1, ""),
            ("a\nb", 0, 1, ""),
            ("a\nb", 2**80, 1, ""),
            ("caf\u00e9", 1, 4, ""),
        ],
    )
    def test_prefix(self, bridge, code, line, column, expected):
        assert bridge._get_word_prefix(code, line, column) == expected


def test_jedi_use_is_serialised(bridge, monkeypatch):
    inside = []
    overlap = []

    def slow_complete():
        inside.append(1)
        overlap.append(len(inside))
        time.sleep(0.02)
        inside.pop()

    monkeypatch.setattr(sensewell, "jedi", FakeJedi([completion("a")], on_complete=slow_complete))
    results = []
    threads = [
        threading.Thread(target=lambda: results.append(bridge.get_completions("a", 1, 1)))
        for _ in range(4)
    ]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert len(results) == 4 and all(r["error"] is None for r in results)
    assert max(overlap) == 1
