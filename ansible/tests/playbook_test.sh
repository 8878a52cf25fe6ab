#!/usr/bin/env bash
# The Ansible modules against kvrsim devices on a private virtual segment:
# fleet.yml (the devices as facts, check mode, a real run, idempotence) or
# faults.yml (a refusing device, bad input, a host without the program; and
# ansible-doc). Usage: playbook_test.sh BUNDLE_DIR fleet|faults
set -euo pipefail
bundle=$1
playbook=${2:-fleet}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/kvr-ansible.XXXXXX)
sim_pid=
doc_pid=
cleanup() {
  for pid in $sim_pid $doc_pid; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

# The program keeps its database and history.log beside itself: a copy of its
# own, so that other tests' runs never meet this one.
mkdir -p "$work/app" "$work/seg"
cp -r "$bundle"/. "$work/app/"
export KVR_SEGMENT_DIR=$work/seg KVR_ADAPTERS=virtual
export ANSIBLE_COLLECTIONS_PATH=$here/.. ANSIBLE_LOCALHOST_WARNING=false ANSIBLE_LOCAL_TEMP=$work/ansible-tmp \
       ANSIBLE_HOME=$work/ansible-home ANSIBLE_NOCOLOR=1

# ansible-doc renders both modules (one start, beside the playbook run); each
# module's own section must carry its examples.
if [ "$playbook" = faults ]; then
  ansible-doc zarn.kvr.kvr_firmware zarn.kvr.kvr_devices > "$work/doc.txt" 2>&1 &
  doc_pid=$!
fi

"$work/app/kvrsim" --make-qfw "$work/fw.qfw" >/dev/null
"$work/app/kvrsim" --segment site --log \
  --device mac=00:07:F5:AB:00:01,fwver=0x203 --device mac=00:07:F5:AB:00:02,fwver=0x203 \
  --device mac=00:07:F5:AB:00:03,fwver=0x203,fail-chunk=1:refuse:always \
  < /dev/null > "$work/frames.log" 2>&1 &
sim_pid=$!
for _ in $(seq 50); do grep -q "device(s) on segment" "$work/frames.log" && break; sleep 0.1; done

# Check mode runs first: until then the devices may only have been searched
# (reads and their acknowledgements), never written to or sent firmware.
cat > "$work/no-download.sh" <<EOS
#!/bin/sh
if grep -E '^[0-9]+ in ' "$work/frames.log" | grep -vE ' (READ|ACK) '; then
  echo "check mode sent more than the search" >&2; exit 1
fi
EOS
chmod +x "$work/no-download.sh"

ansible-playbook -i localhost, "$here/$playbook.yml" \
  -e "program=$work/app/KVRinstaller fw=$work/fw.qfw no_download_check=$work/no-download.sh" \
  -e '{"macs": ["00:07:F5:AB:00:01", "00:07:F5:AB:00:02"], "refusing": "00:07:F5:AB:00:03"}'

if [ -n "$doc_pid" ]; then
  wait "$doc_pid"
  for m in zarn.kvr.kvr_firmware zarn.kvr.kvr_devices; do
    awk -v head="> ${m^^} " 'index($0, head) == 1 { mine = 1; next } /^> / { mine = 0 }
                             mine && /^EXAMPLES:/ { found = 1 } END { exit !found }' "$work/doc.txt" ||
      { echo "ansible-doc does not render $m:" >&2; cat "$work/doc.txt" >&2; exit 1; }
  done
fi
