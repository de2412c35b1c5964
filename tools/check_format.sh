#!/usr/bin/env bash
# Checks that every C++ file of the project is formatted as .clang-format says; with --fix,
# formats them. clang-format's output changes between releases, so one version is used
# everywhere: scripts/setup.sh installs it into the virtual environment.
set -euo pipefail
cd "$(dirname "$0")/.."

want=17.0.6
have=$(clang-format --version 2>/dev/null | grep -o '[0-9][0-9]*\.[0-9][0-9]*\.[0-9][0-9]*' | head -n 1 || true)
if [ "$have" != "$want" ]; then
    echo "clang-format $want is needed, found '${have:-none}' (pip install clang-format==$want)" >&2
    exit 2
fi
if [ "${1:-}" = --fix ]; then
    git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format -i
else
    git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror
    echo "C++ formatting: ok"
fi
