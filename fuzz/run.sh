#!/usr/bin/env bash
# Fuzzes each target with libFuzzer under AddressSanitizer and
# UndefinedBehaviorSanitizer for a bounded time.
#   bash fuzz/run.sh [seconds per target, default 120] [target ...]
# Needs clang 16 or newer (for <expected>); .ci/run-style install:
#   apt-get install clang-19 libclang-rt-19-dev
# New inputs go to fuzz/out/<target>/, crashes to fuzz/out/crashes/; the
# repository's seed corpus is read, never written.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-120}
shift || true
targets=("${@:-template template_stream hex composition}")
read -r -a targets <<<"${targets[*]}"
cxx=${CXX_FUZZ:-$(command -v clang++-19 || command -v clang++)}
flags=(-std=c++23 -O1 -g -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined
       -fno-sanitize-recover=all -Icore/include -Icore/src -Icore/tests)
mkdir -p fuzz/out/crashes
for target in "${targets[@]}"; do
  binary=fuzz/out/${target}_fuzz
  "$cxx" "${flags[@]}" fuzz/${target}_fuzz.cpp core/src/*.cpp -lcrypto -o "$binary"
  mkdir -p fuzz/out/$target
  echo "== $target: ${seconds}s"
  "$binary" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix=fuzz/out/crashes/ \
    fuzz/out/$target fuzz/corpus/$target 2>&1 |
    grep -E '(DONE|stat::number_of_executed_units|stat::peak_rss_mb|Done|==[0-9]+==ERROR|SUMMARY)' || true
done
