"""Hover in compact and detailed mode, the help fallback, and the shared jedi helpers."""

import os

import pytest

from quorvel_master.python_server import sensewell

from .fakes import REFUSED_POSITIONS, Fake, raises

SEP = "\n\n---\n\n"


def fence(text):
    return "```python\n" + text + "\n```"


@pytest.fixture
def bridge(quiet_bridge):
    return quiet_bridge


def definition(name, type, full_name=None, signatures=(), docstring="", **extra):
    sigs = raises(signatures) if isinstance(signatures, Exception) else lambda: list(signatures)
    doc = raises(docstring) if isinstance(docstring, Exception) else lambda: docstring
    return Fake(
        name=name, type=type, full_name=full_name, get_signatures=sigs, docstring=doc, **extra
    )


class FakeJedi:
    def __init__(self, inferred=(), help=()):
        self.inferred, self.help = inferred, help

    def Script(self, **kwargs):
        fake = self

        class Script:
            def infer(self, **kw):
                return list(fake.inferred)

            def help(self, **kw):
                if isinstance(fake.help, Exception):
                    raise fake.help
                return list(fake.help)

        return Script()


def value(result):
    assert result["error"] is None
    assert list(result["contents"]) == ["kind", "value"]
    assert result["contents"]["kind"] == "markdown"
    return result["contents"]["value"]


def both_modes(bridge, code, line, column):
    """The compact hover's text, then the detailed hover's parts; the bridge stays detailed."""
    compact = value(bridge.get_hover(code, line, column))
    bridge.set_hover_mode("detailed")
    return compact, value(bridge.get_hover(code, line, column)).split(SEP)


FUNC_CODE = (
    "def area(width, height=2):\n    '''Area of a box.'''\n    return width * height\n\narea"
)


class TestRealJedi:
    def test_compact_function(self, bridge):
        assert value(bridge.get_hover(FUNC_CODE, 5, 2)) == fence("(function) area(width, height=2)")

    def test_detailed_function(self, bridge):
        bridge.set_hover_mode("detailed")
        got = value(bridge.get_hover(FUNC_CODE, 5, 2))
        header = fence("<editor>.area(width, height=2)")
        assert got == header + SEP + "area(width, height=2)\n\nArea of a box."

    def test_class_both_modes(self, bridge):
        compact, parts = both_modes(bridge, "import collections\ncollections.Counter", 2, 15)
        assert compact == fence("(class) Counter")
        assert parts[0] == fence("class collections.Counter")
        assert len(parts) == 2 and "Counter" in parts[1]

    def test_module_both_modes(self, bridge):
        compact, parts = both_modes(bridge, "import json\njson", 2, 2)
        assert compact == fence("(module) json")
        assert parts[0] == fence("module json")
        assert "JSON" in parts[1]

    def test_instance_both_modes(self, bridge):
        code = "import json\ndecoder = json.JSONDecoder()\ndecoder"
        compact, parts = both_modes(bridge, code, 3, 3)
        assert compact == fence("(instance) JSONDecoder: instance JSONDecoder")
        assert parts[0] == fence("json.decoder.JSONDecoder: instance JSONDecoder")

    def test_help_fallback_on_keyword(self, bridge, lsp_log):
        got = value(bridge.get_hover("for x in []: pass", 1, 1))
        header, doc = got.split(SEP)
        assert header == fence("(keyword for) for")
        assert doc.startswith('The "for" statement')
        assert lsp_log.messages()[1:] == [
            "[LSP] infer() returned empty, trying help() as fallback",
            "[LSP] Hover (from help()): found 1 results",
        ]

    def test_nothing_found(self, bridge, lsp_log):
        assert bridge.get_hover("x = 1\n", 2, 0) == {"contents": None, "error": None}
        assert lsp_log.messages()[1:] == [
            "[LSP] infer() returned empty, trying help() as fallback",
            "[LSP] No type information found for hover",
        ]

    def test_user_module_hovers_from_importing_module(self, bridge):
        helper = "def greet(name):\n    '''Say hello.'''\n    return name\n"
        code = "import helper\nhelper.greet"
        assert value(bridge.get_hover(code, 2, 9, "main", {"helper": helper})) == fence(
            "(function) greet(name)"
        )
        bridge.set_hover_mode("detailed")
        assert value(bridge.get_hover(code, 2, 9, "main")).startswith(fence("helper.greet(name)"))


