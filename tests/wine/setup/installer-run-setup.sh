#!/bin/bash
# Sets up the run of the installer tests (the ctest fixture
# "wine_installer_run"), a prefix of its own: they install, upgrade and remove
# Orbel through Windows Installer, and end by comparing the whole prefix with
# a snapshot, which no other test may change meanwhile.
#
#   installer-run-setup.sh BASE_TEMPLATE INSTALLER_TEMPLATE RUN_DIR
#
# The template is the booted BASE_TEMPLATE (made by the fixture "wine_run")
# with winemenubuilder switched off for every process of the prefix (the
# registry form of WINEDLLOVERRIDES=winemenubuilder.exe=d): Wine would
# otherwise turn the Start-menu shortcut into a desktop entry in the home
# directory of whoever runs the tests. Then run-setup.sh makes the run from
# it, as wine_run's; run-cleanup.sh ends it.
set -Eeuo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
wine_dir=$(dirname "$here")
# shellcheck source-path=SCRIPTDIR source=../wine-common.sh
source "$wine_dir/wine-common.sh"

if (($# != 3)); then
  echo "usage: $0 BASE_TEMPLATE INSTALLER_TEMPLATE RUN_DIR" >&2
  exit 2
fi
base=$1
template=$2
run_dir=$3
wine_env

# shellcheck disable=SC2317 # run through make_template
no_menu_builder() { wine reg add 'HKCU\Software\Wine\DllOverrides' /v winemenubuilder.exe /d '' /f; }

run_from_derived_template "$base" "$template" "$run_dir" "the installer tests' template" '"winemenubuilder.exe"=""' no_menu_builder
