#!/usr/bin/env bash
# Builds the libFuzzer target for the rfc2217 receive parser with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer included) and runs it for a bounded time over the stored corpus.
# New inputs go to a scratch directory, so the corpus in the repository stays as it is.
# Usage: fuzz/run.sh BUILD_DIR [SECONDS]   (a crash or sanitizer report exits non-zero)
set -euo pipefail

out=${1:?usage: fuzz/run.sh BUILD_DIR [SECONDS]}
seconds=${2:-30}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mkdir -p "$out/obj"

flags=(-std=c++17 -g -O1 "-fsanitize=fuzzer-no-link,address,undefined"
       -fno-sanitize-recover=all -fno-omit-frame-pointer -I"$root/src")
# Two compilers at a time, as the rest of the build.
pids=()
for src in "$root"/src/*.cpp "$root/fuzz/rfc2217_fuzz.cpp"; do
    [ "$(basename "$src")" = wirebox.cpp ] && continue
    clang++ "${flags[@]}" -c "$src" -o "$out/obj/$(basename "$src" .cpp).o" &
    pids+=($!)
    if [ "${#pids[@]}" -ge 2 ]; then
        wait "${pids[0]}"
        pids=("${pids[@]:1}")
    fi
done
for pid in "${pids[@]}"; do
    wait "$pid"
done
clang++ -fsanitize=fuzzer,address,undefined "$out"/obj/*.o -o "$out/rfc2217_fuzz"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$out/rfc2217_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$out/" "$scratch" "$root/fuzz/corpus"
