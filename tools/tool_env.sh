# Sourced by tools/sanitize.sh and tools/debug_python.sh: what a tool run needs around its own
# build flags. Expects `root` (the repository) to be set and `set -euo pipefail` in the caller.
#
#   tool_venv BASE PYTHON         a virtual environment in BASE/venv, made with PYTHON once, with
#                                 the project's test requirements and the build tools; put first
#                                 on PATH, so the build finds its cmake and ninja
#   tool_build BASE PYTHON ARG..  configures (warnings as errors, Ninja) and builds the extension
#                                 and the simulated engine in BASE/build, for PYTHON
#   tool_use_build BASE           exports what makes the tests import that build and its engine

# The test requirements as the project's own `test` extra lists them, so a tool run has what the
# normal suite has. Read with a pattern: tomllib exists only from 3.11.
tool_test_requirements() {
  "$1" - "$root/pyproject.toml" <<'EOF'
import re, sys
text = open(sys.argv[1]).read()
extra = re.search(r"^test\s*=\s*\[(.*?)\]", text, re.M | re.S)
print("\n".join(re.findall(r'"([^"]+)"', extra.group(1)) if extra else []))
EOF
}

tool_venv() {
  local base=$1 python=$2 requirements
  if [ ! -x "$base/venv/bin/python" ]; then
    "$python" -m venv "$base/venv"
    "$base/venv/bin/python" -m pip install -q --upgrade pip
  fi
  mapfile -t requirements < <(tool_test_requirements "$python")
  "$base/venv/bin/python" -m pip install -q "${requirements[@]}" "cmake>=3.18" ninja
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
