"""The unresolved-import check: ranges, messages, nesting order, relative imports and the
ways a name resolves (kernel modules, synced user modules, the import system)."""

import ast
import logging
import os
import types

import pytest

from quorvel_master.python_server import sensewell

LOGGER = "quorvel_master.python_server.sensewell"


@pytest.fixture
def bridge(quiet_bridge):
    return quiet_bridge


def finding(line, start, end, name, end_line=None):
    return {
        "startLineNumber": line,
        "startColumn": start,
        "endLineNumber": end_line or line,
        "endColumn": end,
        "message": f"import '{name}' could not be resolved",
        "severity": 8,
    }


def messages(findings):
    return [f["message"].split("'")[1] for f in findings]


class TestFindings:
    def test_loaded_and_findable_modules_resolve(self, bridge):
        assert bridge._check_unresolved_imports("import os\nimport json.decoder\nfrom collections import abc\n") == []

    def test_missing_module_marks_the_whole_statement(self, bridge):
        code = "x = 1\n\nimport qv_missing_mod\n"
        assert bridge._check_unresolved_imports(code) == [finding(3, 1, 22, "qv_missing_mod")]

    def test_one_missing_name_among_resolved_ones(self, bridge):
        code = "import os, qv_missing_a as a, sys\n"
        assert bridge._check_unresolved_imports(code) == [finding(1, 1, 34, "qv_missing_a")]

    def test_two_missing_names_share_the_statement_range(self, bridge, caplog):
        with caplog.at_level(logging.DEBUG, logger=LOGGER):
            result = bridge._check_unresolved_imports("import qv_missing_a, qv_missing_b\n", "mod")
        assert result == [finding(1, 1, 34, "qv_missing_a"), finding(1, 1, 34, "qv_missing_b")]
        assert result[0] is not result[1]
        assert [r.getMessage() for r in caplog.records] == ["[LSP] Import check found 2 unresolved imports"]

    def test_dotted_and_multi_line_statements(self, bridge):
        code = "if True:\n    from qv_missing_pkg.sub import (\n        a,\n        b,\n    )\n"
        assert bridge._check_unresolved_imports(code) == [
            finding(2, 5, 6, "qv_missing_pkg.sub", end_line=5)
        ]
        # A parent that is no package, and a missing submodule of a real package.
        code = "import os.path.qv_nothing\nimport json.qv_nothing\n"
        assert messages(bridge._check_unresolved_imports(code)) == ["os.path.qv_nothing", "json.qv_nothing"]

    def test_relative_imports(self, bridge, monkeypatch):
        checked = []
        real = bridge._can_resolve_import
        bridge._can_resolve_import = lambda name: checked.append(name) or real(name)
        assert bridge._check_unresolved_imports("from . import x\nfrom .. import y\n") == []
        assert checked == []
        code = "from .qv_sub import y\nfrom ..os import path\n"
        assert bridge._check_unresolved_imports(code) == [finding(1, 1, 22, "qv_sub")]
        assert checked == ["qv_sub", "os"]

    def test_nested_imports_come_after_the_outer_levels(self, bridge):
        code = (
            "def f():\n"
            "    import qv_in_function\n"
            "    class Inner:\n"
            "        import qv_in_nested_class\n"
            "import qv_top_a\n"
            "class C:\n"
            "    try:\n"
            "        import qv_in_try\n"
            "    except ImportError:\n"
            "        import qv_in_handler\n"
            "import qv_top_b\n"
        )
        assert messages(bridge._check_unresolved_imports(code)) == [
            "qv_top_a",
            "qv_top_b",
            "qv_in_function",
            "qv_in_nested_class",
            "qv_in_try",
            "qv_in_handler",
        ]

    def test_visit_order_is_that_of_ast_walk(self, bridge):
        # Every statement form that holds a body, several levels deep.
        code = (
            "import a0\n"
            "async def af():\n"
            "    async with x:\n"
            "        import a1\n"
            "    async for i in y:\n"
            "        import a2\n"
            "    else:\n"
            "        from a3 import z\n"
            "while c:\n"
            "    import b0, b1\n"
            "else:\n"
            "    for i in r:\n"
            "        with w:\n"
            "            import b2\n"
            "try:\n"
            "    import c0\n"
            "except* E:\n"
            "    import c1\n"
            "else:\n"
            "    import c2\n"
            "finally:\n"
            "    import c3\n"
            "match v:\n"
            "    case [1, *_]:\n"
            "        import d0\n"
            "        if q:\n"
            "            import d1\n"
            "        elif p:\n"
            "            import d2\n"
            "    case _:\n"
            "        from . import d3\n"
            "        from .d4 import e\n"
            "lam = lambda: None\n"
            "import a_last\n"
        )
        expected = []
        for node in ast.walk(ast.parse(code)):
            if isinstance(node, ast.Import):
                expected += [alias.name for alias in node.names]
            elif isinstance(node, ast.ImportFrom) and node.module:
                expected.append(node.module)
        checked = []
        bridge._can_resolve_import = lambda name: checked.append(name) or False
        result = bridge._check_unresolved_imports(code)
        assert checked == expected
        assert messages(result) == expected

    def test_text_that_does_not_parse(self, bridge, caplog):
        with caplog.at_level(logging.DEBUG, logger=LOGGER):
            assert bridge._check_unresolved_imports("import qv_missing\nx = (") == []
            assert bridge._check_unresolved_imports("    import qv_missing\n") == []
        assert caplog.records == []

    def test_arguments_are_checked(self, bridge):
        with pytest.raises(TypeError, match=r"^Argument 'code' has incorrect type \(expected str, got NoneType\)$"):
            bridge._check_unresolved_imports(None)
        with pytest.raises(TypeError, match=r"^Argument 'module_name' has incorrect type \(expected str, got int\)$"):
            bridge._check_unresolved_imports("import os", 3)
        assert bridge._check_unresolved_imports(code="import qv_missing", module_name="m") == [
            finding(1, 1, 18, "qv_missing")
        ]


