#!/bin/bash
# The gateway's CPU per HTTP submission when each submission comes on a connection of its
# own, one after the other (as bench/modem_e2e submits): a gateway without SMSC connections,
# its data folder on a fresh journaled ext4 image when this runs as root (else in $TMPDIR),
# CPU from /proc (the connection threads' included, as they end). Extra arguments are
# "Key=Value" lines for [QARHUB], e.g. DurableAccept=No or EnableThreadPool=Yes.
#
#   bench/submit_cost.sh [requests=2000] [Key=Value ...]
#   (from the checkout, after a build)
set -euo pipefail
cd "$(dirname "$0")/.."
requests=${1:-2000}
shift || true
bin=$PWD/build/bin
scratch=$(mktemp -d)
mounted=
cleanup() {
  [ -n "${gateway:-}" ] && kill "$gateway" 2>/dev/null && wait "$gateway" 2>/dev/null
  [ -n "$mounted" ] && umount "$scratch/fs" 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT
home=$scratch/home
if [ "$(id -u)" = 0 ] && truncate -s 1G "$scratch/image" && mkfs.ext4 -q -F "$scratch/image" >/dev/null 2>&1 &&
  mkdir -p "$scratch/fs" && mount -o loop "$scratch/image" "$scratch/fs" 2>/dev/null; then
  mounted=yes
  home=$scratch/fs/home
  files="a fresh journaled ext4 image"
else
  files="$TMPDIR or /tmp, as it is"
fi
mkdir -p "$home"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
{
  printf '[QARHUB]\r\nWebPort=%s\r\n' "$port"
  for line in "$@"; do printf '%s\r\n' "$line"; done
} > "$home/QARHUB.INI"
QARSMS_HOME=$home/ "$bin/qaruser" add bench benchpw > /dev/null
QARSMS_HOME=$home/ "$bin/qargate" > "$scratch/gateway.out" 2>&1 &
gateway=$!
python3 - "$port" "$requests" "$gateway" "$files" "$*" <<'PY'
import os, socket, sys, time
port, n, pid, files, extra = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5]
tick = os.sysconf("SC_CLK_TCK")
def cpu():
    fields = open("/proc/%s/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / tick
for _ in range(100):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        break
    except OSError:
        time.sleep(0.1)
time.sleep(2)  # past the start-up's own work
def submit(i):
    s = socket.create_connection(("127.0.0.1", port), timeout=30)
    s.sendall(("GET /?User=bench&Password=benchpw&PhoneNumber=4477009%d&Text=m%d%s HTTP/1.1\r\n"
               "Host: bench\r\nConnection: close\r\n\r\n" % (10000 + i, i, "&ReceiptRequested=Yes" if i % 2 else "")).encode())
    answer = b""
    while True:
        part = s.recv(65536)
        if not part:
            break
        answer += part
    s.close()
    return answer.startswith(b"HTTP/1.1 200") or answer.startswith(b"HTTP/1.0 200")
start, began = cpu(), time.time()
refused = sum(0 if submit(i) else 1 for i in range(n))
used, took = cpu() - start, time.time() - began
print("%d submissions, one connection each, %d refused; files on %s; settings: %s" % (n, refused, files, extra or "defaults"))
print("gateway CPU %.3f ms per submission (%.2f s in all), %.0f submissions/s" % (used * 1000 / n, used, n / took))
PY
