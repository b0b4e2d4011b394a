#!/usr/bin/env bash
# Orbel.exe stays small and self-contained: at most 160 KiB with its
# resources, and it imports only DLLs that every Windows has.
set -euo pipefail
exe=$1
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
limit=$((160 * 1024))
allowed='^(ADVAPI32|GDI32|KERNEL32|msvcrt|POWRPROF|SHELL32|USER32|WININET)\.dll$'

size=$(stat -c %s "$exe")
echo "size: $size bytes (limit $limit)"
status=0
if ((size > limit)); then
  echo "FAILED: Orbel.exe is larger than 160 KiB"
  status=1
fi
while read -r dll; do
  echo "imports: $dll"
  if ! [[ $dll =~ $allowed ]]; then
    echo "FAILED: $dll is not a Windows system DLL"
    status=1
  fi
done < <("$objdump" -p "$exe" | sed -n 's/^\s*DLL Name: //p')
exit $status
