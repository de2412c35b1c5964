#!/bin/sh
# Builds the libFuzzer targets with clang, AddressSanitizer and UndefinedBehaviorSanitizer into
# fuzz/out/. Run a target with, for example:
#   fuzz/out/fuzz_fst -rss_limit_mb=2048 -max_len=65536 fuzz/out/corpus_fst fuzz/corpus/fst
# (the first directory collects new inputs; copy small interesting ones into corpus/, and any
# crashing input into regressions/ so that CI replays it).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$root" -B "$root/fuzz/out/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" \
    -DTARN_SANITIZE=address,undefined -DTARN_BUILD_FUZZ=ON -DTARN_BUILD_MODULE=OFF \
    -DTARN_BUILD_TESTS=OFF -DTARN_BUILD_REPLAY=OFF
cmake --build "$root/fuzz/out/build" -j2
for f in "$root"/fuzz/out/build/fuzz/fuzz_*; do cp "$f" "$root/fuzz/out/"; done
