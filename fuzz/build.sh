#!/bin/sh
# Builds the libFuzzer targets with clang, AddressSanitizer and UndefinedBehaviorSanitizer (the
# `fuzz` preset of CMakePresets.json) into fuzz/out/. Run a target with, for example:
#   fuzz/out/fuzz_fst -rss_limit_mb=2048 -max_len=65536 fuzz/out/corpus_fst fuzz/corpus/fst
# (the first directory collects new inputs; copy small interesting ones into corpus/, and any
# crashing input into regressions/ so that CI replays it).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
cmake --preset fuzz
cmake --build --preset fuzz
for f in "$root"/fuzz/out/build/fuzz/fuzz_*; do cp "$f" "$root/fuzz/out/"; done
