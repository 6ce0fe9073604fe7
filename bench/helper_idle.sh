#!/usr/bin/env bash
# What the running helper costs between its passes, beside the libraries' own
# floor (bench/idle_floor.cpp: Qt application, local server, timer, Asio
# thread; and the same with OpenSSL's system trust store loaded), all idling
# in the same window:
#   resident memory after the first pass (which uploaded a log and a dump to
#   the local stand-in) and after the idle window, and the wake-ups (context
#   switches of all threads) during the window.
#
#   bash bench/helper_idle.sh [idle seconds, default 60] [runs, default 3]
#   ZORVIK_IDLE_DETAIL=1 ...   also the memory by kind and the largest mappings
#
# Needs root: the helper is built for 127.0.0.1:8443 (build-idle/) and runs in
# a network namespace of its own, where that port is always free.
set -euo pipefail
cd "$(dirname "$0")/.."
idle=${1:-60}
runs=${2:-3}

if [ -z "${ZORVIK_IDLE_INSIDE:-}" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "run as root (a private network namespace)"; exit 1; }
  bash scripts/install-deps.sh
  cmake -S . -B build-idle -G Ninja -DZORVIK_BUILD_TESTS=OFF -DZORVIK_BUILD_BENCH=ON \
    -DZORVIK_UPLOAD_HOST=127.0.0.1 -DZORVIK_UPLOAD_PORT=8443 \
    -DZORVIK_UPLOAD_EXTRA_CA_FILE="$PWD/build-idle/certs/ca.pem" >/dev/null
  cmake --build build-idle --target zorvik-music-helper zorvik-upload-standin idle_floor >/dev/null
  exec env ZORVIK_IDLE_INSIDE=1 unshare --net bash "$0" "$@"
fi
ip link set lo up

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p build-idle/certs
coproc STANDIN { exec build-idle/bin/zorvik-upload-standin --port 8443 --make-certs build-idle/certs --status 200 2>&1; }
pids+=("$STANDIN_PID")
exec 3<&"${STANDIN[0]}"
read -r -t 60 -u 3 line && read -r -t 60 -u 3 line || { echo "the stand-in did not start"; exit 1; }
cat <&3 > "$work/standin.out" &
pids+=("$!")

rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
switches() {
  local total=0 task n
  for task in /proc/"$1"/task/*; do
    n=$(awk '/ctxt_switches:/ { s += $2 } END { print s }' "$task/status" 2>/dev/null || echo 0)
    total=$((total + n))
  done
  echo "$total"
}
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

echo "idle window ${idle} s, ${runs} runs"
printf '%-4s %14s %14s %12s %12s %12s %10s %10s %10s\n' run "helper-pass" "helper-idle" floor "floor+tls" "ratio" "wake-h" "wake-f" "wake-ft"
for run in $(seq 1 "$runs"); do
  profile="$work/profile-$run"
  export HOME="$profile/home" XDG_DATA_HOME="$profile/home/.local/share" XDG_CONFIG_HOME="$profile/home/.config"
  export XDG_RUNTIME_DIR="$profile/run"
  mkdir -p "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME" && chmod 700 "$XDG_RUNTIME_DIR"
  logs="$XDG_DATA_HOME/Zorvik Music/Logs"
  reports="$XDG_DATA_HOME/Zorvik Music/User Data/Crashpad/reports"
  mkdir -p "$logs" "$reports" "$profile/app"
  head -c 20000 /dev/zero | tr '\0' 'l' > "$logs/ZorvikMusic-v9.5.2.2478-240102-030405.log"
  head -c 150000 /dev/urandom > "$reports/a.dmp"
  cp build-idle/bin/zorvik-music-helper "$profile/app/"
  printf '#!/bin/sh\n' > "$profile/app/Zorvik Music.exe" && chmod +x "$profile/app/Zorvik Music.exe"

  "$profile/app/zorvik-music-helper" & helper=$!; pids+=("$helper")
  while [ -n "$(find "$logs" "$reports" -name '*-2401*' -o -name '*.dmp' | head -n 1)" ]; do
    inotifywait -qq -t 5 -e delete "$logs" "$reports" || true
  done
  coproc FLOOR { exec build-idle/bin/idle_floor; }
  floor=$FLOOR_PID; pids+=("$floor"); read -r -t 30 -u "${FLOOR[0]}" ready
  coproc FLOORTLS { exec build-idle/bin/idle_floor --tls; }
  floortls=$FLOORTLS_PID; pids+=("$floortls"); read -r -t 30 -u "${FLOORTLS[0]}" ready

  pass=$(rss_kib "$helper")
  if [ -n "${ZORVIK_IDLE_DETAIL:-}" ]; then
    grep -E '^(RssAnon|RssFile|RssShmem|Threads)' "/proc/$helper/status" | sed 's/^/   helper /'
    grep -E '^(RssAnon|RssFile|RssShmem|Threads)' "/proc/$floortls/status" | sed 's/^/   floor+tls /'
    for p in "$helper" "$floortls"; do
      echo "   largest mappings of $p:"
      awk '/^[0-9a-f]+-[0-9a-f]+ / { name = $6 } /^Rss:/ { rss[name] += $2 } END { for (n in rss) printf "%8d kB %s\n", rss[n], n }' \
        "/proc/$p/smaps" | sort -rn | head -n "${ZORVIK_IDLE_DETAIL_LINES:-12}" | sed 's/^/     /'
    done
  fi
  h0=$(switches "$helper"); f0=$(switches "$floor"); t0=$(switches "$floortls")
  sleep "$idle"
  h1=$(switches "$helper"); f1=$(switches "$floor"); t1=$(switches "$floortls")
  after=$(rss_kib "$helper"); frss=$(rss_kib "$floor"); trss=$(rss_kib "$floortls")
  ratio=$(awk -v a="$after" -v b="$trss" 'BEGIN { printf "%.2f", a / b }')
  printf '%-4s %10s MiB %10s MiB %8s MiB %8s MiB %12s %10s %10s %10s\n' "$run" "$(mib "$pass")" "$(mib "$after")" \
    "$(mib "$frss")" "$(mib "$trss")" "$ratio" $((h1 - h0)) $((f1 - f0)) $((t1 - t0))
  echo "$pass $after $frss $trss $((h1 - h0))" >> "$work/figures"

  "$profile/app/zorvik-music-helper" --kill
  wait "$helper" || true
  kill "$floor" "$floortls"; wait "$floor" "$floortls" 2>/dev/null || true
done
echo "medians: helper after the first pass $(mib "$(cut -d' ' -f1 "$work/figures" | median)") MiB," \
  "after ${idle} s idle $(mib "$(cut -d' ' -f2 "$work/figures" | median)") MiB;" \
  "floor $(mib "$(cut -d' ' -f3 "$work/figures" | median)") MiB, floor with TLS $(mib "$(cut -d' ' -f4 "$work/figures" | median)") MiB;" \
  "helper wake-ups in the window $(cut -d' ' -f5 "$work/figures" | median)"
