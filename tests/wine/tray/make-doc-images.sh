#!/bin/bash
# Makes the README's pictures from the screenshots the tray tests keep:
#
#   make-doc-images.sh SCREENSHOT_DIR IMAGE_DIR
#
# SCREENSHOT_DIR is tests/wine/tray/screenshots in a build tree after a run
# of the tray tests; IMAGE_DIR is docs/images. The icons are the taskbar's
# notification slot (20 x 20, the 16 x 16 icon with the taskbar around it)
# enlarged 8 times without smoothing; the menu is cut out at its real size.
# Metadata is stripped, so the same screenshots always give the same files.
set -euo pipefail

if (($# != 2)); then
  echo "usage: $0 SCREENSHOT_DIR IMAGE_DIR" >&2
  exit 2
fi
shots=$1
images=$2
mkdir -p "$images"

slot() {  # SCREENSHOT OUTPUT
  convert "$shots/$1.png" -crop 20x20+780+580 +repage -filter point -resize 800% -strip "$images/$2.png"
}
slot dark-taskbar-open eye-open
slot dark-taskbar-struck eye-struck

# The menu opens just above the icon, at the right edge of the desktop; the
# cut takes the menu and the end of the taskbar with the icon under it.
convert "$shots/menu-timed.png" -crop 170x220+630+380 +repage -strip "$images/menu.png"

ls -l "$images"
