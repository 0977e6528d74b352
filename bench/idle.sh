#!/usr/bin/env bash
# The program between ticks: CPU time over a minute of idle monitoring of the default machine,
# and its resident memory. Usage: bench/idle.sh [build folder, default build-bench] [seconds]
set -euo pipefail
build="${1:-build-bench}"
seconds="${2:-60}"
folder=$(mktemp -d /tmp/quorvik-idle-XXXXXX)
cp "$build/quorvik" "$build"/lib*.so "$folder/"
# One watch entry, so that every log is watched; no mail server needed.
"$build/bench/idle_setup" "$folder"
QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$folder" "$folder/quorvik" >/dev/null 2>&1 &
pid=$!
trap 'kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; rm -rf "$folder"' EXIT
sleep 5
ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
hz=$(getconf CLK_TCK)
start=$(ticks)
sleep "$seconds"
end=$(ticks)
rss=$(awk '/VmRSS/ {print $2}' "/proc/$pid/status")
hwm=$(awk '/VmHWM/ {print $2}' "/proc/$pid/status")
echo "idle_cpu_seconds_per_${seconds}s=$(echo "scale=3; ($end - $start) / $hz" | bc)"
echo "rss_mb=$(echo "scale=1; $rss / 1024" | bc) peak_rss_mb=$(echo "scale=1; $hwm / 1024" | bc)"
