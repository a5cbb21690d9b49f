#!/usr/bin/env bash
# Wall time of `kestrelctl status` on a simulated card, 20 runs: prints the median beside its goal.
# 200 ms of it are the waits the card needs (100 ms after opening each interface, twice).
# Usage: bench/status_latency.sh [path/to/kestrelctl] [board]
set -euo pipefail
ctl="${1:-$(dirname "$0")/../build/default/src/cli/kestrelctl}"
board="${2:-meadow}"
runs=20
times=()
for _ in $(seq "$runs"); do
  start=$(date +%s%N)
  "$ctl" --simulate "$board" status >/dev/null
  end=$(date +%s%N)
  times+=($(( (end - start) / 1000000 )))
done
median=$(printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}')
awk -v b="$board" -v n="$runs" -v m="$median" \
  'BEGIN { printf "kestrelctl status (%s), %d runs: median %s ms (goal <= 300 ms, ratio %.2f of goal)\n", b, n, m, m / 300 }' 
