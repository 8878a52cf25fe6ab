#!/usr/bin/env bash
# Installs the KVR SNAP dissector into the personal Wireshark Lua plugin folder
# (~/.local/lib/wireshark/plugins), where Wireshark and tshark load it at start.
#
#   tools/wireshark/install.sh            install (or update) for this user
#   tools/wireshark/install.sh --remove   remove it again
#   tools/wireshark/install.sh --dir DIR  install into DIR instead
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_file="$here/snap.lua"
target_dir="${HOME:?HOME is not set}/.local/lib/wireshark/plugins"
remove=0

while [ $# -gt 0 ]; do
  case "$1" in
    --remove) remove=1 ;;
    --dir)
      [ $# -ge 2 ] || { echo "install.sh: --dir needs a folder" >&2; exit 2; }
      target_dir="$2"; shift ;;
    -h|--help) sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "install.sh: unknown option '$1' (try --help)" >&2; exit 2 ;;
  esac
  shift
done

target="$target_dir/kvr_snap.lua"

if [ "$remove" -eq 1 ]; then
  if [ -e "$target" ]; then
    rm -f "$target"
    echo "Removed $target"
  else
    echo "Nothing to remove: $target does not exist"
  fi
  exit 0
fi

[ -r "$source_file" ] || { echo "install.sh: cannot read $source_file" >&2; exit 1; }
mkdir -p "$target_dir"
cp "$source_file" "$target.tmp"
mv -f "$target.tmp" "$target"
echo "Installed $target"

# Check that tshark takes it, when tshark is there.
if command -v tshark >/dev/null 2>&1 && [ -z "${KVR_INSTALL_NO_CHECK:-}" ]; then
  if tshark -G fields 2>/dev/null | grep -q $'\tsnap.label\t'; then
    echo "tshark loads the dissector (filter example: snap.label == 0x1234)"
  else
    echo "install.sh: tshark did not load the dissector; run 'tshark -G folders' to see where it looks for Lua plugins" >&2
    exit 1
  fi
fi
