# Helpers for the scripts that drive a running KVRinstaller with xdotool
# (sourced; they read $db and $last, the status log and the first row of
# this run).
# Waits up to $1 tenths of a second for a status-log row whose message is
# LIKE one of the patterns that follow.
logged() {
  local tenths=$1 where="0" n p
  for p in "${@:2}"; do where="$where OR Message LIKE '$p'"; done
  for _ in $(seq 1 "$tenths"); do
    n=$(sqlite3 -readonly "$db" "SELECT COUNT(*) FROM tblStatus WHERE rowid > $last AND ($where)" \
      2>/dev/null || echo 0)
    [ "${n:-0}" -gt 0 ] && return 0
    sleep 0.1
  done
  return 1
}
# Waits up to 10 s for a visible window whose title matches $1; prints its id.
window() {
  local id
  for _ in $(seq 1 100); do
    id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1 || true)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.1
  done
  return 1
}
# Keys go to the window that has the focus; without a window manager nothing
# moves it back after a dialog closes, so each key names its window.
keys() { xdotool windowfocus --sync "$1"; sleep 0.3; xdotool key --clearmodifiers "${@:2}"; }
