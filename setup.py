"""Builds both extension modules with the project's own CMake build, the one `make build`
runs, and puts each built module where setuptools packs it into the wheel."""

import glob
import os
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))


class CMakeExtension(Extension):
    """An extension module that CMakeLists.txt builds; setuptools compiles nothing itself."""

    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    """One configure, build and install of the CMake project for all the modules."""

    def run(self):
        build_dir = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        stage = os.path.join(build_dir, "stage")
        configure = ["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
                     f"-DPython_EXECUTABLE={sys.executable}"]
        if shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        if os.environ.get("CI"):
            configure.append("-DQUORVEL_WERROR=ON")
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", build_dir, "--parallel", str(os.cpu_count() or 1)],
                       check=True)
        # The install rules lay the modules out as the package tree has them.
        subprocess.run(["cmake", "--install", build_dir, "--prefix", stage], check=True)
        for ext in self.extensions:
            *package, name = ext.name.split(".")
            built = glob.glob(os.path.join(stage, *package, name + ".*.so"))
            if len(built) != 1:
                raise RuntimeError(f"the CMake build made {len(built)} files for {ext.name}")
            target = self.get_ext_fullpath(ext.name)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            self.copy_file(built[0], target)


setup(
    packages=[
        "quorvel_master",
        "quorvel_master.python_server",
        "quorvel_master.python_server.quorvel",
    ],
    # Only what the kernel needs beside the modules: no C++ sources, no tests.
    include_package_data=False,
    package_data={
        "quorvel_master": ["py.typed"],
        "quorvel_master.python_server": [
            "sensewell.pyi",
            "stubs/quorvel/__init__.py",
            "stubs/quorvel/__init__.pyi",
        ],
        "quorvel_master.python_server.quorvel": ["proxwire.pyi"],
    },
    ext_modules=[
        CMakeExtension("quorvel_master.python_server.quorvel.proxwire"),
        CMakeExtension("quorvel_master.python_server.sensewell"),
    ],
    cmdclass={"build_ext": CMakeBuild},
)
