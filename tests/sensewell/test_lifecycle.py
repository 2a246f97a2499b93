"""LSPBridge's lifecycle: construction and warm-up, cleanup, search paths, hover mode, and the
mirror of the user's modules in the temporary directory."""

import logging
import os
import threading
import types

import jedi
import pytest

DEBUG, INFO, WARNING, ERROR = logging.DEBUG, logging.INFO, logging.WARNING, logging.ERROR
SYNCED = "[LSP] Synced module '%s' to %s"
SYNC_FAILED = "[LSP] Failed to sync module '%s': %s"
DELETE_FAILED = "[LSP] Failed to delete module file '%s': %s"
STUB_NAMES = {"Excel", "Context", "GetSetting", "Union", "Intersect", "OfficeJsObject",
              "OfficeJsArray", "OfficeJsDict", "OfficeJsTransaction"}  # fmt: skip


def files(bridge):
    return sorted(os.listdir(bridge._temp_dir.name))


def read(bridge, name):
    with open(os.path.join(bridge._temp_dir.name, name), encoding="utf-8") as f:
        return f.read()


def mtime(bridge, name):
    return os.stat(os.path.join(bridge._temp_dir.name, name)).st_mtime_ns


class FakeJedi:
    """Stands in for jedi in the warm-up: records the calls and answers with `result`."""

    def __init__(self, result=(), error=None):
        self.result, self.error, self.calls = result, error, []
        self.Project = jedi.Project

    def Script(self, **kwargs):
        self.calls.append(("Script", kwargs))
        fake = self

        class Script:
            def complete(self, **kw):
                fake.calls.append(("complete", kw))
                if fake.error:
                    raise fake.error
                return iter(fake.result)

        return Script()


# --- construction and warm-up ---


def test_constructor_state_and_log(sensewell, make_bridge, lsp_log):
    b = make_bridge()
    assert list(vars(b)) == ["_workspace_path", "_temp_dir", "_python_server_path",
                             "_stubs_path", "_jedi_project", "_hover_mode"]  # fmt: skip
    server = os.path.dirname(os.path.abspath(sensewell.__file__))
    assert b._workspace_path is None and b._hover_mode == "compact"
    assert b._python_server_path == server
    assert b._stubs_path == os.path.join(server, "stubs")
    assert os.path.isdir(b._temp_dir.name) and files(b) == []
    assert str(b._jedi_project.path) == b._temp_dir.name
    assert b._jedi_project.added_sys_path == [b._stubs_path]
    assert lsp_log.entries()[:2] == [
        (INFO, "[LSP] LSPBridge initialized (pylsp_available=%s, pyflakes_available=%s, "
               "temp_dir=%s, python_server=%s, stubs=%s)",
         (True, True, b._temp_dir.name, server, b._stubs_path)),
        (DEBUG, "[LSP] Started async quorvel module preloading", ()),
    ]  # fmt: skip


def test_globals_are_looked_up_at_each_use(sensewell, quiet_bridge, monkeypatch, tmp_path):
    made = []

    class Dir:
        def __init__(self):
            self.name = str(tmp_path)
            made.append(self)

        def cleanup(self):
            pass

    lines = []
    logger = types.SimpleNamespace(**{lvl: (lambda lvl: lambda *a, **k: lines.append((lvl, a)))(lvl)
                                      for lvl in ("debug", "info", "warning", "error")})  # fmt: skip
    monkeypatch.setattr(sensewell, "tempfile", types.SimpleNamespace(TemporaryDirectory=Dir))
    monkeypatch.setattr(sensewell, "logger", logger)
    monkeypatch.setattr(sensewell, "PYLSP_AVAILABLE", "no-pylsp")
    b = sensewell.LSPBridge()
    assert b._temp_dir is made[0]
    assert lines[0][0] == "info" and lines[0][1][1:4] == ("no-pylsp", True, str(tmp_path))
    b.sync_modules({"m": "x = 1\n"})
    assert (tmp_path / "m.py").read_text() == "x = 1\n"
    b.cleanup()


