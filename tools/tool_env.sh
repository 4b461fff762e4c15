# Sourced by tools/sanitize.sh and tools/debug_python.sh: what a tool run needs around its own
# build flags. Expects `root` (the repository) to be set and `set -euo pipefail` in the caller.
#
#   tool_venv BASE PYTHON         a virtual environment in BASE/venv, made with PYTHON once, with
#                                 the test and build tools; put first on PATH, so the build finds
#                                 its cmake and ninja
#   tool_build BASE PYTHON ARG..  configures (warnings as errors, Ninja) and builds the extension
#                                 and the simulated engine in BASE/build, for PYTHON
#   tool_use_build BASE           exports what makes the tests import that build and its engine

# The test tools only, not the `test` extra: optional packages there (numpy) stay out of the
# sanitized and debug runs, whose tests run without them where they can.
tool_requirements=(pytest hypothesis "cmake>=3.18" ninja nlohmann-json)

tool_venv() {
  local base=$1 python=$2
  if [ ! -x "$base/venv/bin/python" ]; then
    "$python" -m venv "$base/venv"
    "$base/venv/bin/python" -m pip install -q --upgrade pip
  fi
  "$base/venv/bin/python" -m pip install -q "${tool_requirements[@]}"
  export PATH="$base/venv/bin:$PATH"
}

tool_build() {
  local base=$1 python=$2
  shift 2
  cmake -S "$root" -B "$base/build" -G Ninja -DPython_EXECUTABLE="$python" -DVELTO_WERROR=ON \
    "$@" >/dev/null
  cmake --build "$base/build"
}

tool_use_build() {
  export PYTHONPATH="$1/build:$root/python"
  export VELTO_SIM_LIB="$1/build/libvelto_rtc_sdk.so"
}
