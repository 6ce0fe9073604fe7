#!/usr/bin/env bash
# Installs the Debian 12 packages the project builds, tests and runs with.
# Runs as root, or through sudo when present, on a minimal Debian 12; without
# either it names the missing packages and stops.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config git ca-certificates
  qtbase5-dev
  libboost-thread-dev libboost-filesystem-dev libboost-locale-dev
  libboost-date-time-dev libboost-system-dev
  libssl-dev openssl libhttp-parser-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev libspdlog-dev
  curl procps inotify-tools clang-format
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null 2>&1; then
    echo "install-deps.sh: these Debian packages are missing: ${missing[*]}" >&2
    echo "Installing them needs root or sudo (neither is available here). As root, run:" >&2
    echo "  apt-get install -y --no-install-recommends ${missing[*]}" >&2
    exit 1
  fi
  sudo=(sudo)
fi
# sudo drops the caller's environment: hand the setting to apt-get itself.
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
