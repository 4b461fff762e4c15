#!/usr/bin/env bash
# Builds the extension against Debian's debug interpreter (python3.11-dbg) and runs the test
# suite in it, then sends 200,000 frames of each kind per answer through the module
# (tools/leak_soak.py). The debug interpreter aborts on a reference count that goes negative,
# and tests/test_leaks.py and the soak assert that sys.gettotalrefcount() stays flat across
# frames and calls, so a missing or extra reference anywhere in the module fails here.
#
#   tools/debug_python.sh [-- PYTEST ARGS]
#
# Installs python3.11-dbg, python3.11-dev and python3.11-venv with apt-get when they are missing
# (as root); the build and a virtual environment live in build/debug-python/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=tools/tool_env.sh
source "$root/tools/tool_env.sh"
[ "${1:-}" = "--" ] && shift
base=${VELTO_DEBUG_PYTHON_DIR:-$root/build/debug-python}
python=/usr/bin/python3.11-dbg
packages="python3.11-dbg python3.11-dev python3.11-venv"

missing=""
for package in $packages; do
  dpkg -s "$package" >/dev/null 2>&1 || missing="$missing $package"
done
if [ -n "$missing" ]; then
  if ! command -v apt-get >/dev/null; then
    echo "=== debug interpreter: SKIPPED, no apt-get to install$missing on this system"
    exit 0
  fi
  echo "=== installing$missing"
  sudo=""
  [ "$(id -u)" = 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing >/dev/null
fi

echo "=== debug interpreter: $($python -c 'import sys; print(sys.version.split()[0])') ($python)"
tool_venv "$base" "$python"
# Debian's python3.11d include folder holds symlinks into the release one; reached through
# -isystem, GCC follows them and Python.h then finds the release pyconfig.h, without Py_DEBUG.
# Plain -I keeps the debug configuration, and with it the reference count checks.
tool_build "$base" "$python" -DCMAKE_NO_SYSTEM_FROM_IMPORTED=ON
if ! nm -D "$base"/build/_pyveltosdk*.so | grep -c _Py_RefTotal >/dev/null; then
  echo "=== the module was built without the debug interpreter's reference counting" >&2
  exit 1
fi

cd "$root"
tool_use_build "$base"
"$base/venv/bin/python" -c 'import sys, _pyveltosdk; assert hasattr(sys, "gettotalrefcount"), \
  "not a debug interpreter"; print("module:", _pyveltosdk.__file__)'
"$base/venv/bin/python" -m pytest -p no:cacheprovider -q "$@"
"$base/venv/bin/python" tools/leak_soak.py --frames "${VELTO_DEBUG_SOAK_FRAMES:-200000}"
