#!/usr/bin/env bash
# Builds the libFuzzer harnesses in build-fuzz/ (clang, ASan, UBSan) and runs
# one of them for a given number of seconds over its seed corpus.
#
#   bash scripts/fuzz.sh HARNESS SECONDS [libFuzzer options...]
#
# HARNESS is dbase, saga or import. Seeds come from fuzz/corpus/HARNESS/ and
# are only read; new inputs go to build-fuzz/corpus/HARNESS/, crashes and
# other findings to build-fuzz/findings/HARNESS/. One process (no -jobs or
# -workers, which would fork more): the machine is shared. Exit status: libFuzzer's (0 when nothing was found).
set -euo pipefail
cd "$(dirname "$0")/.."
if (($# < 2)); then
  echo "Uso: bash scripts/fuzz.sh dbase|saga|import SEGUNDOS [opciones de libFuzzer]" >&2
  exit 2
fi
harness=$1
seconds=$2
shift 2
case "$harness" in
  dbase | saga | import) ;;
  *)
    echo "fuzz.sh: arnés desconocido: $harness (dbase, saga o import)" >&2
    exit 2
    ;;
esac

dir=build-fuzz
cmake -S . -B "$dir" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBRIVASTO_FUZZ=ON -DBRIVASTO_SANITIZE=ON -DBRIVASTO_BUILD_GUI=OFF -DBRIVASTO_BUILD_TESTS=OFF >/dev/null
cmake --build "$dir" -j 2 --target "fuzz_$harness"

work="$dir/corpus/$harness"
findings="$dir/findings/$harness"
mkdir -p "$work" "$findings"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# -rss_limit_mb and -malloc_limit_mb: a damaged file must not make the
# program allocate without bound, so a large allocation is a finding.
exec "$dir/fuzz/fuzz_$harness" "$work" "fuzz/corpus/$harness" \
  -max_total_time="$seconds" -print_final_stats=1 \
  -rss_limit_mb=1024 -malloc_limit_mb=512 -max_len=65536 -timeout=20 \
  -artifact_prefix="$findings/" "$@"
