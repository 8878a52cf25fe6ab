#!/usr/bin/env bash
# Drives a running KVRinstaller, whose main window has listed the demo
# devices, through one firmware upgrade with xdotool, as a person at the
# keyboard would, and captures the wizard's last page. Used by
# `scripts/screenshot --firmware` inside its Xvfb display.
#
#   firmware-wizard-drive.sh DB LAST_ROWID FILE.qfw OUT.png
#
# DB is the program's db1.mdb: its status log says when each step is done
# (rows after LAST_ROWID). Exits non-zero, naming the step, when one does not
# happen in time.
set -euo pipefail
db=$1 last=$2 qfw=$3 out=$4

fail() { echo "firmware screenshot: $*" >&2; exit 1; }
. "$(dirname "$0")/window-drive.sh"

main=$(window '^KVR Installer v') || fail "the main window is not shown"
# Discovery selects the first device; Firmware... opens the wizard for it.
keys "$main" alt+f
wizard=$(window 'Firmware Upload$') || fail "Firmware... did not open the wizard"
keys "$wizard" alt+n
dialog=$(window 'Select Firmware File') || fail "Next on page 1 did not ask for a file"
xdotool windowfocus --sync "$dialog"
sleep 0.3
xdotool type --delay 5 "$qfw"
xdotool key Return
logged 100 'File to be uploaded: %' || fail "the wizard did not take $qfw"
start=$(date +%s%N)
keys "$wizard" alt+n
# The download ends on page 4 (the version after the restart is logged), or
# on the upload page when it failed.
logged 1200 'PerformDownload: %firmware %' '%PerformDownload failed.' || fail "no download result within 120 s"
logged 1 '%PerformDownload failed.' && fail "the download failed (see tblStatus in $db)"
echo "Next to the device's new version: $(( ($(date +%s%N) - start) / 1000000 )) ms"
sqlite3 -readonly "$db" "SELECT Message FROM tblStatus WHERE rowid > $last AND Message LIKE 'PerformDownload: %firmware %'"
sleep 1  # page 4 drawn
/usr/bin/import -window "$wizard" "$out"
keys "$wizard" alt+f  # Finish!
