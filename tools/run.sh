#!/usr/bin/env bash
# Builds Orbel.exe and starts it under Wine on a virtual desktop with a
# taskbar, so its eye shows in the notification area.
#
# With a DISPLAY the desktop opens there and Orbel runs until you choose
# "Avslutt Orbel" in its menu. Without one it runs under its own Xvfb until
# its eye shows in the notification area (at most a minute), saves a
# screenshot of the desktop to build/windows/run/screenshot.png and stops
# again.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows -j2 --target Orbel

build=build/windows
exe=$(pwd)/$build/src/Orbel.exe
run=$(pwd)/$build/run
mkdir -p "$run"

# Wine's taskbar is light; saying so gives Orbel's eye its dark ink there.
light_taskbar() {
  wine reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\Themes\Personalize' \
    /v SystemUsesLightTheme /t REG_DWORD /d 1 /f >/dev/null
}

if [[ -n ${DISPLAY:-} ]]; then
  # A prefix of its own, kept between runs, whose default desktop is virtual.
  export WINEPREFIX=$run/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  if [[ ! -e $WINEPREFIX/system.reg ]]; then
    wineboot -i
    wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d shell /f
    wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v shell /d 800x600 /f
    light_taskbar
  fi
  # Offline where the machine allows it: the demo has no business asking the
  # maker's host for a newer version.
  if unshare --net true 2>/dev/null; then
    exec unshare --net -- wine "$exe"
  fi
  exec wine "$exe"
fi

# No display: the same set-up the Windows tests use (own prefix copy, own
# Xvfb on a free display), ended again by PID.
wine_run=$run/wine-run
bash tests/wine/run-setup.sh "$(pwd)/$build/wine-template" "$wine_run"
trap 'bash tests/wine/run-cleanup.sh "$wine_run"' EXIT
export ORBEL_WINE_RUN_DIR=$wine_run
WINEPREFIX=$(<"$wine_run/prefix") WINEDEBUG=-all light_taskbar
cmake/wine-emulator.sh "$exe" &
orbel_pid=$!
display=$(<"$wine_run/display")

# The eye is drawn in the taskbar's notification area at (782,582), 16x16 on
# the 800x600 desktop; until then that cell is plain taskbar, one colour.
icon_cell_colours() {
  import -display ":$display" -window root -crop 16x16+782+582 +repage -format %k info: 2>/dev/null || echo 0
}
readonly ICON_WAIT_SECONDS=60
deadline=$((SECONDS + ICON_WAIT_SECONDS))
until (($(icon_cell_colours) > 1)); do
  if ! kill -0 "$orbel_pid" 2>/dev/null; then
    echo "Orbel.exe ended before its icon appeared" >&2
    exit 1
  fi
  if ((SECONDS >= deadline)); then
    echo "no icon in the notification area after $ICON_WAIT_SECONDS s" >&2
    import -display ":$display" -window root "$run/screenshot.png"
    echo "screenshot of the desktop: $run/screenshot.png" >&2
    exit 1
  fi
  sleep 0.2
done
import -display ":$display" -window root "$run/screenshot.png"
echo "Orbel ran under Wine on :$display; screenshot: $run/screenshot.png"