class TestFakes:
    def test_two_definitions_compact_and_detailed(self, bridge, monkeypatch):
        defs = [
            definition("A", "class", "m.A", docstring="A doc"),
            definition("v", "statement", "m.v", description="v = 1"),
        ]
        monkeypatch.setattr(sensewell, "jedi", FakeJedi(defs))
        compact = fence("(class) A") + SEP + fence("(statement) v: v = 1")
        assert value(bridge.get_hover("a", 1, 0)) == compact
        bridge._hover_mode = "anything else"
        assert value(bridge.get_hover("a", 1, 0)) == SEP.join(
            [fence("class m.A"), "A doc", fence("m.v: v = 1")]
        )

    def test_detailed_function_whose_signatures_fail(self, bridge, monkeypatch):
        d = definition("f", "function", "m.f", signatures=RuntimeError("x"), docstring="f doc")
        monkeypatch.setattr(sensewell, "jedi", FakeJedi([d]))
        bridge._hover_mode = "detailed"
        assert value(bridge.get_hover("f", 1, 0)) == fence("m.f") + SEP + "f doc"

    def test_detailed_falls_back_to_name_and_type(self, bridge, monkeypatch):
        d = definition("x", "param", None, docstring=ValueError("no doc"))
        monkeypatch.setattr(sensewell, "jedi", FakeJedi([d]))
        bridge._hover_mode = "detailed"
        # No description attribute at all: the type stands in for it.
        assert value(bridge.get_hover("x", 1, 0)) == fence("x: param")

    def test_every_compact_line_failing_skips_help(self, bridge, monkeypatch, lsp_log):
        broken = Fake(type="function")  # no name: the compact line cannot be built
        fake = FakeJedi([broken, broken], help=RuntimeError("unused"))
        monkeypatch.setattr(sensewell, "jedi", fake)
        assert bridge.get_hover("x", 1, 0) == {"contents": None, "error": None}
        got = lsp_log.messages()
        assert got.count("[LSP] Error formatting compact hover: "
                         "'Fake' object has no attribute 'name'") == 2
        assert got[-1] == "[LSP] Hover: found 2 definitions"

    def test_help_results(self, bridge, monkeypatch):
        results = [
            Fake(name="", description="keyword", docstring=lambda: "only doc"),
            Fake(name="n", docstring=raises(RuntimeError("x"))),
            Fake(name="m", description="", docstring=lambda: ""),
            Fake(name="k", description="kind", docstring=lambda: "k doc"),
        ]
        monkeypatch.setattr(sensewell, "jedi", FakeJedi([], results))
        assert value(bridge.get_hover("x", 1, 0)) == SEP.join(
            ["only doc", fence("n"), fence("m"), fence("(kind) k"), "k doc"]
        )

    def test_help_failure_is_absorbed(self, bridge, monkeypatch, lsp_log):
        monkeypatch.setattr(sensewell, "jedi", FakeJedi([], RuntimeError("help broke")))
        assert bridge.get_hover("x", 1, 0) == {"contents": None, "error": None}
        assert lsp_log.messages()[-2:] == [
            "[LSP] help() fallback failed: help broke",
            "[LSP] No type information found for hover",
        ]

    def test_jedi_failure_is_the_error_entry(self, bridge, monkeypatch, lsp_log):
        class Broken:
            def Script(self, **kwargs):
                raise KeyError("boom")

        monkeypatch.setattr(sensewell, "jedi", Broken())
        assert bridge.get_hover("x", 1, 0) == {"contents": None, "error": "'boom'"}
        assert lsp_log.records()[-1].levelname == "ERROR"
        assert lsp_log.records()[-1].getMessage() == "[LSP] Error in get_hover: 'boom'"


class TestCompactHover:
    def test_function_signature_variants(self, bridge):
        sig = Fake(to_string=lambda: "f(a) -> int")
        assert bridge._format_compact_hover(definition("f", "function", signatures=[sig])) == fence(
            "(function) f(a) -> int"
        )
        assert bridge._format_compact_hover(definition("f", "function")) == fence("(function) f")
        failing = definition("f", "function", signatures=RuntimeError("x"))
        assert bridge._format_compact_hover(failing) == fence("(function) f")

    def test_other_types(self, bridge):
        assert bridge._format_compact_hover(definition("", "class")) == fence("(class) ")
        d = definition("v", "statement", description="v = 3")
        assert bridge._format_compact_hover(d) == fence("(statement) v: v = 3")
        assert bridge._format_compact_hover(definition("v", "param", description="")) == fence(
            "(param) v: param"
        )

    def test_failure_gives_none(self, bridge, lsp_log):
        assert bridge._format_compact_hover(definition("v", None)) is None
        assert lsp_log.messages()[-1].startswith("[LSP] Error formatting compact hover: Argument")


