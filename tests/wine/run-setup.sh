#!/bin/bash
# Sets up one run of the Windows tests (the ctest fixture "wine.run"):
#
#   run-setup.sh TEMPLATE_DIR RUN_DIR
#
# TEMPLATE_DIR holds a booted Wine prefix, made once per build tree and reused.
# Each run gets a copy of it in a fresh temp dir, its own Xvfb on a free
# display, a running wineserver and the prefix's virtual desktop with its
# taskbar. RUN_DIR tells wine-emulator.sh and run-cleanup.sh where all of that
# is: the files "prefix" and "display" (written last, once everything is up),
# "xvfb.pid" and "tmp".
set -Eeuo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR source=wine-common.sh
source "$here/wine-common.sh"

if (($# != 2)); then
  echo "usage: $0 TEMPLATE_DIR RUN_DIR" >&2
  exit 2
fi
template=$1
run_dir=$2
wine_env

# The template's boot, run by make_template inside the new prefix.
# shellcheck disable=SC2317 # run through make_template
boot_prefix() {
  wine wineboot -i
  # Every process of the prefix shares one virtual desktop with a taskbar,
  # so the tray exists and a probe's FindWindowW sees Orbel's window.
  wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d shell /f
  wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v shell /d 800x600 /f
  # A crash dialog would hold a failing test until ctest's timeout.
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f
}

# Only one setup at a time boots or copies this build tree's template.
mkdir -p "$(dirname "$template")"
exec 9>"$template.lock"
flock 9
if ! template_current "$template"; then
  echo "booting the template Wine prefix (log: $template.log)"
  make_template "$template" "" '"ShowCrashDialog"=dword:00000000' boot_prefix
fi

# A run that was interrupted before its cleanup leaves its processes and
# files behind; they are ours (recorded by PID and prefix), so end them.
if [[ -e $run_dir ]]; then
  echo "cleaning up an earlier run left in $run_dir"
  "$here/run-cleanup.sh" "$run_dir"
fi

mkdir -p "$run_dir"
tmp=$(mktemp -d "${TMPDIR:-/tmp}/orbel-wine-run.XXXXXX")
echo "$tmp" >"$run_dir/tmp"
# From here on a failure undoes whatever was started.
trap '"$here/run-cleanup.sh" "$run_dir"' ERR

prefix=$tmp/prefix
cp -a "$template" "$prefix"
rm -f "$prefix/$TEMPLATE_MARK"
flock -u 9
exec 9>&-

# -displayfd picks a free display number and writes it once the server
# accepts connections.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset \
  3>"$tmp/displayfd" </dev/null >"$tmp/xvfb.log" 2>&1 &
echo $! >"$run_dir/xvfb.pid"
display_ready() { grep -qx '[0-9][0-9]*' "$tmp/displayfd"; }
if ! wait_until 15 display_ready; then
  echo "Xvfb did not start; see $tmp/xvfb.log" >&2
  false
fi
display=$(tr -d '[:space:]' <"$tmp/displayfd")

export WINEPREFIX=$prefix
export DISPLAY=:$display
start_wineserver "$prefix"
# The first process of a session runs wineboot, which opens the desktop for
# as long as it runs; a desktop explorer started meanwhile finds that one and
# leaves. So start the session first and let that desktop close.
wine cmd.exe /c exit 0 </dev/null >"$tmp/session.log" 2>&1
desktop_explorer='C:\windows\system32\explorer.exe /desktop'
no_desktop_explorer() { [[ -z $(prefix_pids "$prefix" "$desktop_explorer") ]]; }
if ! wait_until 30 no_desktop_explorer; then
  echo "the session's first desktop did not close" >&2
  false
fi
# This desktop outlives every test process; one that user32 starts on demand
# closes with the last window, taking the tray with it.
wine explorer.exe /desktop=shell,800x600 </dev/null >"$tmp/explorer.log" 2>&1 &
desktop_ready() { xdotool search --name '^shell - Wine desktop$' >/dev/null 2>&1; }
if ! wait_until 60 desktop_ready || no_desktop_explorer; then
  echo "the Wine desktop did not appear on :$display; see $tmp/explorer.log" >&2
  false
fi

echo "$prefix" >"$run_dir/prefix"
echo "$display" >"$run_dir/display"
echo "Wine test run: prefix $prefix, display :$display, Xvfb PID $(<"$run_dir/xvfb.pid")"
