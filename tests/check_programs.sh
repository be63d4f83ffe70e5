#!/usr/bin/env bash
# Every shipped program imports operating-system DLLs only (no C or C++
# runtime: msvcrt, ucrt, libstdc++, libgcc, winpthread), is a GUI-subsystem
# program, carries the asInvoker manifest and the 1.0.0 version record, and
# holds none of the test builds' hooks, exports only the layout table (the
# Shell and the Setup; nothing from the Worker); with a code-signing certificate, each
# carries an Authenticode signature that covers it and chains to that
# certificate, and the Setup carries the signed Shell and Worker.
set -euo pipefail
bin=${1:?usage: check_programs.sh <bin-dir> [code-signing certificate]}
signer=${2:-}
allowed='^(KERNEL32|USER32|GDI32|SHELL32|ADVAPI32|WINHTTP|bcrypt|OLE32|COMCTL32)\.dll$'
status=0
shopt -s nullglob
programs=("$bin"/*.exe)
[ ${#programs[@]} -gt 0 ] || { echo "no programs in $bin"; exit 1; }
for exe in "${programs[@]}"; do
  before=$status
  # Capture first: grep -q closing a pipe early would fail it under pipefail.
  headers=$(x86_64-w64-mingw32-objdump -p "$exe")
  narrow=$(strings "$exe")
  wide=$(strings -el "$exe")
  dlls=$(sed -n 's/^\s*DLL Name: //p' <<<"$headers")
  [ -n "$dlls" ] || { echo "FAIL $exe: no imports found"; status=1; continue; }
  while read -r dll; do
    if ! [[ "$dll" =~ $allowed ]]; then
      echo "FAIL $exe imports $dll"
      status=1
    fi
  done <<<"$dlls"
  grep -q 'Subsystem.*(Windows GUI)' <<<"$headers" ||
    { echo "FAIL $exe is not a GUI-subsystem program"; status=1; }
  grep -q 'level="asInvoker"' <<<"$narrow" || { echo "FAIL $exe: no asInvoker manifest"; status=1; }
  grep -q 'supportedOS' <<<"$narrow" || { echo "FAIL $exe: no supportedOS list"; status=1; }
  for v in "ORVELANT Launcher" "ORVELANT" "1.0.0"; do
    grep -qx -- "$v" <<<"$wide" || { echo "FAIL $exe: version record lacks \"$v\""; status=1; }
  done
  if grep -q 'ORV_TEST_' <<<"$wide"; then echo "FAIL $exe holds test hooks"; status=1; fi
  # The windowed programs export their layout table and nothing else; the
  # Worker exports nothing.
  exports=$(awk '/^\[Ordinal\/Name Pointer\] Table/ {on = 1; next} on && /^\t\[/ {print $NF; next} on {on = 0}' <<<"$headers" | tr '\n' ' ')
  case "$(basename "$exe")" in
    *Worker*) want="" ;;
    *) want="OrvelantLayoutTable " ;;
  esac
  [ "$exports" = "$want" ] || { echo "FAIL $exe exports \"$exports\", not \"$want\""; status=1; }
  if [ -n "$signer" ]; then
    report=$(osslsigncode verify -CAfile "$signer" -in "$exe" 2>&1 || true)
    grep -q '^Signature verification: ok' <<<"$report" ||
      { echo "FAIL $exe: no Authenticode signature that verifies against $signer"; status=1; }
    current=$(sed -n 's/^Current message digest *: *\([0-9A-F]*\).*/\1/p' <<<"$report" | head -1)
    calculated=$(sed -n 's/^Calculated message digest *: *\([0-9A-F]*\).*/\1/p' <<<"$report" | head -1)
    [ -n "$current" ] && [ "$current" = "$calculated" ] ||
      { echo "FAIL $exe: the signature does not cover the file"; status=1; }
  fi
  [ "$status" = "$before" ] && echo "ok   $exe: $(echo $dlls | tr '\n' ' ')"
done
if [ -n "$signer" ]; then
  for inner in "ORVELANT Launcher.exe" "ORVELANT Update Worker.exe"; do
    python3 -c 'import sys; sys.exit(open(sys.argv[1],"rb").read() not in open(sys.argv[2],"rb").read())' \
      "$bin/$inner" "$bin/ORVELANT_Launcher_Setup_v1.0.0.exe" ||
      { echo "FAIL the Setup does not carry the signed $inner"; status=1; }
  done
fi
exit $status
