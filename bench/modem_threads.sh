#!/bin/bash
# Runs build/bin/modem_e2e and measures the gateway's threads over its sending phase: CPU run
# time (from each thread's schedstat, in nanoseconds) and voluntary and involuntary context
# switches, per message, from /proc alone. The window starts once the HTTP listener has taken
# the submissions (its thread has gone quiet for two seconds) and ends before the queue is empty.
#
#   bench/modem_threads.sh [messages=480] [window=60]
#   (from the checkout, after a build; the benchmark's own environment settings apply)
set -euo pipefail
cd "$(dirname "$0")/.."
messages=${1:-480}
window=${2:-60}
log=$(mktemp)
trap 'rm -f "$log"' EXIT
build/bin/modem_e2e "$messages" > "$log" 2>&1 &
bench=$!
gateway=
for _ in $(seq 1 240); do
  for p in $(pgrep -x qargate || true); do
    # The gateway with the modems is the one whose home is the benchmark's "gw" folder.
    if tr '\0' '\n' < "/proc/$p/environ" 2>/dev/null | grep -q "/gw/"; then gateway=$p; fi
  done
  [ -n "$gateway" ] && break
  sleep 0.5
done
if [ -z "$gateway" ]; then
  echo "the gateway did not start" >&2
  wait "$bench" || true
  cat "$log" >&2
  exit 1
fi
snapshot() {
  for t in /proc/"$gateway"/task/*; do
    echo "$(basename "$t") $(tr -c '[:alnum:]\n' _ < "$t/comm") $(grep ctxt_switches "$t/status" | awk '{print $2}' | paste -sd' ') $(awk '{print $1}' "$t/schedstat")"
  done 2>/dev/null
}
# The listener's voluntary switches rise with every connection it accepts.
listener_switches() {
  for t in /proc/"$gateway"/task/*; do
    if grep -q '^ListenForConnec' "$t/comm" 2>/dev/null; then awk '/^voluntary_ctxt/ {print $2}' "$t/status"; fi
  done | head -1
}
first=$(listener_switches); last=$first; still=0
while [ "$still" -lt 4 ] && kill -0 "$gateway" 2>/dev/null; do
  sleep 0.5
  now=$(listener_switches)
  [ -n "${QAR_DEBUG:-}" ] && echo "listener $now (from $first)" >&2
  if [ -n "$now" ] && [ "$now" = "$last" ] && [ $((now - first)) -ge $((messages / 2)) ]; then still=$((still + 1)); else still=0; fi
  last=$now
done
before=$(snapshot)
sleep "$window"
after=$(snapshot)
wait "$bench"
cat "$log"
python3 - "$window" "$log" <<PY
import re, sys
window, log = float(sys.argv[1]), sys.argv[2]
rate = float(re.search(r"rate ([0-9.]+)/min", open(log).read()).group(1)) / 60
def parse(text):
    out = {}
    for line in text.strip().splitlines():
        v = line.split()
        if len(v) == 5:
            out[v[0]] = [int(x) for x in v[2:]] + [v[1]]
    return out
a, b = parse("""$before"""), parse("""$after""")
messages = rate * window
rows = []
for tid, now in b.items():
    was = a.get(tid, [0, 0, 0, ""])
    rows.append([n - w for n, w in zip(now[:3], was[:3])] + [tid, now[3]])
rows.sort(key=lambda r: -r[2])
total = [sum(r[i] for r in rows) for i in range(3)]
print("sending phase: %.0f s, about %.0f messages" % (window, messages))
print("  all threads: %.3f ms CPU, %.2f voluntary and %.2f involuntary switches per message"
      % (total[2] / 1e6 / messages, total[0] / messages, total[1] / messages))
for vol, invol, ns, tid, name in rows[:12]:
    print("  thread %s %-15s: %.3f ms, %.2f voluntary, %.2f involuntary per message"
          % (tid, name, ns / 1e6 / messages, vol / messages, invol / messages))
PY