class TestFailures:
    def test_unexpected_error_keeps_earlier_findings(self, bridge, monkeypatch, caplog):
        def find_spec(name):
            if name == "qv_broken":
                raise RuntimeError("spec lookup broke")
            return None

        monkeypatch.setattr(sensewell, "importlib", types.SimpleNamespace(util=types.SimpleNamespace(find_spec=find_spec)))
        with caplog.at_level(logging.DEBUG, logger=LOGGER):
            result = bridge._check_unresolved_imports("import qv_missing\nimport qv_broken\nimport qv_never\n")
        assert messages(result) == ["qv_missing"]
        assert [(r.levelname, r.getMessage()) for r in caplog.records] == [
            ("WARNING", "[LSP] Import check failed: spec lookup broke")
        ]
        assert isinstance(caplog.records[0].args[0], RuntimeError)

    def test_a_syntax_error_while_resolving_is_not_silenced(self, bridge, caplog):
        def can_resolve(name):
            raise SyntaxError("broken parent package")

        bridge._can_resolve_import = can_resolve
        with caplog.at_level(logging.DEBUG, logger=LOGGER):
            assert bridge._check_unresolved_imports("import qv_x\n") == []
        assert [r.getMessage() for r in caplog.records] == ["[LSP] Import check failed: broken parent package"]

    def test_unparseable_text_of_other_kinds(self, bridge, caplog):
        with caplog.at_level(logging.DEBUG, logger=LOGGER):
            assert bridge._check_unresolved_imports("import qv_missing\0") == []
            assert bridge._check_unresolved_imports("import qv_missing\nx = '\ud800'\n") == []
        assert [r.levelname for r in caplog.records] == ["WARNING", "WARNING"]


class TestCanResolveImport:
    def test_kernel_modules(self, bridge, monkeypatch):
        assert bridge._can_resolve_import("os") is True
        assert bridge._can_resolve_import("qv_only_in_kernel") is False
        monkeypatch.setitem(__import__("sys").modules, "qv_only_in_kernel", types.ModuleType("qv_only_in_kernel"))
        assert bridge._can_resolve_import("qv_only_in_kernel") is True

    def test_synced_user_modules_are_flat_files(self, bridge):
        directory = bridge._temp_dir.name
        for name in ("qv_user_mod", "qv_pkg.inner"):
            with open(os.path.join(directory, name + ".py"), "w", encoding="utf-8") as f:
                f.write("X = 1\n")
        assert bridge._can_resolve_import("qv_user_mod") is True
        assert bridge._can_resolve_import("qv_pkg.inner") is True
        assert bridge._can_resolve_import("qv_user_mod.sub") is False
        assert bridge._check_unresolved_imports("import qv_user_mod\nfrom qv_user_mod import X\n") == []

    def test_synced_user_modules_until_deleted_or_cleaned_up(self, bridge):
        code = "import qv_user_a\nfrom qv_user_b import X\n"
        assert messages(bridge._check_unresolved_imports(code)) == ["qv_user_a", "qv_user_b"]
        bridge.sync_modules({"qv_user_a": "X = 1\n"}, {"qv_user_b": "X = 2\n"})
        assert bridge._check_unresolved_imports(code) == []
        bridge.delete_module("qv_user_a")
        assert messages(bridge._check_unresolved_imports(code)) == ["qv_user_a"]
        bridge.cleanup()
        assert bridge._check_unresolved_imports(code) == [
            finding(1, 1, 17, "qv_user_a"),
            finding(2, 1, 24, "qv_user_b"),
        ]
        assert bridge._can_resolve_import("json") is True

    @pytest.mark.parametrize(
        "name",
        ["", "os.path.qv_nothing", "qv_a..b", ".qv_rel", "qv\0nul", "qv\ud800", "qv/../x"],
    )
    def test_malformed_names_are_unresolved(self, bridge, name):
        assert bridge._can_resolve_import(name) is False

    def test_missing_temp_dir_attribute_counts_as_unresolved(self):
        bare = object.__new__(sensewell.LSPBridge)
        assert bare._can_resolve_import("qv_missing") is False
        assert bare._can_resolve_import("os") is True

    def test_other_errors_propagate(self, bridge, monkeypatch):
        def find_spec(name):
            raise RuntimeError("boom")

        monkeypatch.setattr(sensewell, "importlib", types.SimpleNamespace(util=types.SimpleNamespace(find_spec=find_spec)))
        with pytest.raises(RuntimeError, match="^boom$"):
            bridge._can_resolve_import("qv_missing")

    def test_argument_is_checked(self, bridge):
        with pytest.raises(TypeError, match=r"^Argument 'module_name' has incorrect type \(expected str, got NoneType\)$"):
            bridge._can_resolve_import(None)


