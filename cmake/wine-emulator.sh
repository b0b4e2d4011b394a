#!/bin/bash
# Runs a Windows program under Wine inside the current test run: its own Wine
# prefix and Xvfb display, as recorded by tests/wine/run-setup.sh in the run
# directory. ctest uses this as the cross-compiling emulator; the tests tell it
# where the run directory is through ORBEL_WINE_RUN_DIR.
#
#   ORBEL_WINE_RUN_DIR=build/windows/wine-run cmake/wine-emulator.sh X.exe [args]
#
# The exit status is the program's exit code (its low byte).
set -euo pipefail

run_dir=${ORBEL_WINE_RUN_DIR:-}
if [[ -z $run_dir ]]; then
  echo "wine-emulator.sh: ORBEL_WINE_RUN_DIR is not set; run the Windows tests through ctest" >&2
  exit 125
fi
if [[ ! -s $run_dir/prefix || ! -s $run_dir/x11 || ! -s $run_dir/display ]]; then
  echo "wine-emulator.sh: no Wine test run is set up in $run_dir (the wine.run fixture did not run or failed)" >&2
  exit 125
fi

prefix=$(<"$run_dir/prefix")
x11_dir=$(<"$run_dir/x11")
display=$(<"$run_dir/display")

# Proxy settings leak into WinINet through INTERNET_OPEN_TYPE_PRECONFIG; a
# test must only ever see the network it sets up itself.
unset http_proxy https_proxy ftp_proxy all_proxy no_proxy
unset HTTP_PROXY HTTPS_PROXY FTP_PROXY ALL_PROXY NO_PROXY

export WINEPREFIX=$prefix
export DISPLAY=:$display
export WINEDEBUG=-all
# No Mono or Gecko: the prefix never asks to install them. A test may add
# overrides of its own with ORBEL_WINE_DLL_OVERRIDES (e.g. powrprof=n to load
# a stand-in DLL from beside the program it starts). They reach the processes
# the test starts only from here: Wine takes a child's WINEDLLOVERRIDES from
# its parent's Unix environment, not from the environment block given to
# CreateProcessW.
export WINEDLLOVERRIDES="mscoree,mshtml=${ORBEL_WINE_DLL_OVERRIDES:+;$ORBEL_WINE_DLL_OVERRIDES}"

# The program reaches the run's Xvfb through the socket file that the run
# keeps in its own directory (run-setup.sh says why), put over /tmp/.X11-unix
# in a mount namespace of the program's own; whatever another X server does to
# the machine's /tmp/.X11-unix cannot send it elsewhere.
# shellcheck disable=SC2016 # expanded by the inner shell
in_run_x11=(sh -c 'mount --bind "$1" /tmp/.X11-unix && shift && exec "$@"' sh "$x11_dir")

# Orbel's first evaluation starts its update check, which must never reach
# the real maker's host from a test. The program runs in a network namespace
# of its own, with no interface up; the run's wineserver and Xvfb are still
# reached through their sockets under /tmp. A test that brings its own
# private network (the update check's) says so with ORBEL_WINE_NETWORK=own.
if [[ ${ORBEL_WINE_NETWORK:-} == own ]]; then
  exec unshare --mount -- "${in_run_x11[@]}" wine "$@"
fi
if ! unshare --net --mount true 2>/dev/null; then
  echo "wine-emulator.sh: this machine refuses private network and mount namespaces (unshare --net --mount);" \
    "not running a Windows test with the machine's network" >&2
  exit 125
fi
exec unshare --net --mount -- "${in_run_x11[@]}" wine "$@"
