"""Builds the package's compiled part, cvt._cvt, with the project's CMake build.

CMAKE_ARGS in the environment adds CMake options (for instance -DCVT_WITH_CUDA=OFF).
"""

import os
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


class CMakeBuild(build_ext):
    def build_extension(self, extension):
        build = Path(self.build_temp).resolve() / "cmake"
        options = ["-DCMAKE_BUILD_TYPE=Release", f"-DPython3_EXECUTABLE={sys.executable}"]
        try:
            import pybind11  # a pip-installed pybind11 carries its own CMake files

            options.append(f"-Dpybind11_DIR={pybind11.get_cmake_dir()}")
        except ImportError:
            pass  # the system's (Debian: pybind11-dev)
        options += shlex.split(os.environ.get("CMAKE_ARGS", ""))
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), *options], check=True)
        subprocess.run(["cmake", "--build", str(build), "--target", "_cvt", "-j", str(os.cpu_count() or 1)],
                       check=True)
        built = next((build / "python" / "cvt").glob("_cvt*.so"), None)
        if built is None:
            sys.exit("the CMake build made no Python module: see its warnings above")
        target = Path(self.get_ext_fullpath(extension.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


setup(
    packages=["cvt"],
    package_dir={"": "python"},
    package_data={"cvt": ["py.typed", "_cvt.pyi"]},
    ext_modules=[Extension("cvt._cvt", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
)
