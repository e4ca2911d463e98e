#!/usr/bin/env bash
# The fuzz targets, built with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer into build-fuzz/.
#   fuzz/run.sh --regress          every target for 30 s over its seed corpus (CI)
#   fuzz/run.sh TARGET [SECONDS]   a campaign of one target on one core (default 600 s);
#                                  its corpus grows in build-fuzz/campaign/TARGET
#   fuzz/run.sh --build            only build
set -euo pipefail
cd "$(dirname "$0")/.."
# llvm: the symbolizer that names the frames the leak suppressions match.
scripts/setup llvm
dir=build-fuzz
extra=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
  extra+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$dir" -G Ninja -DENABLE_FUZZING=ON -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ "${extra[@]}" >/dev/null
targets=$(ctest --test-dir "$dir/fuzz" -N | sed -n 's/^ *Test *#[0-9]*: fuzz\.//p')
# shellcheck disable=SC2086
cmake --build "$dir" -j"$(nproc)" --target $targets

case "${1:---regress}" in
--build) ;;
--regress)
  ctest --test-dir "$dir/fuzz" --output-on-failure -j"$(nproc)"
  ;;
*)
  target=$1 seconds=${2:-600}
  work=$dir/campaign/$target
  mkdir -p "$work" "$work-crashes"
  dict=()
  [ -f "fuzz/$target.dict" ] && dict=(-dict="fuzz/$target.dict")
  export ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$PWD/fuzz/lsan.supp \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 QT_QPA_PLATFORM=offscreen
  "$dir/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$work-crashes/" "${dict[@]}" "$work" "fuzz/corpus/$target"
  ;;
esac
