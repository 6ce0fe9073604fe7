#!/usr/bin/env bash
# Demo of the diagnostics upload: sends a few sample log files and a crash dump
# through the helper's own upload code to the local upload service stand-in on
# 127.0.0.1, over TLS with throw-away certificates, and shows what it received.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target zorvik-upload-standin zorvik-upload-demo

work=$(mktemp -d)
standin_pid=""
cleanup() {
  if [ -n "$standin_pid" ]; then
    kill "$standin_pid" 2>/dev/null || true
    wait "$standin_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "== throw-away certificate authority and server certificate for localhost"
certs="$work/certs"
mkdir -p "$certs"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 \
  -subj "/CN=Zorvik demo authority" -keyout "$certs/ca-key.pem" -out "$certs/ca.pem" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=localhost" \
  -keyout "$certs/server-key.pem" -out "$certs/server.csr" 2>/dev/null
printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' \
  > "$certs/server.ext"
openssl x509 -req -in "$certs/server.csr" -CA "$certs/ca.pem" -CAkey "$certs/ca-key.pem" -CAcreateserial \
  -days 1 -extfile "$certs/server.ext" -out "$certs/server-cert.pem" 2>/dev/null
openssl x509 -in "$certs/server-cert.pem" -noout -subject -issuer -ext subjectAltName

echo "== sample files"
logs="$work/Logs"
reports="$work/User Data/Crashpad/reports"
mkdir -p "$logs" "$reports"
for name in ZorvikMusic-v9.5.2.2478-240102-030405 ZorvikMusicInstaller-v9.5.2.2478-240102-030410 \
            ZorvikMusic-renderer-v9.5.2.2478-240102-030415; do
  for i in $(seq 1 200); do
    printf '240102:0304%02d ZorvikMusic : I player : trackStarted : index = %d\r\n' $((i % 60)) "$i"
  done > "$logs/$name.log"
done
head -c 150000 /dev/urandom > "$reports/5f0c2b9e-7d41-4c3a-9e0b-2a6f1d8c4b71.dmp"
ls -l "$logs" "$reports"

echo "== the stand-in on 127.0.0.1"
received="$work/received"
mkdir -p "$received"
build/bin/zorvik-upload-standin --port 0 --cert "$certs/server-cert.pem" --key "$certs/server-key.pem" \
  --status 200 --log-dir "$received" > "$work/standin.out" 2>&1 &
standin_pid=$!
port=""
for _ in $(seq 1 100); do
  port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/standin.out" | head -n 1)
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "the stand-in did not start:"; cat "$work/standin.out"; exit 1; }
head -n 1 "$work/standin.out"

echo "== uploads through the helper's upload code"
files=("$logs"/*.log "$reports"/*.dmp)
build/bin/zorvik-upload-demo --host localhost --port "$port" --ca "$certs/ca.pem" "${files[@]}"

echo "== what the stand-in received"
sleep 0.2
tail -n +2 "$work/standin.out"
n=0
for file in "${files[@]}"; do
  n=$((n + 1))
  request="$received/request-$n.bin"
  size=$(stat -c %s "$file")
  echo "-- request $n: $(stat -c %s "$request") bytes; head and preamble:"
  head -n 17 "$request" | tr -d '\r' | sed 's/^/   | /'
  if tail -c $((size + 1)) "$request" | head -c "$size" | cmp -s - "$file" \
     && [ "$(tail -c 1 "$request")" = " " ]; then
    echo "   the body ends in the $size bytes of $(basename "$file") and one space"
  else
    echo "   the body does NOT match $(basename "$file")"
    exit 1
  fi
done

echo "== stopping the stand-in"
kill "$standin_pid"
wait "$standin_pid" 2>/dev/null || true
standin_pid=""
echo "done"
