"""The completion-item store: the same answers with the store off, empty and filled by another
process; a library changed on disk or another search path is never answered from old items; a
broken database costs speed only; the warm-up's fill gives jedi back between items."""

import json
import os
import re
import sqlite3
import subprocess
import sys
import textwrap

import pytest

import support

DB_NAME = "completion-store.sqlite3"

NUMPY_CODE = """\
import numpy as np
a = np.zeros(3)
z = np.array([[1.0, 2.0]])
m = a.mean()
n = np.linalg.norm(z)
r = np.random.default_rng(0)
s = np.sum(a)
t = a.T.reshape(2).astype(float)
"""

PANDAS_CODE = """\
import pandas as pd
df = pd.DataFrame({"a": [1, 2]})
col = pd.Series([1, 2])
g = df.groupby("a")
f = pd.read_csv
ts = pd.Timestamp("2020-01-01")
h = df.head(1).sort_values("a")
u = col.sum()
"""

STDLIB_CODE = """\
import os, json, collections, re, datetime
p = os.path.join("a", "b")
d = collections.OrderedDict()
rx = re.compile("x")
now = datetime.datetime.now()
j = json.dumps({})
w = os.getcwd()
e = os.environ.get("HOME", w.upper())
"""

# Module attributes of many kinds, the cursor's expression of each a stored list: modules,
# classes, functions, constants and instances made by argument-free calls.
MORE_CODE = """\
import itertools, functools, math, statistics, string, textwrap, csv, random, heapq, bisect
import decimal, fractions, typing, dataclasses, enum, shutil, tempfile, threading, time
import uuid, logging, argparse, io, struct, hashlib, base64, zlib, copy, operator, sqlite3
import collections.abc, json, os
import numpy as np
import pandas as pd
c = itertools.chain.from_iterable
f = functools.partial
x = math.floor(statistics.mean([1.0]))
s = string.ascii_letters + textwrap.dedent("")
w = csv.writer
r = random.Random().random
h = heapq.heappush
b = bisect.insort
d = decimal.Decimal().quantize
q = fractions.Fraction().limit_denominator
t = typing.Optional
dc = dataclasses.field
e = enum.Enum
sh = shutil.copyfile
tf = tempfile.gettempdir
th = threading.Thread().start
tm = time.monotonic
u = uuid.uuid4().hex
lg = logging.getLogger().handlers
ap = argparse.ArgumentParser().add_argument
sio = io.StringIO().getvalue
st = struct.pack
hs = hashlib.sha256().hexdigest
b64 = base64.b64encode
z = zlib.compress
cp = copy.deepcopy
op = operator.itemgetter
sq = sqlite3.connect
la = np.linalg.inv
ff = np.fft.fft
ma = np.ma.masked_array
ch = np.char.upper
ra = np.random.default_rng
ty = pd.api.types.is_list_like
ts = pd.Timestamp.now
ix = pd.Index.union
to = pd.to_datetime
cc = np.core.numeric.zeros_like
ii = np.iinfo
fi = np.finfo
pm = np.polynomial.Polynomial
sm = np.lib.stride_tricks.sliding_window_view
rs = pd.plotting.scatter_matrix
of = pd.offsets.Day
er = pd.errors.ParserError
ct = pd.Categorical.from_codes
iv = pd.Interval
ca = collections.abc.Mapping
jd = json.decoder.JSONDecodeError
ow = os.walk
sp = os.path.splitext
"""


# Instances here infer to one class each: jedi takes a name that several inferred classes share
# from whichever it meets first, in an order that differs from run to run (np.array of a list
# infers to the list as well as the array, a column of a frame to a series and a frame, and
# os.path.join to str and bytes).
def positions():
    """(code, line, column) after every dot and at the end of every attribute name over the
    three texts, and at the end of the names on one line (the global names there)."""
    found, seen = [], set()
    for code in (NUMPY_CODE, PANDAS_CODE, STDLIB_CODE, MORE_CODE):
        for line_no, text in enumerate(code.split("\n"), 1):
            for col in range(1, len(text) + 1):
                ch, after = text[col - 1], text[col:col + 1]
                name_end = (ch.isalnum() or ch == "_") and not (after.isalnum() or after == "_")
                start = col - 1
                while start > 0 and (text[start - 1].isalnum() or text[start - 1] == "_"):
                    start -= 1
                name_end = name_end and not text[start].isdigit()
                attribute = start > 0 and text[start - 1] == "."
                dot = ch == "." and not text[col - 2:col - 1].isdigit()
                # Module names in the import lines too: they are no lists.
                imports = line_no == 2 or (code is MORE_CODE and line_no <= 4)
                if dot or (name_end and (attribute or imports)):
                    # One position per expression: the same one again costs time, not cover.
                    expression = re.split(r"[\s=(,]", text[:col])[-1]
                    if expression not in seen:
                        seen.add(expression)
                        found.append((code, line_no, col))
    return found