def test_warmup_thread(sensewell, quiet_bridge, monkeypatch, lsp_log):
    started = []

    class Thread:
        def __init__(self, **kwargs):
            self.kwargs = kwargs

        def start(self):
            started.append(self.kwargs)

    monkeypatch.undo()  # brings back the real method that quiet_bridge replaced
    monkeypatch.setattr(sensewell, "threading", types.SimpleNamespace(Thread=Thread))
    assert quiet_bridge.preload_quorvel_module_async() is None
    (kwargs,) = started
    assert sorted(kwargs) == ["daemon", "name", "target"]
    assert kwargs["name"] == "LSP-quorvel-preload" and kwargs["daemon"] is True
    assert kwargs["target"] == quiet_bridge.preload_quorvel_module
    assert lsp_log.entries() == [(DEBUG, "[LSP] Started async quorvel module preloading", ())]


def test_warmup_completes_on_the_stubs(make_bridge, lsp_log, warmup_done):
    b = make_bridge()
    warmup_done()
    (record,) = lsp_log.records(warmup=True, level=INFO)[1:]
    assert record.threadName == "LSP-quorvel-preload"
    assert record.msg == "[LSP] Preloaded quorvel module cache (%d completions found)"
    assert record.args[0] >= len(STUB_NAMES)
    assert b.preload_quorvel_module() is None
    assert lsp_log.records()[-1].args == record.args


@pytest.mark.parametrize(
    "fake, level, msg",
    [
        (FakeJedi(result=[]), INFO, "[LSP] Preloaded quorvel module cache (%d completions found)"),
        (FakeJedi(result="abc"), INFO,
         "[LSP] Preloaded quorvel module cache (%d completions found)"),
        (FakeJedi(error=RuntimeError("boom")), WARNING, "[LSP] Failed to preload quorvel module: %s"),
    ],
)  # fmt: skip
def test_preload_outcomes(sensewell, quiet_bridge, monkeypatch, lsp_log, fake, level, msg):
    monkeypatch.setattr(sensewell, "jedi", fake)
    assert quiet_bridge.preload_quorvel_module() is None
    assert fake.calls == [
        ("Script", {"code": "import quorvel\nquorvel.", "path": "<warmup>",
                    "project": quiet_bridge._jedi_project}),
        ("complete", {"line": 2, "column": 8}),
    ]  # fmt: skip
    (record,) = lsp_log.records()
    assert (record.levelno, record.msg) == (level, msg)
    expected = fake.error if fake.error else len(fake.result)
    assert record.args == (expected,)


