"""Go-to-definition and references over the demo's user modules, library code and broken
text: locations name the user module or the library file, with Monaco ranges."""

import pytest

from .editing import MODULES, REPORT, STATS, name_range, position, span
from .fakes import REFUSED_POSITIONS

GROWTH_CALL = "sales_stats.growth("


@pytest.fixture
def bridge(quiet_bridge):
    return quiet_bridge


def at(module, text, needle, offset=0, occurrence=0, length=None):
    return {"module": module, "path": None,
            "range": name_range(text, needle, offset, occurrence, length)}


class TestDefinitions:
    def test_follows_the_import_into_a_synced_module(self, bridge):
        line, column = position(REPORT, GROWTH_CALL, len("sales_stats."))
        got = bridge.get_definitions(REPORT, line, column, "sales_report", MODULES)
        assert got == {"definitions": [at("sales_stats", STATS, "def growth", 4)], "error": None}

    def test_imported_module_is_its_file(self, bridge):
        line, column = position(REPORT, "import sales_stats", 8)
        got = bridge.get_definitions(REPORT, line, column, "sales_report", MODULES)
        assert got["definitions"] == [{"module": "sales_stats", "path": None, "range": span(1, 0, 0)}]

    @pytest.mark.parametrize("path, module", [(None, None), ("", None), ("draft", "draft")])
    def test_in_the_edited_text(self, bridge, path, module):
        code = "def area(w, h):\n    return w * h\n\narea(1, 2)\n"
        got = bridge.get_definitions(code, 4, 1, path)
        assert got == {"definitions": [{"module": module, "path": None,
                                        "range": span(1, 4, 4)}], "error": None}

    def test_library_code_gets_its_path(self, bridge):
        got = bridge.get_definitions("import json\njson.dumps(1)\n", 2, 7)["definitions"]
        assert len(got) == 1 and got[0]["module"] is None
        assert got[0]["path"].endswith("json/__init__.py")
        r = got[0]["range"]
        assert r["endColumn"] - r["startColumn"] == len("dumps") and r["startLineNumber"] > 1

    def test_broken_text(self, bridge):
        code = "def total(xs):\n    return sum(xs)\n\nprint(total([1, 2]\nclass"
        got = bridge.get_definitions(code, 4, 8)
        assert got == {"definitions": [{"module": None, "path": None, "range": span(1, 4, 5)}],
                       "error": None}

    def test_nothing_there(self, bridge, lsp_log):
        assert bridge.get_definitions("x = 1\n\n", 2, 0) == {"definitions": [], "error": None}
        assert lsp_log.messages()[0] == "[LSP] Request: get_definitions line=2, column=0, path=None"


class TestReferences:
    def test_across_the_users_modules(self, bridge):
        line, column = position(STATS, "def growth", 4)
        got = bridge.get_references(STATS, line, column, "sales_stats", MODULES)
        assert got["error"] is None
        found = got["references"]
        assert at("sales_stats", STATS, "def growth", 4) in found
        assert at("sales_report", REPORT, GROWTH_CALL, len("sales_stats."), length=6) in found
        assert all(ref["path"] is None for ref in found)
        assert len(found) == len({str(ref) for ref in found})

    def test_library_name_only_in_the_users_code(self, bridge):
        code = "import os\nos.path.join('a')\nos.path.join('b')\n"
        got = bridge.get_references(code, 2, 9)["references"]
        assert [ref["range"] for ref in got] == [span(2, 8, 4), span(3, 8, 4)]
        assert all(ref["module"] is None and ref["path"] is None for ref in got)

    def test_broken_text(self, bridge):
        code = "rate = 2\nprint(rate *\nrate +=\n"
        got = bridge.get_references(code, 1, 0, "draft")["references"]
        assert [ref["range"]["startLineNumber"] for ref in got] == [1, 2, 3]


@pytest.mark.parametrize("method", ["get_definitions", "get_references"])
class TestRequestConventions:
    @pytest.mark.parametrize("line, column, error", REFUSED_POSITIONS)
    def test_refused_positions(self, bridge, lsp_log, method, line, column, error):
        key = method[4:]
        assert getattr(bridge, method)("x", line, column) == {key: [], "error": error}
        assert lsp_log.messages()[-1] == f"[LSP] Error in {method}: {error}"

    def test_argument_types(self, bridge, method):
        with pytest.raises(TypeError, match="Argument 'code' has incorrect type"):
            getattr(bridge, method)(b"x", 1, 0)
        with pytest.raises(TypeError, match="Argument 'modules' has incorrect type"):
            getattr(bridge, method)("x", 1, 0, None, [])

    def test_after_cleanup(self, bridge, method):
        bridge.cleanup()
        got = getattr(bridge, method)("x = 1", 1, 0, modules={"m": "y = 2"})
        assert got[method[4:]] == [] and "name" in got["error"]
