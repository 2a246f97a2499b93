"""The package as a kernel's environment gets it: one wheel built from a clean copy of the
sources, installed into a fresh virtual environment and used from a folder outside the tree."""

import glob
import importlib.util
import os
import shutil
import subprocess
import sys
import textwrap
import zipfile

import pytest

import support

# The compilers under the sanitizer preload would be sanitized too; one build takes minutes.
pytestmark = [pytest.mark.no_asan, pytest.mark.slow, pytest.mark.timeout(1800)]

TOOLS = ["cmake", "ninja", "g++", "git"]
PYTHON_TOOLS = ["build", "ensurepip", "pip", "setuptools", "venv", "wheel"]
SITE = os.path.join("lib", "python3.11", "site-packages")


def missing_tools():
    return ([t for t in TOOLS if shutil.which(t) is None]
            + [m for m in PYTHON_TOOLS if importlib.util.find_spec(m) is None])


def clean_env():
    """No way back into the repository: neither its path nor the test run's own settings."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "PYTEST"))}
    return env


def run(args, cwd, timeout=1500):
    proc = subprocess.run(args, cwd=cwd, env=clean_env(), capture_output=True, text=True,
                          timeout=timeout)
    assert proc.returncode == 0, f"{args}\n{proc.stdout[-4000:]}\n{proc.stderr[-4000:]}"
    return proc.stdout


def copy_checkout(dest):
    """The files a clean checkout has (tracked, or new and not ignored): no built modules."""
    listed = run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                 support.ROOT)
    for rel in filter(None, listed.split("\0")):
        src = os.path.join(support.ROOT, rel)
        if os.path.isfile(src):
            os.makedirs(os.path.join(dest, os.path.dirname(rel)), exist_ok=True)
            shutil.copy2(src, os.path.join(dest, rel))


class Installed:
    def __init__(self, base):
        self.src = os.path.join(base, "src")
        self.venv = os.path.join(base, "venv")
        self.python = os.path.join(self.venv, "bin", "python")
        self.elsewhere = os.path.join(base, "elsewhere")
        os.makedirs(self.elsewhere)
        copy_checkout(self.src)
        run([sys.executable, "-m", "venv", "--system-site-packages", self.venv], base)
        run([self.python, "-m", "build", "--no-isolation", "--wheel",
             "--outdir", os.path.join(base, "dist"), self.src], base)
        (self.wheel,) = glob.glob(os.path.join(base, "dist", "*.whl"))
        run([self.python, "-m", "pip", "install", "--no-index", self.wheel], base)

    def python_elsewhere(self, code, timeout=300):
        return run([self.python, "-c", textwrap.dedent(code)], self.elsewhere, timeout)


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    missing = missing_tools()
    if missing:
        pytest.skip("cannot build the wheel here: missing " + ", ".join(missing))
    return Installed(str(tmp_path_factory.mktemp("wheel")))


def test_wheel_holds_the_package_and_nothing_else(installed):
    names = set(zipfile.ZipFile(installed.wheel).namelist())
    server = "quorvel_master/python_server/"
    expected = {
        "quorvel_master/__init__.py", "quorvel_master/logging_config.py",
        "quorvel_master/py.typed", server + "__init__.py", server + "quorvel/__init__.py",
        server + "sensewell.pyi", server + "quorvel/proxwire.pyi",
        server + "stubs/quorvel/__init__.py", server + "stubs/quorvel/__init__.pyi",
    }
    assert expected <= names
    assert len([n for n in names if n.startswith(server + "sensewell.cpython-311")]) == 1
    assert len([n for n in names if n.startswith(server + "quorvel/proxwire.cpython-311")]) == 1
    assert not [n for n in names if n.endswith((".cpp", ".h", ".txt", ".toml"))
                and not n.endswith("top_level.txt")]


def test_modules_import_and_work_outside_the_repository(installed):
    out = installed.python_elsewhere("""
        import os, threading
        from quorvel_master.python_server.quorvel import proxwire as pw
        from quorvel_master.python_server import sensewell
        import quorvel_master.logging_config

        for module in (pw, sensewell, quorvel_master.logging_config):
            print(module.__file__)

        def answer(env):
            if env["method"] == "DEL":
                return
            result = ({"type": "Range", "value": 11, "isSpec": True} if env["method"] == "GET"
                      else {"type": "Array", "id": 12, "value": [a["value"] for a in env["args"]]})
            threading.Thread(target=pw.messaging.on_message, args=(
                {"requestId": env["requestId"], "ok": True, "result": result},)).start()

        pw.messaging.set_send_handler(answer)
        rng = pw.Excel.workbook
        assert repr(rng) == "<OfficeJsObject Range id=11>", rng
        echoed = pw.GetSetting(1.5, "x")
        assert echoed == [1.5, "x"], echoed

        bridge = sensewell.LSPBridge()
        assert os.path.isfile(os.path.join(bridge._stubs_path, "quorvel", "__init__.pyi"))
        items = bridge.get_completions("import quorvel\\nquorvel.", 2, 8)["completions"]
        assert "Excel" in [i["label"] for i in items], items
        markers = bridge.get_diagnostics("import os\\n")["diagnostics"]
        assert [m["severity"] for m in markers] == [4], markers
        for thread in threading.enumerate():
            if thread.name == "LSP-quorvel-preload":
                thread.join(60)
        bridge.cleanup()
        """)
    site = os.path.join(installed.venv, SITE, "quorvel_master")
    assert [os.path.dirname(p) for p in out.split()] == [
        os.path.join(site, "python_server", "quorvel"), os.path.join(site, "python_server"),
        site]


def test_type_checker_reads_the_installed_stubs(installed):
    with open(os.path.join(installed.elsewhere, "user.py"), "w", encoding="utf-8") as f:
        f.write(textwrap.dedent("""
            from quorvel_master.python_server import sensewell
            from quorvel_master.python_server.quorvel import proxwire

            reveal_type(proxwire.messaging.register_callable(print))
            reveal_type(sensewell.LSPBridge().get_hover("x", 1, 0))
            proxwire.messaging.get_callable(5)
            """))
    proc = subprocess.run(
        [installed.python, "-m", "mypy", "--no-incremental", "--no-error-summary", "user.py"],
        cwd=installed.elsewhere, env=clean_env(), capture_output=True, text=True, timeout=600)
    assert proc.stdout.splitlines() == [
        'user.py:5: note: Revealed type is "builtins.str"',
        'user.py:6: note: Revealed type is "builtins.dict[builtins.str, Any]"',
        'user.py:7: error: Argument 1 to "get_callable" of "Messaging" has incompatible type '
        '"int"; expected "str"  [arg-type]',
    ], proc.stdout + proc.stderr


def test_pip_install_from_the_source_tree(installed):
    """`pip install .` goes through the same CMake build, here already done once."""
    run([installed.python, "-m", "pip", "install", "--no-index", "--no-build-isolation",
         "--force-reinstall", "--no-deps", installed.src], installed.elsewhere)
    out = installed.python_elsewhere("""
        from quorvel_master.python_server.quorvel import proxwire
        from quorvel_master.python_server import sensewell
        print(proxwire.__file__, sensewell.LSPBridge.__name__, proxwire.UNIQUE_TRANSACTION_ID)
        """)
    assert out.split()[0].startswith(os.path.join(installed.venv, SITE))
    assert out.split()[1:] == ["LSPBridge", "5"]
