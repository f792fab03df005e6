#!/usr/bin/env bash
# Runs the dpi layout test in a Wine prefix of its own whose screen has DPI
# dots per inch, and turns its screenshots into PNG files in SHOTS.
#
#   dpi_run.sh DPI TEST_EXE PREFIX SHOTS     (DISPLAY set by scripts/test)
#
# The prefix is made once (scripts/lib/wine.sh) and only its dpi changes
# between runs: Wine 8 reads the screen's dpi when a process starts, from
# HKCU\Control Panel\Desktop\LogPixels, else from HKLM\System\
# CurrentControlSet\Hardware Profiles\Current\Software\Fonts\LogPixels.
# The test's own prefix keeps the shared one at 96 dpi whatever happens here.
set -uo pipefail
dpi=$1 exe=$2 prefix=$(realpath -m "$3") shots=$(realpath -m "$4")
: "${DISPLAY:?the test display is set by scripts/test}"
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/../../scripts/lib/wine.sh"
morvik_prefix_init "$prefix" || exit 1
wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f </dev/null >/dev/null 2>&1 ||
  { echo "dpi_run.sh: cannot set LogPixels"; exit 1; }
morvik_wine_server_start
trap 'wineserver -k >/dev/null 2>&1' EXIT
rm -rf "$shots"
mkdir -p "$shots"
MORVIK_DPI=$dpi MORVIK_SCREENSHOTS="Z:$shots" wine "$exe" </dev/null
rc=$?
# Themed drawing sets the fourth byte of a pixel, plain GDI drawing leaves
# it 0: it is no alpha channel.
for f in "$shots"/*.bmp; do
  [ -f "$f" ] && convert "$f" -alpha off "${f%.bmp}.png" && rm -f "$f"
done
echo "screenshots at $dpi dpi: $(cd "$shots" && echo *.png)"
exit $rc
