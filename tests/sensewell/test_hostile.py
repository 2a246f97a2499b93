"""Hostile input to the language services: positions beyond any C integer, 10 MB texts,
NUL characters and lone surrogates as source code, module names and paths. Each request
answers with its result dict (an "error" entry at worst) and never raises or crashes."""

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

BIG = 10 * 1024 * 1024
HUGE = [2**63, 2**64, 10**100, 1e300]
EMPTY = {
    "get_completions": {"completions": []},
    "get_hover": {"contents": None},
    "get_signature_help": {"signatures": [], "activeSignature": 0, "activeParameter": 0},
}
POSITIONED = sorted(EMPTY)


def failed(result, method):
    """The request's empty result with an "error" text."""
    assert isinstance(result.get("error"), str) and result["error"], result
    assert {k: v for k, v in result.items() if k != "error"} == EMPTY[method]
    return result["error"]


def well_formed(result):
    assert set(result) >= {"error"} and (result["error"] is None or isinstance(result["error"],
                                                                                 str))
    return result


class TestPositions:
    @pytest.mark.parametrize("method", POSITIONED)
    @pytest.mark.parametrize("line", HUGE, ids=["2^63", "2^64", "1e100", "1e300f"])
    def test_lines_beyond_any_c_integer(self, quiet_bridge, method, line):
        failed(getattr(quiet_bridge, method)("x = 1\nx", line, 0), method)

    @pytest.mark.parametrize("method", POSITIONED)
    @pytest.mark.parametrize("column", HUGE, ids=["2^63", "2^64", "1e100", "1e300f"])
    def test_columns_beyond_any_c_integer(self, quiet_bridge, method, column):
        failed(getattr(quiet_bridge, method)("x = 1\nx", 2, column), method)

    @pytest.mark.parametrize("method", POSITIONED)
    def test_hugely_negative_positions(self, quiet_bridge, method):
        call = getattr(quiet_bridge, method)
        assert failed(call("x", -(10**100), 0), method) == "line must be a positive integer (1-based)"
        assert failed(call("x", 1, -(2**64)), method) == (
            "column must be a non-negative integer (0-based)")

    def test_word_prefix_of_huge_positions(self, quiet_bridge):
        assert quiet_bridge._get_word_prefix("abc", 1, 10**100) == "abc"
        assert quiet_bridge._get_word_prefix("abc", 10**100, 1) == ""

    def test_pyflakes_lines_with_huge_numbers(self, quiet_bridge):
        line = "<editor>:%d:%d: 'os' imported but unused" % (10**30, 2**70)
        marker = quiet_bridge._parse_pyflakes_message(line, 2**80)
        assert (marker["startLineNumber"], marker["startColumn"], marker["endColumn"]) == (
            10**30, 2**70, 2**70 + 2)
        assert marker["severity"] == 2**80
        # More digits than int() reads is a line that cannot be parsed, not a failure.
        assert quiet_bridge._parse_pyflakes_message("<e>:%s: text" % ("9" * 5000), 4) is None

    @settings(max_examples=60, deadline=None,
              suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(line=st.integers(), column=st.integers(),
           method=st.sampled_from(POSITIONED))
    def test_any_int_position_gives_a_result(self, quiet_bridge, line, column, method):
        result = well_formed(getattr(quiet_bridge, method)("import os\nos.pa", line, column))
        if line < 1 or column < 0:
            failed(result, method)


class TestBigTexts:
    def test_diagnostics_of_10_mb_source(self, quiet_bridge):
        code = 'text = "' + "a" * BIG + '"\nimport os\n'
        result = quiet_bridge.get_diagnostics(code, "big")
        assert result["error"] is None
        assert [d["startLineNumber"] for d in result["diagnostics"]] == [2]

    def test_diagnostics_of_a_10_mb_import_name(self, quiet_bridge):
        result = quiet_bridge.get_diagnostics("import " + "m" * BIG)
        assert result["error"] is None
        # Unresolved (an error, so first) and unused, both over the whole name.
        assert [(d["severity"], d["endColumn"]) for d in result["diagnostics"]] == [
            (8, BIG + 8), (4, BIG + 1)]

    def test_diagnostics_of_a_10_mb_syntax_error(self, quiet_bridge):
        result = quiet_bridge.get_diagnostics("x = (" + "1, " * (BIG // 3))
        assert result["error"] is None and len(result["diagnostics"]) == 1

    @pytest.mark.parametrize("method", POSITIONED)
    def test_requests_on_10_mb_source(self, quiet_bridge, method):
        # jedi crops files this size; the position past its cut comes back as the error.
        code = 's = "' + "a" * BIG + '"\nimport os\nos.pa'
        well_formed(getattr(quiet_bridge, method)(code, 3, 5))

    def test_10_mb_module_names(self, quiet_bridge, lsp_log):
        name = "m" * BIG
        quiet_bridge.sync_modules({name: "x = 1\n"}, {"ok_mod": "y = 2\n"})
        warnings = lsp_log.messages(level=30)
        assert len(warnings) == 1 and warnings[0].startswith("[LSP] Failed to sync module")
        assert quiet_bridge._can_resolve_import("ok_mod")
        quiet_bridge.delete_module(name)
        assert well_formed(quiet_bridge.get_diagnostics("x = 1\n", name))["error"] is None
        assert quiet_bridge._can_resolve_import(name) is False

    def test_10_mb_module_texts(self, quiet_bridge):
        quiet_bridge.sync_modules({"large": "# " + "z" * BIG + "\nVALUE = 1\n"})
        result = quiet_bridge.get_diagnostics("import large\nlarge.VALUE\n")
        assert result == {"diagnostics": [], "error": None}


ODD = ["\x00", "a\x00b", "\ud800", "x\udcff", "\U0010ffff"]


class TestOddCharacters:
    @pytest.mark.parametrize("text", ODD, ids=ascii)
    def test_source_code(self, quiet_bridge, text):
        code = f"x = 1\n{text}\nx."
        well_formed(quiet_bridge.get_diagnostics(code))
        well_formed(quiet_bridge.get_diagnostics(code, text))
        for method in POSITIONED:
            well_formed(getattr(quiet_bridge, method)(code, 3, 2))

    def test_nul_in_source_is_the_error_entry(self, quiet_bridge):
        result = quiet_bridge.get_diagnostics("import os\x00\n")
        assert result["diagnostics"] == [] and "null" in result["error"]

    @pytest.mark.parametrize("text", ODD, ids=ascii)
    def test_paths(self, quiet_bridge, text):
        for method in POSITIONED:
            well_formed(getattr(quiet_bridge, method)("x = 1\nx", 2, 1, text))
            well_formed(getattr(quiet_bridge, method)("x = 1\nx", 2, 1, "/tmp/" + text + ".py"))

    @pytest.mark.parametrize("name", ["\x00", "a\x00b", "\ud800"], ids=ascii)
    def test_module_names_that_name_no_file(self, quiet_bridge, lsp_log, name):
        quiet_bridge.sync_modules({name: "x = 1\n", "fine": "y = 2\n"})
        assert [m.startswith("[LSP] Failed to sync module") for m in lsp_log.messages(level=30)
                ] == [True]
        assert quiet_bridge._can_resolve_import("fine")
        quiet_bridge.delete_module(name)
        result = quiet_bridge.get_completions("import fine\nfine.", 2, 5, name,
                                              {name: "z = 3\n"})
        well_formed(result)

    def test_module_texts_that_cannot_be_written(self, quiet_bridge, lsp_log):
        quiet_bridge.sync_modules({"sur": "x = '\ud800'\n", "after": "y = 2\n"})
        assert len(lsp_log.messages(level=30)) == 1
        assert quiet_bridge._can_resolve_import("after")

    def test_huge_int_module_keys(self, quiet_bridge):
        quiet_bridge.sync_modules({10**100: "x = 1\n"})
        assert quiet_bridge._can_resolve_import(str(10**100))
        # More digits than str() writes: the file name cannot be made, the call fails.
        with pytest.raises(ValueError):
            quiet_bridge.sync_modules({10**5000: "x = 1\n"})
        result = quiet_bridge.get_hover("x", 1, 0, None, {10**5000: "x = 1\n"})
        assert failed(result, "get_hover")
