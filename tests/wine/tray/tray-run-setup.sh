#!/bin/bash
# Sets up a run of the Windows tests whose desktop has a dark taskbar (the
# ctest fixture "wine_dark_taskbar_run"):
#
#   tray-run-setup.sh BASE_TEMPLATE DARK_TEMPLATE RUN_DIR
#
# Wine paints its taskbar in the system colour COLOR_MENU, white in a new
# prefix, and its explorer reads the system colours once, when it starts: a
# test cannot darken the taskbar of a desktop that is already up. So the
# dark-taskbar template is the booted BASE_TEMPLATE (made by the fixture
# "wine_run") with a dark COLOR_MENU, and the run itself is made by
# run-setup.sh from it, exactly as wine_run's; run-cleanup.sh ends it.
set -Eeuo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
wine_dir=$(dirname "$here")
# shellcheck source-path=SCRIPTDIR source=../wine-common.sh
source "$wine_dir/wine-common.sh"

if (($# != 3)); then
  echo "usage: $0 BASE_TEMPLATE DARK_TEMPLATE RUN_DIR" >&2
  exit 2
fi
base=$1
template=$2
run_dir=$3
wine_env

# The dark grey of a dark Windows taskbar: Orbel's white ink shows on it.
taskbar_colour='32 32 32'
# shellcheck disable=SC2317 # run through make_template
darken_taskbar() { wine reg add 'HKCU\Control Panel\Colors' /v Menu /d "$taskbar_colour" /f; }

run_from_derived_template "$base" "$template" "$run_dir" "the dark-taskbar template" "\"Menu\"=\"$taskbar_colour\"" darken_taskbar
