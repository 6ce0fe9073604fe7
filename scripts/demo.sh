#!/usr/bin/env bash
# The helper's main job on this machine, end to end: installs and builds, starts
# the local stand-in of the upload service on 127.0.0.1 with throw-away
# certificates, builds a helper that uploads there (build-demo/), runs it in a
# throw-away profile holding a few product logs, a helper archive, an empty log
# and a crash dump, shows what the service received and what left the Logs
# folder, stops the helper with a second start given --kill and shows its
# archived log.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target zorvik-upload-standin

work=$(mktemp -d)
helper_pid=""
standin_pid=""
cleanup() {
  [ -n "$helper_pid" ] && kill "$helper_pid" 2>/dev/null || true
  [ -n "$standin_pid" ] && kill "$standin_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "== the upload service stand-in on 127.0.0.1"
certs="$work/certs"
received="$work/received"
mkdir -p "$received" "$certs"
coproc STANDIN {
  exec build/bin/zorvik-upload-standin --address 127.0.0.1 --port 0 --make-certs "$certs" \
    --status 200 --log-dir "$received" 2>&1
}
standin_pid=$STANDIN_PID
exec 3<&"${STANDIN[0]}"
# Its first line comes once it listens: "listening on 127.0.0.1:<port>".
read -r -t 60 -u 3 listening || { echo "the stand-in did not start"; exit 1; }
echo "$listening"
port=${listening##*:}
[[ "$port" =~ ^[0-9]+$ ]] || { echo "unexpected first line: $listening"; exit 1; }
read -r -t 60 -u 3 authority
echo "$authority"
# Its certificate names 127.0.0.1 (the address it listens on): the helper is
# built for that host name, so its certificate check passes.
openssl x509 -in "$certs/server-cert.pem" -noout -subject -ext subjectAltName | sed 's/^/   /'

echo "== the helper, built to upload to 127.0.0.1:$port with that authority (build-demo/)"
cmake -S . -B build-demo -G Ninja -DZORVIK_BUILD_TESTS=OFF -DZORVIK_BUILD_BENCH=OFF \
  -DZORVIK_UPLOAD_HOST=127.0.0.1 -DZORVIK_UPLOAD_PORT="$port" \
  -DZORVIK_UPLOAD_EXTRA_CA_FILE="$certs/ca.pem" >/dev/null
cmake --build build-demo --target zorvik-music-helper
app="$work/app"
mkdir -p "$app"
cp build-demo/bin/zorvik-music-helper "$app/"
# The helper runs only beside the desktop application's executable.
printf '#!/bin/sh\necho "stand-in for the Zorvik Music desktop application"\n' > "$app/Zorvik Music.exe"
chmod +x "$app/Zorvik Music.exe"

echo "== a throw-away profile"
profile="$work/profile"
export HOME="$profile/home"
export XDG_DATA_HOME="$HOME/.local/share" XDG_CONFIG_HOME="$HOME/.config" XDG_CACHE_HOME="$HOME/.cache"
export XDG_RUNTIME_DIR="$profile/run"
mkdir -p "$XDG_DATA_HOME" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
logs="$XDG_DATA_HOME/Zorvik Music/Logs"
reports="$XDG_DATA_HOME/Zorvik Music/User Data/Crashpad/reports"
mkdir -p "$logs" "$reports"
for name in ZorvikMusic-v9.5.2.2478-240102-030405 ZorvikMusicInstaller-v9.5.2.2478-240102-030410 \
            ZorvikMusic-renderer-v9.5.2.2478-240102-030415; do
  for i in $(seq 1 200); do
    printf '240102:0304%02d ZorvikMusic : I player : trackStarted : index = %d\r\n' $((i % 60)) "$i"
  done > "$logs/$name.log"
done
printf '240101:000000 helper archive of an earlier run\r\n' > "$logs/ZorvikMusicHelper-v9.5.2.2478-240101-000000.log"
: > "$logs/ZorvikMusicMigrator-v9.5.2.2478-240102-030420.log"
head -c 150000 /dev/urandom > "$reports/5f0c2b9e-7d41-4c3a-9e0b-2a6f1d8c4b71.dmp"
(cd "$XDG_DATA_HOME/Zorvik Music" && find Logs "User Data" -type f -printf '%s\t%p\n' | sort -k2) | tee "$work/before.txt"

echo "== the helper runs: it uploads 3 product logs and the crash dump"
"$app/zorvik-music-helper" &
helper_pid=$!
for n in 1 2 3 4; do
  read -r -t 120 -u 3 line || { echo "the service received only $((n - 1)) uploads"; exit 1; }
  echo "$line"
done
cat <&3 > "$work/standin.more" &

# Each accepted file is deleted once its reply is in: wait for the deletions.
remaining() { find "$logs" "$reports" -type f \( -name 'ZorvikMusic*-2401*' -o -name '*.dmp' \) | wc -l; }
deadline=$((SECONDS + 120))
while [ "$(remaining)" -gt 0 ]; do
  kill -0 "$helper_pid" 2>/dev/null || { echo "the helper ended before deleting the uploaded files"; exit 1; }
  [ "$SECONDS" -lt "$deadline" ] || { echo "$(remaining) uploaded files still there after 120 s"; exit 1; }
  inotifywait -qq -t 5 -e delete -e moved_from "$logs" "$reports" || true
done
echo "== what the service received"
for request in "$received"/request-*.bin; do
  echo "-- $(basename "$request"): $(stat -c %s "$request") bytes; its head:"
  head -n 12 "$request" | tr -d '\r' | sed 's/^/   | /'
done

echo "== gone from the profile"
(cd "$XDG_DATA_HOME/Zorvik Music" && find Logs "User Data" -type f -printf '%s\t%p\n' | sort -k2) > "$work/after.txt"
comm -23 <(cut -f2 "$work/before.txt") <(cut -f2 "$work/after.txt") | sed 's/^/   /'
echo "== still there"
sed 's/^/   /' "$work/after.txt"

echo "== a second start with --kill stops it"
"$app/zorvik-music-helper" --kill && echo "   --kill start: exit 0"
status=0
wait "$helper_pid" || status=$?
helper_pid=""
echo "   the helper: exit $status"

echo "== its archived log"
archive=$(ls -t "$logs"/ZorvikMusicHelper-v*.log | head -1)
echo "-- $(basename "$archive")"
tr -d '\r' < "$archive" | sed 's/^/   | /'

kill "$standin_pid"
wait "$standin_pid" 2>/dev/null || true
standin_pid=""
echo "done"
