#!/usr/bin/env bash
# Drives a running KVRinstaller, whose main window has listed the demo
# devices, through one upgrade of all of them at once with xdotool, and
# captures the several-device window after the run. Used by
# `scripts/screenshot --several` inside its Xvfb display.
#
#   several-devices-drive.sh DB LAST_ROWID FILE.qfw OUT.png
set -euo pipefail
db=$1 last=$2 qfw=$3 out=$4

fail() { echo "several-device screenshot: $*" >&2; exit 1; }
. "$(dirname "$0")/window-drive.sh"

main=$(window '^KVR Installer v') || fail "the main window is not shown"
keys "$main" ctrl+a alt+f
dialog=$(window 'Select Firmware File') || fail "Firmware... did not ask for a file"
xdotool windowfocus --sync "$dialog"
sleep 0.3
xdotool type --delay 5 "$qfw"
xdotool key Return
several=$(window 'several KVRs') || fail "the several-device window did not open"
start=$(date +%s%N)
keys "$several" alt+s
logged 1800 'Upgrade: % upgraded, % failed.' || fail "the run did not end within 180 s"
echo "Start to the end of the run: $(( ($(date +%s%N) - start) / 1000000 )) ms"
sqlite3 -readonly "$db" "SELECT Message FROM tblStatus WHERE rowid > $last AND strModule = 'frmMultiUpgrade' AND Message LIKE 'Upgrade: %'"
sleep 1  # the last refresh drawn
/usr/bin/import -window "$several" "$out"
keys "$several" alt+c