# Answers the positions in a fresh interpreter and prints them, with how often jedi was asked
# for a docstring (an item served from the store asks for none).
ANSWER = """
import json, os, sys
import jedi.api.classes as classes
from quorvel_master.python_server import sensewell

asked = [0]
docstring = classes.Completion.docstring
def counting(self, *args, **kwargs):
    asked[0] += 1
    return docstring(self, *args, **kwargs)
classes.Completion.docstring = counting

with open(os.environ["POSITIONS"], encoding="utf-8") as f:
    todo = json.load(f)
bridge = sensewell.LSPBridge()
bridge.request_timeout = None  # cold numpy on a loaded machine may pass 5 s
paths = json.loads(os.environ.get("SEARCH_PATHS", "null"))
if paths is not None:
    bridge.update_sys_paths(paths)
answers = [bridge.get_completions(code, line, column) for code, line, column in todo]
bridge.cleanup()
print(json.dumps({"answers": answers, "asked": asked[0]}))
"""


# jedi's separator between the docstrings of several values a name infers to.
VALUES_RULE = "-" * 30


def comparable(result):
    """A result as jedi's run-to-run variation leaves it comparable. jedi orders overloads, and
    sometimes repeats a name's docstring for each of its values, by sets of its objects, which
    differ between runs; so a docstring counts as the set of its lines, and a first signature
    that is one of the documented ones is marked as such."""
    for item in result["completions"]:
        if "documentation" not in item:
            continue
        lines = set(item["documentation"].split("\n")) - {VALUES_RULE}
        if item.get("detail") is not None and item["label"] + item["detail"] in lines:
            item["detail"] = "<one of the documented signatures>"
        item["documentation"] = sorted(lines)
    return result


