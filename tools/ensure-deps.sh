#!/usr/bin/env bash
# Installs the Debian packages that building and testing in a checkout need,
# when they are missing, and says which.  Does nothing on a machine that has
# them all.  Only `npm test`, `npm start` and friends in a checkout call it;
# installing the package into another project never does (tools/install.js).
set -euo pipefail

need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v make >/dev/null 2>&1 || need+=(make)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/zlib.h ] || need+=(zlib1g-dev)
[ -f /usr/include/openssl/md5.h ] || need+=(libssl-dev)

[ ${#need[@]} -eq 0 ] && exit 0

echo "Installing missing build packages: ${need[*]}" >&2
if [ "$(id -u)" -eq 0 ]; then
  sudo=""
elif command -v sudo >/dev/null 2>&1; then
  sudo="sudo"
else
  echo "Please install: apt-get install ${need[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${need[@]}" >/dev/null
