#!/usr/bin/env bash
# Installs the Debian 12 packages the project builds, tests and runs with.
# Runs as root (or through sudo when present) on a minimal Debian 12.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config git ca-certificates
  qtbase5-dev
  libboost-thread-dev libboost-filesystem-dev libboost-locale-dev
  libboost-date-time-dev libboost-system-dev
  libssl-dev openssl libhttp-parser-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  curl procps inotify-tools
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