class TestHelpers:
    @pytest.mark.parametrize(
        "path, expected",
        [
            ("main", True),
            ("_private2", True),
            ("class", True),
            ("", False),
            ("main.py", False),
            ("pkg.mod", False),
            ("<editor>", False),
            ("a/b", False),
            ("a\\b", False),
            (os.path.join("dir", "m"), False),
            ("./m", False),
            ("2abc", False),
        ],
    )
    def test_is_module_name(self, bridge, path, expected):
        assert bridge._is_module_name(path) is expected

    def test_is_module_name_requires_str(self, bridge):
        with pytest.raises(TypeError, match="Argument 'path' has incorrect type"):
            bridge._is_module_name(None)

    def test_format_signature(self, bridge):
        def param(text):
            return Fake(to_string=lambda: text)

        assert bridge._format_signature(Fake(to_string=lambda: "f(a, b) -> str")) == "(a, b) -> str"
        assert bridge._format_signature(Fake(to_string=lambda: "noparens")) == "noparens"
        from_params = Fake(to_string=raises(TypeError("x")), params=[param("a"), param("b=1")])
        assert bridge._format_signature(from_params) == "(a, b=1)"
        assert bridge._format_signature(Fake(params=[])) == "()"
        assert bridge._format_signature(Fake(params=[Fake()])) == ""
        with pytest.raises(ValueError, match="other"):
            bridge._format_signature(Fake(to_string=raises(ValueError("other"))))

    def test_type_description(self, bridge):
        assert bridge._get_type_description(Fake(description="d"), "t") == "d"
        assert bridge._get_type_description(Fake(description=""), "t") == "t"
        assert bridge._get_type_description(Fake(), fallback_type="t") == "t"
        with pytest.raises(TypeError, match="Argument 'fallback_type'"):
            bridge._get_type_description(Fake(), None)


class TestArguments:
    @pytest.mark.parametrize("line, column, message", REFUSED_POSITIONS)
    def test_positions_refused(self, bridge, lsp_log, line, column, message):
        assert bridge.get_hover("x", line, column) == {"contents": None, "error": message}
        assert lsp_log.records()[-1].levelname == "ERROR"
        assert lsp_log.records()[-1].getMessage() == "[LSP] Error in get_hover: " + message

    def test_floats_and_bools(self, bridge, lsp_log):
        code = "import os\nos"
        assert bridge.get_hover(code, 2.0, True) == bridge.get_hover(code, 2, 1)
        assert lsp_log.messages()[0] == "[LSP] Request: get_hover line=2, column=1, path=None"

    def test_huge_line_is_an_error_entry(self, bridge):
        result = bridge.get_hover("x", 2**70, 0)
        assert result["contents"] is None and result["error"]

    def test_wrong_type_raises_before_logging(self, bridge, lsp_log):
        with pytest.raises(TypeError, match="Argument 'modules' has incorrect type"):
            bridge.get_hover("x", 1, 0, modules=[("a", "b")])
        assert lsp_log.messages() == []

    @pytest.mark.parametrize(
        "modules, dirty_files, expected",
        [
            (None, None, []),
            ({}, {}, []),
            ({}, None, []),
            (None, {"d": "x = 1"}, [({}, {"d": "x = 1"})]),
            ({"m": "y = 2"}, {}, [({"m": "y = 2"}, {})]),
        ],
    )
    def test_sync_only_with_something_to_write(
        self, bridge, monkeypatch, modules, dirty_files, expected
    ):
        calls = []
        monkeypatch.setattr(sensewell, "jedi", FakeJedi())
        bridge.sync_modules = lambda *args: calls.append(args)
        bridge.get_hover("x", 1, 0, None, modules, dirty_files)
        assert calls == expected

    def test_after_cleanup_sync_failure_is_the_error_entry(self, monkeypatch):
        b = sensewell.LSPBridge()
        b.cleanup()
        result = b.get_hover("x", 1, 0, None, {"a": "x = 1"})
        assert result["contents"] is None and result["error"]
