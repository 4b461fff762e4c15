#!/usr/bin/env bash
# Builds the foreign engine, velto_rtc_sdk.dll, into OUT with clang's Microsoft target and
# lld-link: freestanding (no C runtime, no entry point, no default libraries), exports from
# sdk/velto_rtc_sdk.def, kernel32 through an import library made from kernel32.def.
#
#   bash tests/foreign_engine/build.sh OUT
#
# Run by tools/windows.sh foreign and by tests/test_foreign_engine_build.py. Needs clang-14,
# lld-14 and llvm-14 (Debian's clang-14, lld-14, llvm-14).
set -euo pipefail
[ $# -eq 1 ] || { sed -n '2,9p' "$0" >&2; exit 2; }
src=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$src/../.." && pwd)
out=$1
for tool in clang++-14 lld-link-14 llvm-dlltool-14; do
  command -v $tool >/dev/null || { echo "build.sh: $tool missing" >&2; exit 2; }
done
mkdir -p "$out"
llvm-dlltool-14 -m i386:x86-64 -d "$src/kernel32.def" -l "$out/kernel32.lib"
objects=()
for file in "$src"/*.cpp; do
  object=$out/$(basename "$file" .cpp).obj
  clang++-14 --target=x86_64-pc-windows-msvc -std=c++17 -O2 -Wall -Wextra -Werror \
    -ffreestanding -fno-exceptions -fno-rtti -nostdlibinc -mno-stack-arg-probe \
    -isystem "$src/include" -include "$src/ExportsFromDef.h" -c "$file" -o "$object"
  objects+=("$object")
done
lld-link-14 /nologo /dll /noentry /nodefaultlib /machine:x64 /def:"$root/sdk/velto_rtc_sdk.def" \
  /out:"$out/velto_rtc_sdk.dll" "${objects[@]}" "$out/kernel32.lib"
echo "built $out/velto_rtc_sdk.dll (clang's msvc target, lld-link)"