class TestNoPackageCodeRuns:
    """Resolving a dotted name must not import its parents: their __init__ would run in the
    kernel on every keystroke. Each case runs in a fresh interpreter, where nothing but the
    bridge has imported anything."""

    def test_parents_are_searched_for_not_imported(self, isolated, tmp_path):
        pkg = tmp_path / "qv_loud"
        (pkg / "inner").mkdir(parents=True)
        (pkg / "__init__.py").write_text("print('qv_loud ran')\n")
        (pkg / "inner" / "__init__.py").write_text("print('inner ran')\n")
        (pkg / "inner" / "leaf.py").write_text("")
        (tmp_path / "qv_flat.py").write_text("print('qv_flat ran')\n")
        result = isolated(f"""
            import sys
            sys.path.insert(0, {str(tmp_path)!r})
            from quorvel_master.python_server import sensewell as sw
            sw.LSPBridge.preload_quorvel_module_async = lambda self: None
            bridge = sw.LSPBridge()
            names = ["antigravity.x", "__hello__.x", "this.x", "qv_loud.inner.leaf",
                     "qv_loud.inner.missing", "qv_loud.missing.leaf", "qv_flat.x"]
            print([bridge._can_resolve_import(n) for n in names])
            print(sorted(n for n in ("antigravity", "__hello__", "this", "qv_loud",
                                     "qv_loud.inner", "qv_flat", "webbrowser")
                         if n in sys.modules))
            bridge.cleanup()
        """)
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines() == [
            "[False, False, False, True, False, False, False]",
            "[]",
        ]

    def test_results_stay_those_of_the_import_system(self, isolated, tmp_path):
        # Namespace packages, nested and split over two entries, beside real ones.
        for root in ("a", "b"):
            (tmp_path / root / "qv_ns" / "deeper").mkdir(parents=True)
        (tmp_path / "a" / "qv_ns" / "deeper" / "one.py").write_text("")
        (tmp_path / "b" / "qv_ns" / "two.py").write_text("")
        names = [
            "xml.dom.minidom", "email.mime.text", "concurrent.futures.thread", "json.decoder",
            "xml.dom.qv_missing", "os.path.qv_missing", "json.decoder.x", "qv_missing.sub",
            "numpy.linalg", "numpy.qv_missing", "pandas.core.frame", "pandas.api.types",
            "qv_ns.deeper.one", "qv_ns.two", "qv_ns.deeper.qv_missing", "qv_ns.two.x",
        ]
        script = f"""
            import importlib.util, sys
            sys.path[:0] = [{str(tmp_path / 'a')!r}, {str(tmp_path / 'b')!r}]
            from quorvel_master.python_server import sensewell as sw
            sw.LSPBridge.preload_quorvel_module_async = lambda self: None
            bridge = sw.LSPBridge()
            names = {names!r}
            before = set(sys.modules)
            ours = [bridge._can_resolve_import(n) for n in names]
            imported = sorted(n for n in ("xml.dom", "email.mime", "concurrent", "numpy",
                                          "pandas", "qv_ns") if n in set(sys.modules) - before)
            def old(name):  # what find_spec answers, importing the parents
                try:
                    return importlib.util.find_spec(name) is not None
                except (ImportError, ValueError, AttributeError):
                    return False
            print(ours == [old(n) for n in names], ours, imported)
            # And once the parents are imported, the answers are the same.
            print(ours == [bridge._can_resolve_import(n) for n in names])
            bridge.cleanup()
        """
        result = isolated(script, timeout=120)
        assert result.returncode == 0, result.stderr
        first, second = result.stdout.splitlines()
        assert first.startswith("True [True, True, True, True, False, False, False, False, True"), first
        assert first.endswith("[]"), first
        assert second == "True"
