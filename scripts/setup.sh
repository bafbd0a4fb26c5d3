#!/usr/bin/env bash
# Installs the Debian packages that building and testing need (run as root on Debian 12).
set -euo pipefail
packages=(build-essential cmake pkg-config git openssl ca-certificates nodejs npm
          nlohmann-json3-dev libgtest-dev googletest espeak-ng sox
          clang libclang-rt-14-dev afl++)
missing=()
for p in "${packages[@]}"; do
  # A machine whose nodejs package bundles npm (NodeSource) cannot take Debian's npm package.
  [ "$p" = npm ] && command -v npm >/dev/null && continue
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
