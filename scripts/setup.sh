#!/usr/bin/env bash
# Set up a fresh machine for tarn: the system packages the build needs (Debian/Ubuntu), then a
# virtual environment in .venv with tarn installed from this checkout, with every optional extra
# (pandas, pyarrow, matplotlib, WaveDrom, Dask, the notebook runner) and the test and style tools.
# Re-running is cheap: installed packages are kept, the package is rebuilt.
set -euo pipefail
cd "$(dirname "$0")/.."

if command -v apt-get >/dev/null 2>&1; then
  SUDO=""
  [ "$(id -u)" = 0 ] || SUDO="sudo"
  need=""
  for pkg in g++ make zlib1g-dev liblz4-dev libzstd-dev zstd libgtest-dev python3-dev python3-venv; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need="$need $pkg"
  done
  if [ -n "$need" ]; then
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update -qq
    # shellcheck disable=SC2086
    $SUDO apt-get install -y -qq --no-install-recommends $need >/dev/null
  fi
fi

VENV=${TARN_VENV:-.venv}
[ -x "$VENV/bin/python" ] || python3 -m venv "$VENV"
"$VENV/bin/python" -m pip install -q --upgrade pip
"$VENV/bin/python" -m pip install -q "scikit-build-core>=0.10" "cmake>=3.25" ninja "pytest>=7" \
  "ruff~=0.17.0" "mypy~=2.4"
# One clang-format release for everyone: its output changes between releases
# (tools/check_format.sh).
"$VENV/bin/python" -m pip install -q "clang-format==17.0.6"
# tarn with every optional extra (pandas, pyarrow, matplotlib, WaveDrom; the notebook runner):
# the tests cover them all.
TARN_WERROR=${TARN_WERROR:-OFF} "$VENV/bin/python" -m pip install -q --no-build-isolation ".[all,notebook]"