def start(tmp_path, todo, store_dir, mode="nowarmup", search_paths=None):
    """Starts ANSWER over `todo` in a fresh interpreter with the given store."""
    todo_file = tmp_path / f"todo-{os.urandom(4).hex()}.json"
    todo_file.write_text(json.dumps(todo), encoding="utf-8")
    env = dict(os.environ, PYTHONPATH=support.ROOT, PYTHONHASHSEED="0",
               POSITIONS=str(todo_file), QUORVEL_CACHE_DIR=str(store_dir),
               QUORVEL_COMPLETION_STORE=mode, SEARCH_PATHS=json.dumps(search_paths))
    return subprocess.Popen([sys.executable, "-c", ANSWER], cwd=support.ROOT, env=env, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def finish(proc, timeout=540):
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        pytest.fail(f"the answering process hung\n{err[-3000:]}")
    assert proc.returncode == 0, err[-3000:]
    return json.loads(out.strip().splitlines()[-1])


def answer(tmp_path, todo, store_dir, **kwargs):
    return finish(start(tmp_path, todo, store_dir, **kwargs))


def rows(store_dir):
    with sqlite3.connect(os.path.join(store_dir, DB_NAME)) as db:
        return db.execute("SELECT name, type, doc, detail FROM items").fetchall()


@pytest.mark.no_asan
@pytest.mark.timeout(1200)
def test_store_off_empty_and_filled_by_another_process_answer_alike(tmp_path):
    todo = positions()
    assert len(todo) >= 200
    store = tmp_path / "store"
    off = start(tmp_path, todo, tmp_path / "unused", mode="off")
    empty = start(tmp_path, todo, store)
    off, empty = finish(off), finish(empty)
    filled = answer(tmp_path, todo, store)

    assert not os.path.exists(tmp_path / "unused")
    for i, (code, line, column) in enumerate(todo):
        where = f"{code.splitlines()[line - 1]!r} at column {column}"
        assert off["answers"][i]["error"] is None, where
        expected = comparable(off["answers"][i])
        assert comparable(empty["answers"][i]) == expected, where
        assert comparable(filled["answers"][i]) == expected, where
    items = sum(len(a["completions"]) for a in off["answers"])
    assert items > 1500
    # Library items came from the store the second time: far fewer docstrings were computed.
    assert filled["asked"] < empty["asked"] / 3, (filled["asked"], empty["asked"])
    assert len(rows(store)) > 1000


def write_package(root, version):
    """A small library: a function defined in the package, one re-exported from a submodule
    and a class; `version` changes every answer."""
    pkg = root / "storepkg"
    pkg.mkdir(parents=True, exist_ok=True)
    (pkg / "__init__.py").write_text(textwrap.dedent(f'''\
        from .sub import beta


        def alpha(x{", y" * version}):
            """Alpha, version {version}."""


        class Gamma:
            """Gamma, version {version}."""
        '''), encoding="utf-8")
    (pkg / "sub.py").write_text(textwrap.dedent(f'''\
        def beta(a{", b" * version}):
            """Beta, version {version}."""
        '''), encoding="utf-8")
    # A later time, so jedi's own parse cache takes the new text as well.
    for name in ("__init__.py", "sub.py"):
        st = os.stat(pkg / name)
        os.utime(pkg / name, ns=(st.st_atime_ns, st.st_mtime_ns + version * 2_000_000_000))


PACKAGE_POSITION = ("import storepkg\nstorepkg.", 2, len("storepkg."))


def by_label(result):
    assert result["error"] is None, result
    return {item["label"]: item for item in result["completions"]}


def expect_version(items, version):
    params = "x" + ", y" * version
    assert items["alpha"]["detail"] == f"({params})"
    assert f"Alpha, version {version}." in items["alpha"]["documentation"]
    assert items["beta"]["detail"] == "(a" + ", b" * version + ")"
    assert f"Beta, version {version}." in items["beta"]["documentation"]
    assert f"Gamma, version {version}." in items["Gamma"]["documentation"]


def test_a_library_changed_on_disk_is_answered_anew(quiet_bridge, tmp_path, monkeypatch):
    store = tmp_path / "store"
    monkeypatch.setenv("QUORVEL_CACHE_DIR", str(store))
    lib = tmp_path / "lib"
    write_package(lib, 1)
    quiet_bridge.update_sys_paths([str(lib)])
    expect_version(by_label(quiet_bridge.get_completions(*PACKAGE_POSITION)), 1)
    assert {"alpha", "beta", "Gamma"} <= {name.split("\x1f")[0] for name, *_ in rows(store)}
    # The in-process items of the first answer, then a change of the package's own file and
    # of the submodule that only the re-exported name depends on.
    expect_version(by_label(quiet_bridge.get_completions(*PACKAGE_POSITION)), 1)
    write_package(lib, 2)
    expect_version(by_label(quiet_bridge.get_completions(*PACKAGE_POSITION)), 2)
    # The next process sees version 2 as well, and so does one after a change of sub.py only.
    child = answer(tmp_path, [PACKAGE_POSITION], store, search_paths=[str(lib)])
    expect_version(by_label(child["answers"][0]), 2)
    sub = lib / "storepkg" / "sub.py"
    st = os.stat(sub)
    sub.write_text('def beta(a, b, c):\n    """Beta, version 3."""\n', encoding="utf-8")
    os.utime(sub, ns=(st.st_atime_ns, st.st_mtime_ns + 2_000_000_000))
    child = answer(tmp_path, [PACKAGE_POSITION], store, search_paths=[str(lib)])
    beta = by_label(child["answers"][0])["beta"]
    assert beta["detail"] == "(a, b, c)" and "Beta, version 3." in beta["documentation"]


def test_other_search_paths_never_get_the_old_items(quiet_bridge, tmp_path, monkeypatch):
    # One library module whose name resolves, through the search path, to one of two helpers.
    monkeypatch.setenv("QUORVEL_CACHE_DIR", str(tmp_path / "store"))
    shared, first, second = (tmp_path / d for d in ("shared", "first", "second"))
    for d in (shared, first, second):
        d.mkdir()
    (shared / "uses.py").write_text("from storehelper import thing\n", encoding="utf-8")
    (first / "storehelper.py").write_text('def thing(a):\n    """First."""\n', encoding="utf-8")
    (second / "storehelper.py").write_text('def thing(b):\n    """Second."""\n', encoding="utf-8")
    position = ("import uses\nuses.", 2, len("uses."))
    for paths, detail, doc in (([shared, first], "(a)", "First."),
                               ([shared, second], "(b)", "Second."),
                               ([shared, first], "(a)", "First.")):
        quiet_bridge.update_sys_paths([str(p) for p in paths])
        thing = by_label(quiet_bridge.get_completions(*position))["thing"]
        assert thing["detail"] == detail and doc in thing["documentation"]


# Answers stdlib completions with the store at STORE_DIR and prints them with the store's
# warnings; run in fresh interpreters, since the warning is given once per process.
BROKEN = """
import json, logging, os
from quorvel_master.python_server import sensewell
warnings = []
class Keep(logging.Handler):
    def emit(self, record):
        if record.levelno >= logging.WARNING:
            warnings.append(record.getMessage())
sensewell.logger.addHandler(Keep())
bridge = sensewell.LSPBridge()
bridge.request_timeout = None  # cold numpy on a loaded machine may pass 5 s
code = "import os\\nos.path.\\nos.path.jo"
answers = [bridge.get_completions(code, 2, 8), bridge.get_completions(code, 3, 10)]
bridge.cleanup()
print(json.dumps({"answers": answers, "warnings": warnings}))
"""


def run_broken(store_dir):
    result = support.run_python(BROKEN, 120, QUORVEL_CACHE_DIR=str(store_dir),
                                QUORVEL_COMPLETION_STORE="nowarmup")
    assert result.returncode == 0, result.stderr
    got = json.loads(result.stdout.strip().splitlines()[-1])
    got["answers"] = [comparable(a) for a in got["answers"]]
    return got


def test_broken_stores_cost_speed_only(tmp_path):
    expected = run_broken(tmp_path / "good")
    assert all(a["error"] is None and a["completions"] for a in expected["answers"])
    assert expected["warnings"] == []

    corrupt = tmp_path / "corrupt"
    corrupt.mkdir()
    (corrupt / DB_NAME).write_bytes(b"this is not a database" * 100)
    not_a_dir = tmp_path / "file"
    not_a_dir.write_text("", encoding="utf-8")
    unwritable = tmp_path / "unwritable"
    (unwritable / DB_NAME).mkdir(parents=True)  # where the file should be, a directory
    for store_dir in (corrupt, not_a_dir / "store", unwritable):
        got = run_broken(store_dir)
        assert got["answers"] == expected["answers"], store_dir
        assert len(got["warnings"]) <= 1, got["warnings"]
        assert all("Completion store unavailable" in w for w in got["warnings"])
    # A corrupt file is replaced by a working store.
    assert rows(corrupt)


# Fills the store from a package of the test's own, with numpy and pandas made unimportable
# so the fill stays small; each docstring takes a while, and a request comes in meanwhile.
FILL = """
import json, logging, os, sys, threading, time
sys.modules["numpy"] = sys.modules["pandas"] = None
sys.path.insert(0, os.environ["LIB"])
import fillpkg
import jedi.api.classes as classes
from quorvel_master.python_server import sensewell

events = []
docstring = classes.Completion.docstring
def slow(self, *args, **kwargs):
    if threading.current_thread().name == "LSP-quorvel-preload":
        time.sleep(0.05)
    return docstring(self, *args, **kwargs)
classes.Completion.docstring = slow
class Keep(logging.Handler):
    def emit(self, record):
        events.append(record.getMessage())
sensewell.logger.addHandler(Keep())
sensewell.logger.setLevel(logging.INFO)
def join_warmups():
    for t in threading.enumerate():
        if t.name == "LSP-quorvel-preload":
            t.join(120)

# The constructor's warm-up without the fill, so the fill runs on the search path set here.
bridge = sensewell.LSPBridge()
bridge.request_timeout = None  # cold numpy on a loaded machine may pass 5 s
bridge.update_sys_paths([os.environ["LIB"]])
join_warmups()
os.environ["QUORVEL_COMPLETION_STORE"] = "on"
del events[:]
bridge.preload_quorvel_module_async()
while not any(e.startswith("[LSP] Preloaded") for e in events):
    time.sleep(0.01)
# Each request interrupts the slice the fill is in, which starts it again with a fresh script.
for _ in range(5):
    time.sleep(0.15)
    result = bridge.get_completions("import os\\nos.pa", 2, 5)
events.append("request answered")
join_warmups()
print(json.dumps({"events": events, "labels": [i["label"] for i in result["completions"]]}))
"""


@pytest.mark.no_asan
def test_warmup_fills_imported_packages_and_lets_requests_in(tmp_path):
    lib = tmp_path / "lib"
    (lib / "fillpkg").mkdir(parents=True)
    (lib / "fillpkg" / "__init__.py").write_text(
        "".join(f'def f{i}(a, b={i}):\n    """Function {i}."""\n\n' for i in range(40)),
        encoding="utf-8")
    store = tmp_path / "store"
    result = support.run_python(FILL, 180, LIB=str(lib), QUORVEL_CACHE_DIR=str(store),
                                QUORVEL_COMPLETION_STORE="nowarmup")
    assert result.returncode == 0, result.stderr
    got = json.loads(result.stdout.strip().splitlines()[-1])
    events = got["events"]
    assert "path" in got["labels"]
    filled = [e for e in events if e.startswith("[LSP] Filled the completion store")]
    assert filled == ["[LSP] Filled the completion store for fillpkg. (40 items computed, "
                      "0 already stored)"], events
    # The request came in while the fill still had most of its items to go.
    assert events.index("request answered") < events.index(filled[0])
    # What the interrupted slices stored is what an uninterrupted fill computes.
    stored = {name.split("\x1f")[0]: (type_, doc, detail) for name, type_, doc, detail in rows(store)}
    for i in range(40):
        assert stored[f"f{i}"] == ("function", f"f{i}(a, b={i})\n\nFunction {i}.",
                                   f"(a, b={i})"), stored.get(f"f{i}")


def test_a_list_follows_its_library_and_the_users_modules(quiet_bridge, tmp_path, monkeypatch):
    # A whole list answers `storepkg.` once it was computed; a module added to the package, a
    # user module of the same name and a rebinding of the name each change the answer.
    monkeypatch.setenv("QUORVEL_CACHE_DIR", str(tmp_path / "store"))
    lib = tmp_path / "lib"
    write_package(lib, 1)
    quiet_bridge.update_sys_paths([str(lib)])
    code, line, column = PACKAGE_POSITION
    first = quiet_bridge.get_completions(code, line, column)
    assert quiet_bridge.get_completions(code, line, column) == first
    with sqlite3.connect(tmp_path / "store" / DB_NAME) as db:
        assert db.execute("SELECT COUNT(*) FROM lists").fetchone()[0] >= 1
    (lib / "storepkg" / "added.py").write_text("X = 1\n", encoding="utf-8")
    assert "added" in by_label(quiet_bridge.get_completions(code, line, column))
    user = {"storepkg": "def mine():\n    pass\n"}
    assert list(by_label(quiet_bridge.get_completions(code, line, column, modules=user))) == [
        "mine"]


# Texts where the name before the dot is not simply the imported module, or the cursor is not
# in code: each must get jedi's own answer, not the list of `json.`.
NOT_THE_MODULE = [
    "import json\njson = None\njson.",
    "import json\ndef f(json):\n    return json.",
    "import json\ndef f():\n    global json\n    json = 1\njson.",
    "import json as j\nimport os as j\nj.",
    "try:\n    import json as j\nexcept ImportError:\n    j = None\nj.",
    "import json\n[json for json in range(3)]\njson.",
    "json.\nimport json",
    "import json\n# json.",
    "import json\ns = 'json.",
    "import json\nx = f'{json.",
    "import json\nfrom os import *\njson.",
    "import json\nclass C:\n    json = 1\n    x = json.",
    "from os import path as json\njson.",
    "import os.path\nos.",
    "import os\nos.",
]


def test_lists_answer_only_the_imported_module(quiet_bridge, tmp_path, monkeypatch):
    monkeypatch.setenv("QUORVEL_CACHE_DIR", str(tmp_path / "store"))
    def ask(code):
        rows_ = code.split("\n")
        return comparable(quiet_bridge.get_completions(code, len(rows_), len(rows_[-1])))
    monkeypatch.setenv("QUORVEL_COMPLETION_STORE", "off")
    expected = [ask(code) for code in NOT_THE_MODULE]
    monkeypatch.setenv("QUORVEL_COMPLETION_STORE", "nowarmup")
    ask("import json\njson.")
    for _ in range(2):  # the second time from lists where there are any
        assert [ask(code) for code in NOT_THE_MODULE] == expected
