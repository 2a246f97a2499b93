"""Signature help: the first jedi signature at the cursor, its parameters and the active one."""


import pytest

from quorvel_master.python_server import sensewell

from .fakes import Fake

EMPTY = {"signatures": [], "activeSignature": 0, "activeParameter": 0, "error": None}


@pytest.fixture
def bridge(quiet_bridge):
    return quiet_bridge


class FakeJedi:
    def __init__(self, signatures):
        self.signatures = signatures

    def Script(self, **kwargs):
        fake = self

        class Script:
            def get_signatures(self, **kw):
                fake.kwargs = kw
                return list(fake.signatures)

        return Script()


class BadDescription:
    name = "a"

    @property
    def description(self):
        raise ValueError("bad description")


def signature(name="f", params=(), index=None, docstring="doc", text=None):
    def doc(**kw):
        assert kw == {"raw": True}
        if isinstance(docstring, Exception):
            raise docstring
        return docstring

    return Fake(
        name=name,
        params=list(params),
        index=index,
        docstring=doc,
        to_string=lambda: text if text is not None else f"{name}(a, b)",
    )


CODE = (
    "def scale(value, factor):\n"
    "    '''Multiply value by factor.'''\n"
    "    return value * factor\n"
    "\n"
    "scale(3, "
)


class TestRealJedi:
    @pytest.mark.parametrize("column, active", [(6, 0), (9, 1)])
    def test_two_parameter_function(self, bridge, lsp_log, column, active):
        result = bridge.get_signature_help(CODE, 5, column)
        assert list(result) == ["signatures", "activeSignature", "activeParameter", "error"]
        assert result["activeSignature"] == 0 and result["activeParameter"] == active
        assert result["error"] is None
        [sig] = result["signatures"]
        assert list(sig) == ["label", "documentation", "parameters"]
        assert sig["label"] == "scale(value, factor)"
        assert sig["documentation"] == "Multiply value by factor."
        assert [p["label"] for p in sig["parameters"]] == ["value", "factor"]
        assert lsp_log.messages()[-1] == f"[LSP] Signature help: scale, activeParam={active}"

    def test_stdlib_function(self, bridge):
        result = bridge.get_signature_help("import json\njson.dumps(1, ", 2, 14)
        [sig] = result["signatures"]
        assert sig["label"].startswith("dumps(obj")
        assert sig["parameters"][0]["label"] == "obj"
        assert result["activeParameter"] == 1

    def test_user_module_signature(self, bridge):
        helper = "def greet(name, greeting='hi'):\n    return name\n"
        code = "import helper\nhelper.greet("
        result = bridge.get_signature_help(code, 2, 13, "main", {"helper": helper})
        [sig] = result["signatures"]
        assert sig["label"] == "greet(name, greeting='hi')"
        assert sig["documentation"] == ""

    def test_outside_any_call(self, bridge, lsp_log):
        assert bridge.get_signature_help("x = 1\n", 1, 3) == EMPTY
        assert lsp_log.messages()[-1] == "[LSP] No signatures found"


class TestFakes:
    def test_records_from_parameters(self, bridge, monkeypatch):
        params = [
            Fake(name="a", description="param a"),
            Fake(name="b", description=""),
            Fake(name="c"),  # description missing: AttributeError is absorbed
        ]
        fake = FakeJedi([signature("f", params, index=2, text="f(a, b, c) -> int"), signature("g")])
        monkeypatch.setattr(sensewell, "jedi", fake)
        result = bridge.get_signature_help("f(", 1, 2)
        assert result == {
            "signatures": [
                {
                    "label": "f(a, b, c) -> int",
                    "documentation": "doc",
                    "parameters": [
                        {"label": "a", "documentation": "param a"},
                        {"label": "b"},
                        {"label": "c"},
                    ],
                }
            ],
            "activeSignature": 0,
            "activeParameter": 2,
            "error": None,
        }
        assert fake.kwargs == {"line": 1, "column": 2}

    def test_empty_name_no_index_no_docstring(self, bridge, monkeypatch, lsp_log):
        fake = FakeJedi([signature("", docstring=None, text="(x)")])
        monkeypatch.setattr(sensewell, "jedi", fake)
        result = bridge.get_signature_help("f(", 1, 2)
        assert result["signatures"][0]["label"] == "function(x)"
        assert result["signatures"][0]["documentation"] == ""
        assert result["activeParameter"] == 0
        assert lsp_log.messages()[-1] == "[LSP] Signature help: , activeParam=0"

    def test_docstring_type_error_is_absorbed(self, bridge, monkeypatch):
        sig = signature(docstring=TypeError("raw not supported"))
        monkeypatch.setattr(sensewell, "jedi", FakeJedi([sig]))
        assert bridge.get_signature_help("f(", 1, 2)["signatures"][0]["documentation"] == ""

    @pytest.mark.parametrize(
        "sig",
        [
            signature(docstring=ValueError("bad doc")),
            signature(params=[BadDescription()]),
            signature(params=[Fake(description="no name")]),
        ],
        ids=["docstring", "description", "parameter-without-name"],
    )
    def test_other_failures_are_the_error_entry(self, bridge, monkeypatch, lsp_log, sig):
        monkeypatch.setattr(sensewell, "jedi", FakeJedi([sig]))
        result = bridge.get_signature_help("f(", 1, 2)
        assert result["signatures"] == [] and result["activeParameter"] == 0
        assert result["error"]
        assert lsp_log.records()[-1].levelname == "ERROR"
        assert lsp_log.messages()[-1] == "[LSP] Error in get_signature_help: " + result["error"]


class TestArguments:
    @pytest.mark.parametrize(
        "line, column, message",
        [
            (0, 0, "line must be a positive integer (1-based)"),
            (1, -1, "column must be a non-negative integer (0-based)"),
        ],
    )
    def test_positions_refused(self, bridge, line, column, message):
        assert bridge.get_signature_help("f(", line, column) == dict(EMPTY, error=message)

    def test_floats_and_bools(self, bridge, lsp_log):
        by_float = bridge.get_signature_help(CODE, 5.0, 9.5)
        assert by_float == bridge.get_signature_help(CODE, 5, 9)
        assert by_float["activeParameter"] == 1
        [sig] = bridge.get_signature_help("print(", True, 6)["signatures"]
        assert sig["label"].startswith("print(")
        first = lsp_log.messages()[0]
        assert first == "[LSP] Request: get_signature_help line=5, column=9, path=None"

    def test_huge_column_is_an_error_entry(self, bridge):
        result = bridge.get_signature_help("f(", 1, 2**100)
        assert result["signatures"] == [] and result["error"]

    def test_wrong_type_raises_before_logging(self, bridge, lsp_log):
        with pytest.raises(TypeError, match="Argument 'column' has incorrect type"):
            bridge.get_signature_help("f(", 1, "2")
        assert lsp_log.messages() == []