def test_preload_lets_non_exceptions_through(sensewell, quiet_bridge, monkeypatch):
    monkeypatch.setattr(sensewell, "jedi", FakeJedi(error=KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        quiet_bridge.preload_quorvel_module()


def test_stub_completion_before_and_after_update_sys_paths(quiet_bridge, warmup_done):
    warmup_done()

    def names():
        script = jedi.Script(code="import quorvel\nquorvel.", path="<t>",
                             project=quiet_bridge._jedi_project)
        return {c.name for c in script.complete(line=2, column=8)}

    assert STUB_NAMES <= names()
    quiet_bridge.update_sys_paths([quiet_bridge._python_server_path])
    assert quiet_bridge._python_server_path in quiet_bridge._jedi_project.added_sys_path
    assert STUB_NAMES <= names()


def test_process_exits_cleanly_while_warmup_runs(isolated):
    # A daemon warm-up stopped at interpreter exit must not take the process down.
    for _ in range(4):
        result = isolated(
            """
            from quorvel_master.python_server import sensewell
            sensewell.LSPBridge().cleanup()
            """
        )
        assert result.returncode == 0, result.stderr


def test_requests_wait_for_a_slow_warmup(isolated):
    # The warm-up is held inside jedi until a second jedi user has started; that one must
    # wait for the lock (without the GIL, or the warm-up could never finish) and then answer.
    result = isolated(
        """
        import threading, time
        from quorvel_master.python_server import sensewell
        real = sensewell.jedi
        events, inside, release = [], threading.Event(), threading.Event()

        class Script:
            def __init__(self, **kwargs):
                self.script = real.Script(**kwargs)
            def complete(self, **kwargs):
                who = threading.current_thread().name
                events.append(("enter", who))
                if who == "LSP-quorvel-preload":
                    inside.set()
                    release.wait(30)
                found = self.script.complete(**kwargs)
                events.append(("leave", who))
                return found

        class Jedi:
            Project = real.Project
        Jedi.Script = Script
        sensewell.jedi = Jedi
        counts = []
        sensewell.logger.info = lambda msg, *args: counts.append(args)
        b = sensewell.LSPBridge()
        assert inside.wait(30)
        request = threading.Thread(target=b.preload_quorvel_module, name="request")
        request.start()
        time.sleep(0.3)  # give the request the chance to run into jedi if nothing stopped it
        release.set()
        request.join(30)
        print(events)
        print(counts[1:])
        b.cleanup()
        """,
        timeout=90,
    )
    assert result.returncode == 0, result.stderr
    events, counts = result.stdout.splitlines()[:2]
    assert eval(events) == [("enter", "LSP-quorvel-preload"), ("leave", "LSP-quorvel-preload"),
                            ("enter", "request"), ("leave", "request")]  # fmt: skip
    first, second = eval(counts)
    assert first == second and first[0] >= len(STUB_NAMES)


# --- cleanup, workspace, search paths, hover mode ---


def test_cleanup_twice_and_afterwards(quiet_bridge, lsp_log):
    path = quiet_bridge._temp_dir.name
    project = quiet_bridge._jedi_project
    quiet_bridge.sync_modules({"m": "x = 1\n"})
    lsp_log.clear()
    assert quiet_bridge.cleanup() is None
    assert not os.path.exists(path) and quiet_bridge._temp_dir is None
    assert quiet_bridge._jedi_project is project
    quiet_bridge.cleanup()
    assert lsp_log.entries() == [(INFO, "[LSP] Cleaned up temporary directory", ())]
    with pytest.raises(AttributeError):
        quiet_bridge.sync_modules({"m": "x = 2\n"})
    with pytest.raises(AttributeError):
        quiet_bridge.delete_module("m")
    quiet_bridge.sync_modules({})  # nothing to write, nothing to fail
    quiet_bridge.update_sys_paths([])
    assert quiet_bridge._jedi_project.path is None


@pytest.mark.parametrize("error", [OSError("busy"), KeyboardInterrupt()])
def test_cleanup_failure(quiet_bridge, lsp_log, error):
    real = quiet_bridge._temp_dir

    class Failing:
        name = real.name

        def cleanup(self):
            raise error

    quiet_bridge._temp_dir = Failing()
    if isinstance(error, Exception):
        quiet_bridge.cleanup()
        assert lsp_log.entries() == [
            (WARNING, "[LSP] Failed to cleanup temporary directory: %s", (error,))
        ]
    else:
        with pytest.raises(KeyboardInterrupt):
            quiet_bridge.cleanup()
    assert quiet_bridge._temp_dir is None
    real.cleanup()


def test_set_workspace(quiet_bridge, lsp_log):
    project = quiet_bridge._jedi_project
    assert quiet_bridge.set_workspace(workspace_path="/some/where") is None
    assert quiet_bridge._workspace_path == "/some/where"
    assert quiet_bridge._jedi_project is project
    assert lsp_log.entries() == [
        (INFO, "[LSP] Workspace path recorded: %s (using temp_dir for jedi.Project)",
         ("/some/where",))
    ]  # fmt: skip
    with pytest.raises(TypeError, match="'workspace_path'.*expected str, got NoneType"):
        quiet_bridge.set_workspace(None)


UPDATED = "[LSP] Updated jedi project with %d total paths (%d package paths, stubs path: %s)"


def test_update_sys_paths(quiet_bridge, lsp_log):
    stubs, server = quiet_bridge._stubs_path, quiet_bridge._python_server_path
    quiet_bridge.update_sys_paths([])
    assert quiet_bridge._jedi_project.added_sys_path == [stubs, server]
    assert str(quiet_bridge._jedi_project.path) == quiet_bridge._temp_dir.name
    quiet_bridge.update_sys_paths(new_paths=["/a", "/b", "/a", stubs])
    assert quiet_bridge._jedi_project.added_sys_path == [stubs, server, "/a", "/b"]
    quiet_bridge.update_sys_paths(["/p", "/p", stubs])
    assert quiet_bridge._jedi_project.added_sys_path == [stubs, server, "/p"]
    assert lsp_log.entries() == [
        (INFO, UPDATED, (2, 0, stubs)),
        (INFO, UPDATED, (4, 4, stubs)),
        (INFO, UPDATED, (3, 3, stubs)),
    ]
    for bad, got in [(None, "NoneType"), (("/a",), "tuple")]:
        with pytest.raises(TypeError, match=f"'new_paths'.*expected list, got {got}"):
            quiet_bridge.update_sys_paths(bad)


def test_update_sys_paths_failure_keeps_the_project(sensewell, quiet_bridge, monkeypatch, lsp_log):
    project = quiet_bridge._jedi_project
    error = ValueError("no project")

    def failing(**kwargs):
        raise error

    monkeypatch.setattr(sensewell, "jedi", types.SimpleNamespace(Project=failing))
    assert quiet_bridge.update_sys_paths(["/x"]) is None
    assert quiet_bridge._jedi_project is project
    (record,) = lsp_log.records()
    assert (record.levelno, record.msg, record.args) == (
        ERROR, "[LSP] Failed to update sys paths: %s", (error,),
    )  # fmt: skip
    assert record.exc_info[1] is error and record.exc_info[2] is not None


def test_set_hover_mode(quiet_bridge, lsp_log):
    quiet_bridge.set_hover_mode("detailed")
    quiet_bridge.set_hover_mode("Compact")
    assert quiet_bridge._hover_mode == "detailed"
    quiet_bridge.set_hover_mode(mode="compact")
    assert quiet_bridge._hover_mode == "compact"
    assert lsp_log.entries() == [
        (INFO, "[LSP] Hover mode set to: detailed", ()),
        (WARNING, "[LSP] Invalid hover mode 'Compact', keeping current: detailed", ()),
        (INFO, "[LSP] Hover mode set to: compact", ()),
    ]
    with pytest.raises(TypeError, match="'mode'.*expected str, got int"):
        quiet_bridge.set_hover_mode(1)


# --- module sync ---


def test_sync_merge_order_and_logs(quiet_bridge, lsp_log):
    modules = {"a": "A1", "c": "C"}
    quiet_bridge.sync_modules(modules, {"b": "B", "a": "A2"})
    assert modules == {"a": "A1", "c": "C"}
    d = quiet_bridge._temp_dir.name
    assert lsp_log.entries() == [
        (DEBUG, SYNCED, ("a", os.path.join(d, "a.py"))),
        (DEBUG, SYNCED, ("c", os.path.join(d, "c.py"))),
        (DEBUG, SYNCED, ("b", os.path.join(d, "b.py"))),
    ]
    assert [read(quiet_bridge, f) for f in files(quiet_bridge)] == ["A2", "B", "C"]


def test_sync_without_dirty_files(quiet_bridge, lsp_log):
    quiet_bridge.sync_modules({})
    assert lsp_log.entries() == [] and files(quiet_bridge) == []
    quiet_bridge.sync_modules({"a": "1"}, None)
    quiet_bridge.sync_modules(modules={"b": "2"}, dirty_files={})
    # Keys of other types are formatted; dots stay in the file name.
    quiet_bridge.sync_modules({5: "five", "pkg.mod": "dotted"})
    assert files(quiet_bridge) == ["5.py", "a.py", "b.py", "pkg.mod.py"]
    assert lsp_log.entries()[2][2][0] == 5


def test_sync_argument_types(quiet_bridge):
    with pytest.raises(TypeError, match="'modules'.*expected dict, got NoneType"):
        quiet_bridge.sync_modules(None)
    with pytest.raises(TypeError, match="'dirty_files'.*expected dict, got list"):
        quiet_bridge.sync_modules({}, [])

    class Sub(dict):
        pass

    with pytest.raises(TypeError, match=r"expected dict, got Sub\)\. Note: subclasses"):
        quiet_bridge.sync_modules(Sub())


def test_sync_failure_of_one_module(quiet_bridge, lsp_log):
    quiet_bridge.sync_modules({"a": "old a\n"})
    lsp_log.clear()
    quiet_bridge.sync_modules({"a": 42, "b": "bad \ud800", "c": "fine"})
    (a, b), c = lsp_log.records()[:2], lsp_log.records()[2]
    assert (a.levelno, a.msg, a.args[0]) == (WARNING, SYNC_FAILED, "a")
    assert isinstance(a.args[1], TypeError)
    assert (b.msg, b.args[0], type(b.args[1])) == (SYNC_FAILED, "b", UnicodeEncodeError)
    assert c.msg == SYNCED
    # The failed write left the previous file whole and no temporary file behind.
    assert files(quiet_bridge) == ["a.py", "c.py"]
    assert read(quiet_bridge, "a.py") == "old a\n"


def test_interrupted_write_leaves_the_previous_file(sensewell, quiet_bridge, monkeypatch, lsp_log):
    quiet_bridge.sync_modules({"m": "complete text\n"})

    def torn_open(path, mode, **kwargs):
        f = open(path, mode, **kwargs)
        f.write("half")
        f.flush()
        raise OSError("disk full")

    monkeypatch.setattr(sensewell, "open", torn_open, raising=False)
    quiet_bridge.sync_modules({"m": "new text\n"})
    assert lsp_log.records()[-1].msg == SYNC_FAILED
    assert files(quiet_bridge) == ["m.py"]
    assert read(quiet_bridge, "m.py") == "complete text\n"


@pytest.mark.parametrize("name", ["../../x", "../x", "/tmp/x", "a/b", "a\\b", "a\0b", "", ".", ".."])
def test_unsafe_module_names_are_refused(quiet_bridge, lsp_log, name):
    parent = os.path.dirname(quiet_bridge._temp_dir.name)
    before = set(os.listdir(parent))
    quiet_bridge.sync_modules({name: "escaped = True\n", "ok": "x = 1\n"})
    assert set(os.listdir(parent)) == before
    assert files(quiet_bridge) == ["ok.py"]
    first, second = lsp_log.records()
    assert (first.levelno, first.msg, first.args[0]) == (WARNING, SYNC_FAILED, name)
    assert isinstance(first.args[1], ValueError)
    assert second.msg == SYNCED
    assert quiet_bridge.delete_module(name) is None
    last = lsp_log.records()[-1]
    assert (last.levelno, last.msg, last.args[0]) == (WARNING, DELETE_FAILED, name)
    assert isinstance(last.args[1], ValueError)


def test_delete_cannot_remove_outside_files(quiet_bridge):
    outside = os.path.join(os.path.dirname(quiet_bridge._temp_dir.name), "keep_me_lsp.py")
    with open(outside, "w") as f:
        f.write("x")
    try:
        name = os.path.relpath(outside[:-3], quiet_bridge._temp_dir.name)
        quiet_bridge.delete_module(name)
        assert os.path.exists(outside)
    finally:
        os.remove(outside)


def test_delete_module(quiet_bridge, lsp_log):
    quiet_bridge.delete_module("never")
    assert lsp_log.entries() == []
    quiet_bridge.sync_modules({"m": "x"})
    lsp_log.clear()
    quiet_bridge.delete_module(module_name="m")
    quiet_bridge.delete_module("m")
    assert files(quiet_bridge) == []
    assert lsp_log.entries() == [(DEBUG, "[LSP] Deleted module file '%s'", ("m",))]
    os.mkdir(os.path.join(quiet_bridge._temp_dir.name, "d.py"))
    quiet_bridge.delete_module("d")
    (record,) = lsp_log.records()[1:]
    assert (record.levelno, record.msg, record.args[0]) == (WARNING, DELETE_FAILED, "d")
    assert isinstance(record.args[1], OSError)
    with pytest.raises(TypeError, match="'module_name'.*expected str, got int"):
        quiet_bridge.delete_module(5)


# --- unchanged files are not rewritten; changed ones get a later time ---


def test_unchanged_module_is_not_rewritten(quiet_bridge, lsp_log):
    quiet_bridge.sync_modules({"m": "x = 1\n"})
    first = os.stat(os.path.join(quiet_bridge._temp_dir.name, "m.py"))
    for _ in range(3):
        quiet_bridge.sync_modules({"m": "x = 1\n"})
    again = os.stat(os.path.join(quiet_bridge._temp_dir.name, "m.py"))
    assert (again.st_mtime_ns, again.st_ino) == (first.st_mtime_ns, first.st_ino)
    assert [e[1] for e in lsp_log.entries()] == [SYNCED] * 4


def test_changed_module_gets_a_strictly_later_time(quiet_bridge):
    path = os.path.join(quiet_bridge._temp_dir.name, "m.py")
    quiet_bridge.sync_modules({"m": "v0"})
    # Many changes in a row fall within one tick of the file system's clock.
    times = [mtime(quiet_bridge, "m.py")]
    for i in range(1, 20):
        quiet_bridge.sync_modules({"m": f"v{i}"})
        times.append(mtime(quiet_bridge, "m.py"))
    assert all(a < b for a, b in zip(times, times[1:]))
    assert read(quiet_bridge, "m.py") == "v19"
    # A file whose time lies ahead of the clock is still followed by a later one.
    ahead = times[-1] + 5_000_000_000
    os.utime(path, ns=(ahead, ahead))
    quiet_bridge.sync_modules({"m": "v20"})
    assert os.stat(path).st_mtime > ahead / 1e9


@pytest.mark.parametrize("change", ["edit", "delete"])
def test_outside_changes_are_rewritten(quiet_bridge, change):
    path = os.path.join(quiet_bridge._temp_dir.name, "m.py")
    quiet_bridge.sync_modules({"m": "x = 1\n"})
    if change == "edit":
        with open(path, "w") as f:
            f.write("x = 2\n")
    else:
        quiet_bridge.delete_module("m")
    quiet_bridge.sync_modules({"m": "x = 1\n"})
    assert read(quiet_bridge, "m.py") == "x = 1\n"


def test_jedi_sees_a_change_within_one_tick(quiet_bridge, warmup_done):
    warmup_done()
    d = quiet_bridge._temp_dir.name

    def members():
        script = jedi.Script(code="import m\nm.", path=os.path.join(d, "main.py"),
                             project=quiet_bridge._jedi_project)
        return {c.name for c in script.complete(line=2, column=2)} & {"first", "second"}

    quiet_bridge.sync_modules({"m": "def first(): pass\n"})
    assert members() == {"first"}
    # Pin the parsed file's time ahead of the clock: the next write lands in the "same tick".
    ahead = mtime(quiet_bridge, "m.py") + 2_000_000_000
    os.utime(os.path.join(d, "m.py"), ns=(ahead, ahead))
    assert members() == {"first"}
    quiet_bridge.sync_modules({"m": "def second(): pass\n"})
    assert members() == {"second"}


def test_module_name_subclass_cannot_change_its_text(quiet_bridge):
    # A str subclass key whose formatting or concatenation gives another text: the file is
    # named by the text that was checked, made once.
    class Sly(str):
        def __format__(self, spec):
            return Sneaky(str(self))

    class Sneaky(str):
        def __add__(self, other):
            return "../escaped_lsp" + other

        def __str__(self):
            return "../escaped_lsp"

    parent = os.path.dirname(quiet_bridge._temp_dir.name)
    assert not os.path.exists(os.path.join(parent, "escaped_lsp.py"))
    # Sneaky formats as its str(), which the check refuses.
    try:
        quiet_bridge.sync_modules({Sly("inside"): "x = 1\n", Sneaky("plain"): "y = 2\n"})
        assert not os.path.exists(os.path.join(parent, "escaped_lsp.py"))
    finally:
        if os.path.exists(os.path.join(parent, "escaped_lsp.py")):
            os.remove(os.path.join(parent, "escaped_lsp.py"))
    assert files(quiet_bridge) == ["inside.py"]
    assert read(quiet_bridge, "inside.py") == "x = 1\n"
