#!/usr/bin/env bash
# Checks the layering of the C++ sources by their #include lines. Each folder may include its
# own headers and those of the folders listed for it, nothing else:
#
#   util        -                            (text, hashing, the worker pool, ...)
#   fst_reader  util                         (the FST container; knows nothing of traces)
#   signal      util                         (values and the store)
#   trace       signal fst_reader util       (traces and the readers; never the queries)
#   query       trace signal util            (expressions, searches, change queries)
#   tarn_py     anything                     (the binding)
#
# Only the binding includes Python.h. Exits 1 and names every offending line.
set -euo pipefail
cd "$(dirname "$0")/.."

status=0

# check FOLDER ALLOWED...: quoted includes "layer/..." must name an allowed layer; includes
# without a folder are the folder's own headers.
check() {
    local dir=$1
    shift
    local allowed=" $(basename "$dir") $* "
    local file line text inc layer
    while IFS=: read -r file line text; do
        inc=${text#*\"}
        inc=${inc%%\"*}
        case $inc in
            */*) layer=${inc%%/*} ;;
            *) continue ;;
        esac
        if [[ $allowed != *" $layer "* ]]; then
            echo "$file:$line: $(basename "$dir") must not include \"$inc\"" >&2
            status=1
        fi
    done < <(grep -rHnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$dir" \
        --include='*.h' --include='*.cpp' || true)
}

check cpp/tarn_core/util
check cpp/fst_reader util
check cpp/tarn_core/signal util
check cpp/tarn_core/trace signal fst_reader util
check cpp/tarn_core/query trace signal util

if grep -rHnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]Python\.h[>"]' \
    cpp/tarn_core cpp/fst_reader >&2; then
    echo "only the binding (cpp/tarn_py) includes Python.h" >&2
    status=1
fi

[ "$status" = 0 ] && echo "include layering: ok"
exit "$status"
