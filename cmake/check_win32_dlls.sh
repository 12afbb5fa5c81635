#!/usr/bin/env bash
# Checks the 32-bit Windows deliverables of a win32 build:
#   - every name in <build>/deliverables.txt has <build>/plugins/<name>.dll,
#     and the folder holds nothing else;
#   - each DLL is a PE32 DLL for machine i386 (0x014c);
#   - it exports exactly getModuleProperties and makeModule, undecorated
#     (no leading underscore, no @n suffix);
#   - it imports from no DLL but the system's own: KERNEL32, msvcrt or the
#     UCRT (ucrtbase, api-ms-win-crt-*), so the runtime is linked in.
# Prints one line per DLL and exits non-zero on the first kind of failure.
#   usage: cmake/check_win32_dlls.sh [build folder, default build-win32]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-win32}
objdump=i686-w64-mingw32-objdump
command -v "$objdump" >/dev/null || { echo "FAIL: $objdump not found (g++-mingw-w64-i686)" >&2; exit 1; }
[ -f "$build/deliverables.txt" ] || { echo "FAIL: $build/deliverables.txt missing: configure with --preset win32" >&2; exit 1; }

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# 16-bit little-endian word at byte offset $2 of file $1.
u16() { od -An -tu2 -j "$2" -N2 "$1" | tr -d ' '; }
u32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }

mapfile -t names < "$build/deliverables.txt"
((${#names[@]})) || fail "no deliverables listed in $build/deliverables.txt"

for name in "${names[@]}"; do
  dll="$build/plugins/$name.dll"
  if [ ! -f "$dll" ]; then fail "$dll missing"; continue; fi

  # PE header: "PE\0\0" at the offset stored at 0x3c, machine word after it.
  pe=$(u32 "$dll" 60)
  sig=$(od -An -c -j "$pe" -N4 "$dll" | tr -d ' ')
  machine=$(printf '0x%04x' "$(u16 "$dll" $((pe + 4)))")
  chars=$(u16 "$dll" $((pe + 22)))
  magic=$(printf '0x%03x' "$(u16 "$dll" $((pe + 24)))")
  [ "$sig" = 'PE\0\0' ] || { fail "$name: no PE signature"; continue; }
  [ "$machine" = 0x014c ] || fail "$name: machine $machine, not i386 (0x014c)"
  [ "$magic" = 0x10b ] || fail "$name: optional header magic $magic, not PE32 (0x10b)"
  (( chars & 0x2000 )) || fail "$name: not marked as a DLL"

  dump=$("$objdump" -p "$dll" 2>&1) || { fail "$name: $objdump cannot read it: $dump"; continue; }
  exports=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" |
            sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | sort | tr '\n' ' ')
  [ "$exports" = "getModuleProperties makeModule " ] ||
    fail "$name: exports '${exports% }', expected exactly 'getModuleProperties makeModule'"

  imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | sort -u | tr '\n' ' ')
  for imp in $imports; do
    case "${imp,,}" in
      kernel32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-crt-*.dll) ;;
      *) fail "$name: imports $imp (only KERNEL32, msvcrt and the UCRT are allowed)" ;;
    esac
  done
  printf '%-34s machine %s  exports: %s imports: %s\n' "$name.dll" "$machine" "${exports% }" "${imports% }"
done

# Anything else in the plug-in folder would be shipped by mistake.
for f in "$build"/plugins/*; do
  [ -e "$f" ] || continue
  base=$(basename "$f")
  found=0
  for name in "${names[@]}"; do [ "$base" = "$name.dll" ] && found=1; done
  ((found)) || fail "unexpected file in $build/plugins: $base"
done

if ((failures)); then
  echo "win32 deliverables: $failures check(s) FAILED" >&2
  exit 1
fi
echo "win32 deliverables: ${#names[@]} DLLs, all i386 with exactly the two exports and only system imports"
