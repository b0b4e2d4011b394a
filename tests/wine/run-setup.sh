#!/bin/bash
# Sets up one run of the Windows tests (the ctest fixture "wine.run"):
#
#   run-setup.sh TEMPLATE_DIR RUN_DIR
#
# TEMPLATE_DIR holds a booted Wine prefix, made once per build tree and reused.
# Each run gets a copy of it in a fresh temp dir, its own Xvfb on a free
# display, a running wineserver and the prefix's virtual desktop with its
# taskbar. RUN_DIR tells wine-emulator.sh and run-cleanup.sh where all of that
# is: the files "prefix", "x11" and "display" (written last, once everything is
# up), "xvfb.pid" and "tmp" (see README.md here).
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

# What the run looks like, for a setup that fails: the logs and processes
# that say why, printed here because the cleanup then removes them.
explain_run() (
  set +eE
  trap - ERR
  echo "--- the run's Xvfb (PID $(<"$run_dir/xvfb.pid"), display :${display:-?}): $(
    pid_is "$(<"$run_dir/xvfb.pid")" Xvfb && echo running || echo gone)"
  tail -n 20 "$tmp/xvfb.log" 2>/dev/null
  if [[ -n ${display:-} ]]; then
    echo "--- windows on :$display with a name (PID, name)"
    for window in $(xdotool search --name . 2>/dev/null); do
      echo "$(xdotool getwindowpid "$window" 2>/dev/null || echo '?') $(xdotool getwindowname "$window" 2>/dev/null)"
    done | sort -u
  fi
  echo "--- Wine processes of the prefix (PID, command line)"
  for pid in $(prefix_pids "$prefix"); do
    echo "$pid $(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null)"
  done
  for log in session explorer; do
    if [[ -s $tmp/$log.log ]]; then
      echo "--- $log.log"
      tail -n 20 "$tmp/$log.log"
    fi
  done
)

# The run's X server. Xvfb -displayfd takes the first display number whose
# abstract socket (@/tmp/.X11-unix/XN) it can bind, and abstract sockets
# belong to a network namespace: an Xvfb started inside a private one (the
# update test's) sees none of the machine's servers, takes :0, replaces the
# machine's /tmp/.X11-unix/X0 with its own socket and deletes it when it ends.
# That file is the only way to display :0 for programs in other network
# namespaces, which every Windows test program is (wine-emulator.sh): they
# reached the wrong server, or none. So every run's Xvfb keeps its socket file
# in the run's own directory, which a private mount namespace puts over
# /tmp/.X11-unix for Xvfb alone; wine-emulator.sh does the same for the test
# programs. Clients in the Xvfb's own network namespace (this script) reach it
# through the abstract socket.
x11_dir=$tmp/x11-unix
mkdir -m 1777 "$x11_dir"
# The mount point; Xvfb itself would make it.
mkdir -p -m 1777 /tmp/.X11-unix
# shellcheck disable=SC2016 # expanded by the inner shell
unshare --mount -- sh -c 'mount --bind "$1" /tmp/.X11-unix && shift && exec "$@"' sh "$x11_dir" \
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset \
  3>"$tmp/displayfd" </dev/null >"$tmp/xvfb.log" 2>&1 &
echo $! >"$run_dir/xvfb.pid"
# -displayfd writes the number once the server accepts connections.
display_ready() { grep -qsx '[0-9][0-9]*' "$tmp/displayfd"; }
if ! wait_until 15 display_ready; then
  echo "Xvfb did not start" >&2
  explain_run >&2
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

# This desktop outlives every test process; one that user32 starts on demand
# closes with the last window, taking the tray with it. "wine explorer.exe"
# runs the explorer through start.exe, which stays as long as the explorer
# does (started without it, the explorer closed its desktop some seconds after
# the last test program had gone). The desktop is ready once that explorer
# shows it: a window of that name alone may belong to the session's own
# desktop explorer, which closes again. Should the session start one anyway
# and ours leave for it, ours starts again.
our_explorer='C:\windows\system32\explorer.exe /desktop=shell,800x600'
starter_pid=
# No command in these may fail inside $(...): set -E would run the ERR trap,
# the run's cleanup, in that subshell.
starter_alive() { [[ $(cat "/proc/$starter_pid/stat" 2>/dev/null || true) == "$starter_pid ("*") "[!ZX]* ]]; }
# shellcheck disable=SC2317 # run by wait_until
our_desktop_shown() {
  local window pid ours
  ours=" $(prefix_pids "$prefix" "$our_explorer" | tr '\n' ' ') "
  for window in $(xdotool search --name '^shell - Wine desktop$' 2>/dev/null || true); do
    pid=$(xdotool getwindowpid "$window" 2>/dev/null || true)
    [[ -n $pid && $ours == *" $pid "* ]] && return 0
  done
  return 1
}
# shellcheck disable=SC2317 # run by wait_until
explorer_left() { ! starter_alive && [[ -z $(prefix_pids "$prefix" "$our_explorer") ]]; }
# shellcheck disable=SC2317 # run by wait_until
desktop_settled() { our_desktop_shown || explorer_left; }
readonly DESKTOP_ATTEMPTS=3
for ((attempt = 1; ; ++attempt)); do
  if ! wait_until 30 no_desktop_explorer; then
    echo "the session's first desktop did not close" >&2
    explain_run >&2
    false
  fi
  wine explorer.exe /desktop=shell,800x600 </dev/null >>"$tmp/explorer.log" 2>&1 &
  starter_pid=$!
  if ! wait_until 60 desktop_settled; then
    echo "the desktop explorer showed no desktop on :$display within 60 s" >&2
    explain_run >&2
    false
  fi
  our_desktop_shown && break
  echo "the desktop explorer left before its desktop appeared (attempt $attempt of $DESKTOP_ATTEMPTS)" >&2
  if ((attempt == DESKTOP_ATTEMPTS)); then
    explain_run >&2
    false
  fi
done

echo "$prefix" >"$run_dir/prefix"
echo "$x11_dir" >"$run_dir/x11"
echo "$display" >"$run_dir/display"
echo "Wine test run: prefix $prefix, display :$display, Xvfb PID $(<"$run_dir/xvfb.pid")"
