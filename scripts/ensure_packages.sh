#!/usr/bin/env bash
# ensure_packages.sh build|run|test: makes sure what scripts/build.sh, scripts/run.sh or
# scripts/test.sh needs is there before they build. On Debian, as root, it installs the
# missing packages with scripts/setup.sh; without root it names them and the command that
# installs them, and fails. When nothing is missing it costs one dpkg query and prints nothing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
set=$1

# Off Debian setup.sh cannot help: name the missing tools and leave the installing to the user.
if ! command -v dpkg-query >/dev/null; then
  tools=(cmake c++ npm openssl)
  [ "$set" != build ] && tools+=(espeak-ng sox)
  [ "$set" = test ] && tools+=(clang++)
  absent=()
  for t in "${tools[@]}"; do command -v "$t" >/dev/null || absent+=("$t"); done
  [ ${#absent[@]} -eq 0 ] && exit 0
  echo "setup: missing tools: ${absent[*]}; install them with the system's package manager" >&2
  exit 1
fi

missing=$("$root/scripts/setup.sh" --missing "$set")
[ -z "$missing" ] && exit 0
if [ "$(id -u)" != 0 ]; then
  echo "setup: missing packages: $missing" >&2
  echo "setup: install them with: sudo $root/scripts/setup.sh $set" >&2
  exit 1
fi

echo "setup: installing packages: $missing" >&2
log=$(mktemp)
trap 'rm -f "$log"' EXIT
"$root/scripts/setup.sh" "$set" >"$log" 2>&1 || {
  tail -n 40 "$log" >&2
  echo "setup: installing packages failed" >&2
  exit 1
}
