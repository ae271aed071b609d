#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine, and configures the build
# directory given as $1 (default: build) with whatever further CMake options follow.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
command -v cmake >/dev/null || missing+=(cmake)
command -v g++ >/dev/null || missing+=(g++)
[ -f /usr/include/boost/context/fiber.hpp ] || missing+=(libboost-context-dev)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ -f /usr/include/CLI/CLI.hpp ] || missing+=(libcli11-dev)
[ -f /usr/include/nlohmann/json.hpp ] || missing+=(nlohmann-json3-dev)
[ -f /usr/include/zlib.h ] || missing+=(zlib1g-dev)
[ -f /usr/include/x86_64-linux-gnu/tiff.h ] || [ -f /usr/include/tiff.h ] || missing+=(libtiff-dev)
[ -f /usr/include/png.h ] || missing+=(libpng-dev)
[ -f /usr/include/nifti/nifti2_io.h ] || missing+=(libnifti2-dev)
# cvt-volume runs across MPI ranks with Open MPI: its compiler wrapper and headers, and mpirun.
command -v mpicxx >/dev/null || missing+=(libopenmpi-dev)
command -v mpirun >/dev/null || missing+=(openmpi-bin)
# The README's worked example (run by the end-to-end checks) makes its volume with NumPy; the Python
# module is built against the system's Python and tested with pytest; the spacing checks compare the
# labelling with SciPy's distance transform.
/usr/bin/python3 -c "import numpy" 2>/dev/null || missing+=(python3-numpy)
/usr/bin/python3 -c "import scipy" 2>/dev/null || missing+=(python3-scipy)
# The README's scan examples make and read NIfTI files with nibabel.
/usr/bin/python3 -c "import nibabel" 2>/dev/null || missing+=(python3-nibabel)
/usr/bin/python3 -c "import pytest" 2>/dev/null || missing+=(python3-pytest)
[ -f /usr/include/pybind11/pybind11.h ] || missing+=(pybind11-dev)
/usr/bin/python3 -c "import os, sysconfig; assert os.path.exists(sysconfig.get_paths()['include'] + '/Python.h')" \
  2>/dev/null || missing+=(python3-dev)
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}" >&2
  if [ "$(id -u)" = 0 ]; then sudo=""; else sudo="sudo"; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The CUDA toolkit usually lives outside PATH; with it the GPU backend is built as well.
if ! command -v nvcc >/dev/null && [ -x /usr/local/cuda/bin/nvcc ]; then
  export PATH="/usr/local/cuda/bin:$PATH"
fi

build="${1:-build}"
shift || true
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DPython3_EXECUTABLE=/usr/bin/python3 "$@" >/dev/null
cmake --build "$build" -j "$(nproc)"

# `import cvt` from any directory: a .pth file in the user's site-packages names the package this build
# made. It is read by every Python 3 of the same version, and needs no administrator rights.
if compgen -G "$build/python/cvt/_cvt*.so" >/dev/null; then
  site="$(/usr/bin/python3 -m site --user-site)"
  mkdir -p "$site"
  echo "$(cd "$build/python" && pwd)" > "$site/cvt.pth"
fi
