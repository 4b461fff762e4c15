#!/usr/bin/env bash
# Builds the extension and the simulated engine with sanitizers and runs the tests under them, in
# the stock interpreter with the sanitizer's runtime preloaded:
#
#   tools/sanitize.sh asan [PYTHON] [-- PYTEST ARGS]   AddressSanitizer + UBSan, the whole suite
#   tools/sanitize.sh tsan [PYTHON] [-- PYTEST ARGS]   ThreadSanitizer, the concurrency tests
#
# PYTHON defaults to python3. The build and a virtual environment with the test tools live in
# build/sanitize/<kind>-<version>/ (VELTO_SANITIZE_DIR moves it). Every report goes to a file
# there; the run fails when the tests fail or when any report was written, even by a
# subprocess whose failure a test expected. Suppressions (tools/*.supp) cover only the
# interpreter's own internals.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=tools/tool_env.sh
source "$root/tools/tool_env.sh"
kind=${1:?usage: tools/sanitize.sh asan|tsan [PYTHON] [-- PYTEST ARGS]}
shift
python=python3
if [ $# -gt 0 ] && [ "$1" != "--" ]; then
  python=$1
  shift
fi
[ "${1:-}" = "--" ] && shift
python=$("$python" -c "import sys; print(sys.executable)")
version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
base=${VELTO_SANITIZE_DIR:-$root/build/sanitize}/$kind-$version
reports=$base/reports
report_pattern='runtime error:|ERROR: AddressSanitizer|WARNING: ThreadSanitizer|ERROR: ThreadSanitizer|Sanitizer CHECK failed|AddressSanitizer: CHECK'
mkdir -p "$base"
rm -rf "$reports" && mkdir -p "$reports"

case $kind in
  asan)
    # UBSan's checks but vptr: tests of the simulated engine hand it event handlers and
    # observers assembled from ctypes callbacks, which carry no C++ type information for that
    # check to follow.
    sanitize=address,alignment,bool,bounds,builtin,enum,float-cast-overflow,float-divide-by-zero
    sanitize+=,integer-divide-by-zero,nonnull-attribute,null,object-size,pointer-overflow,return
    sanitize+=,returns-nonnull-attribute,shift,signed-integer-overflow,unreachable,vla-bound
    runtime=$(gcc -print-file-name=libasan.so)
    # Python's own allocations are never freed at exit; only errors count here.
    export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:log_path=$reports/asan:$(
      [ -f "$root/tools/asan.supp" ] && echo "suppressions=$root/tools/asan.supp")"
    # UBSan reports go to standard error whatever log_path says; they end the process.
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
    # The whole suite but the network benchmark's run, whose figures mean nothing under a
    # sanitizer (its paths are the calls' own, which the call tests run).
    if [ $# -gt 0 ]; then
      tests=("$@")
    else
      tests=(--ignore=tests/test_call_network_bench.py tests)
    fi
    ;;
  tsan)
    sanitize=thread
    # Thread leaks are off: the exit cases end with daemon threads still running, on purpose.
    runtime=$(gcc -print-file-name=libtsan.so)
    export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:report_thread_leaks=0:log_path=$reports/tsan:suppressions=$root/tools/tsan.supp"
    # The tests where engine threads, native driver threads and Python threads meet; the
    # property tests, packaging checks and the network benchmark's run add nothing concurrent
    # and take long under TSan.
    if [ $# -gt 0 ]; then
      tests=("$@")
    else
      tests=(--ignore=tests/test_fuzz.py --ignore=tests/test_stubs.py
             --ignore=tests/test_native_units.py --ignore=tests/test_call_network_bench.py tests)
    fi
    ;;
  *)
    echo "unknown sanitizer '$kind': asan or tsan" >&2
    exit 2
    ;;
esac
if [ ! -f "$runtime" ]; then
  echo "the $kind runtime is missing ($runtime); install gcc's sanitizer libraries" >&2
  exit 2
fi
# The C++ runtime is loaded from the start too: the interpreter does not link it, and a
# sanitizer that finds it only later cannot intercept exceptions thrown through it.
preload="$runtime $(gcc -print-file-name=libstdc++.so.6)"

echo "=== $kind: CPython $version ($python), build in $base"
tool_venv "$base" "$python"
tool_build "$base" "$python" -DVELTO_SANITIZE="$sanitize" -DCMAKE_CXX_FLAGS="-O1 -g"

status=0
(
  cd "$root"
  tool_use_build "$base"
  # Objects come from malloc, so the sanitizer sees every allocation and free.
  export PYTHONMALLOC=malloc
  export LD_PRELOAD="$preload"
  # Fewer examples and runs: everything here is several times slower.
  export VELTO_FUZZ_EXAMPLES=${VELTO_FUZZ_EXAMPLES:-25}
  export VELTO_EXIT_RUNS=${VELTO_EXIT_RUNS:-3}
  export VELTO_LEAK_FRAMES=${VELTO_LEAK_FRAMES:-20000}
  # Python-level output is captured as usual; what the sanitizer runtimes write on the file
  # descriptor is not, so a report that ends the test process itself is seen.
  exec "$base/venv/bin/python" -m pytest -p no:cacheprovider -q --capture=sys "${tests[@]}"
) 2>&1 | tee "$base/pytest.log" || status=$?

if ! tail -n 3 "$base/pytest.log" | grep -qE "[0-9]+ (passed|failed)"; then
  echo "=== $kind: the test process ended without its summary. A report written while a test"
  echo "    captured the file descriptors themselves (capfd) is lost with it: run the tests"
  echo "    shown last again with -s to see it."
  status=1
fi
found=$(find "$reports" -type f -size +0 | sort)
if [ -n "$found" ] || grep -qE "$report_pattern" "$base/pytest.log"; then
  echo "=== $kind reports:"
  for report in $found; do
    echo "--- $report"
    cat "$report"
  done
  grep -E "$report_pattern" "$base/pytest.log" || true
  echo "=== $kind: $(echo "$found" | grep -c .) report file(s), $(
    grep -cE "$report_pattern" "$base/pytest.log") report line(s) in the test output"
  status=1
else
  echo "=== $kind: no reports"
fi
exit $status
