"""Quick fixes: imports offered for an undefined name and the removal of an unused one, each
of which, applied, leaves a text whose diagnostics no longer hold the finding."""

import pytest

from .editing import MODULES, REPORT, apply_edits, name_range, position


@pytest.fixture
def bridge(quiet_bridge):
    return quiet_bridge


def actions_at(bridge, code, needle, offset=0, **kw):
    line, column = position(code, needle, offset)
    got = bridge.get_code_actions(code, line, column, **kw)
    assert list(got) == ["actions", "error"] and got["error"] is None, got
    for action in got["actions"]:
        assert list(action) == ["title", "kind", "diagnostics", "edit", "isPreferred"]
        assert action["kind"] == "quickfix" and len(action["diagnostics"]) == 1
    return got["actions"]


def fixed(bridge, code, action):
    """The text with the action applied; its finding must be gone from the diagnostics."""
    text = apply_edits(code, action["edit"]["edits"])
    message = action["diagnostics"][0]["message"]
    assert message not in [d["message"] for d in bridge.get_diagnostics(text)["diagnostics"]]
    return text


DOC_AND_IMPORTS = '"""Doc."""\n\nimport os\nfrom json import dumps\n\nprint(os, dumps)\n'


class TestImports:
    def test_customary_alias_after_the_imports(self, bridge):
        code = DOC_AND_IMPORTS + "frame = np.zeros(3)\n"
        (action,) = actions_at(bridge, code, "np.zeros", 1)
        assert action["title"] == "Import numpy as np" and action["isPreferred"] is True
        marker = action["diagnostics"][0]
        assert (marker["code"], marker["message"]) == ("UndefinedName", "undefined name 'np'")
        assert marker["startColumn"] == name_range(code, "np.zeros", length=2)["startColumn"]
        assert fixed(bridge, code, action) == code.replace(
            "dumps\n\n", "dumps\nimport numpy as np\n\n", 1)

    def test_names_of_the_synced_modules(self, bridge):
        code = "growth(1, 2)\n"
        actions = actions_at(bridge, code, "growth", path="sales_report", modules=MODULES)
        assert [a["title"] for a in actions] == ["Import growth from sales_stats"]
        assert actions[0]["edit"]["edits"][0]["module"] == "sales_report"
        assert fixed(bridge, code, actions[0]) == "from sales_stats import growth\n" + code
        module = actions_at(bridge, "sales_stats.QUARTERS", "sales_stats", path="draft")
        assert [a["title"] for a in module] == ["Import sales_stats"]

    @pytest.mark.parametrize("code, titles", [
        ("json.dumps(1)", ["Import json"]),
        ("Path('.')", ["Import Path from pathlib"]),
        ("datetime.now()", ["Import datetime", "Import datetime from datetime"]),
        ("dt.date.today()", ["Import datetime as dt"]),
        ("qv_nowhere_name()", []),
    ])
    def test_standard_library(self, bridge, code, titles):
        actions = actions_at(bridge, code, code[:2])
        assert [a["title"] for a in actions] == titles
        assert [a["isPreferred"] for a in actions] == [i == 0 for i in range(len(titles))]
        for action in actions:
            fixed(bridge, code, action)

    def test_placement_without_imports(self, bridge):
        for code, expected in [
            ("# header\n# more\nx = pd.DataFrame()", "# header\n# more\nimport pandas as pd\n"),
            ('"""Doc."""\nx = pd.DataFrame()', '"""Doc."""\nimport pandas as pd\n'),
            ("import os\nos, pd", "import os\nimport pandas as pd"),
        ]:
            (action,) = actions_at(bridge, code, "pd")
            assert fixed(bridge, code, action).startswith(expected)


class TestRemoval:
    @pytest.mark.parametrize("code, needle, expected", [
        ("import os\nimport sys\nprint(sys)\n", "os", "import sys\nprint(sys)\n"),
        ("import sys\nimport os", "os", "import sys"),
        ("import os, sys, json\nprint(os, json)\n", "sys", "import os, json\nprint(os, json)\n"),
        ("import os, sys\nprint(os)\n", "sys", "import os\nprint(os)\n"),
        ("from os import (\n    sep,\n    path,\n)\nprint(path)\n", "from",
         "from os import (\n    path,\n)\nprint(path)\n"),
        ("try:\n    import numpy as np\nexcept ImportError:\n    pass\n", "numpy",
         "try:\n    pass\nexcept ImportError:\n    pass\n"),
        ("import os; x = 1\n", "os", "pass; x = 1\n"),
    ])
    def test_leaves_working_code(self, bridge, code, needle, expected):
        actions = actions_at(bridge, code, needle)
        assert [a["title"] for a in actions] == [
            "Remove unused import " + actions[0]["diagnostics"][0]["message"].split("'")[1]]
        assert actions[0]["isPreferred"] is True
        assert fixed(bridge, code, actions[0]) == expected


def test_demo_draft_and_conventions(bridge, lsp_log):
    code = REPORT.replace("import threading", "import os\nimport threading")
    (action,) = actions_at(bridge, code, "import os", 7, path="sales_report", modules=MODULES)
    assert fixed(bridge, code, action) == REPORT
    assert actions_at(bridge, code, "import os", 2) == []  # on the keyword, not the name
    assert bridge.get_code_actions("x = (", 1, 0) == {"actions": [], "error": None}
    assert bridge.get_code_actions("x", 1, -1) == {
        "actions": [], "error": "column must be a non-negative integer (0-based)"}
    assert lsp_log.messages()[-1] == (
        "[LSP] Error in get_code_actions: column must be a non-negative integer (0-based)")
    with pytest.raises(TypeError, match="Argument 'line' has incorrect type"):
        bridge.get_code_actions("x", "1", 0)
