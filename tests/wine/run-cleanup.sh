#!/bin/bash
# Ends one run of the Windows tests (the cleanup of the ctest fixture
# "wine.run"), or whatever part of it run-setup.sh got to start:
#
#   run-cleanup.sh RUN_DIR
#
# Only the run's own processes are ended: every Wine process of its prefix
# through that prefix's wineserver, and its Xvfb by the recorded PID.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR source=wine-common.sh
source "$here/wine-common.sh"

if (($# != 1)); then
  echo "usage: $0 RUN_DIR" >&2
  exit 2
fi
run_dir=$1
[[ -d $run_dir ]] || exit 0
wine_env

tmp=
[[ -s $run_dir/tmp ]] && tmp=$(<"$run_dir/tmp")
status=0

if [[ -n $tmp && -d $tmp/prefix ]]; then
  prefix=$tmp/prefix
  stop_wineserver "$prefix"
  remove_server_dir "$prefix"
  no_prefix_pids() { [[ -z $(prefix_pids "$prefix") ]]; }
  if ! wait_until 10 no_prefix_pids; then
    left=$(prefix_pids "$prefix" | tr '\n' ' ')
    echo "processes of $prefix outlived its wineserver, ending them: $left" >&2
    # shellcheck disable=SC2086
    kill -KILL $left 2>/dev/null
    status=1
  fi
fi

if [[ -s $run_dir/xvfb.pid ]]; then
  xvfb_pid=$(<"$run_dir/xvfb.pid")
  xvfb_gone() { ! pid_is "$xvfb_pid" Xvfb; }
  if pid_is "$xvfb_pid" Xvfb; then
    kill "$xvfb_pid" 2>/dev/null
    if ! wait_until 10 xvfb_gone; then
      kill -KILL "$xvfb_pid" 2>/dev/null
      wait_until 5 xvfb_gone || { echo "Xvfb (PID $xvfb_pid) does not end" >&2; status=1; }
    fi
  fi
fi

# Only ever a directory run-setup.sh made.
if [[ -n $tmp && $(basename "$tmp") == orbel-wine-run.* ]]; then
  rm -rf "$tmp"
fi
rm -rf "$run_dir"
exit "$status"
