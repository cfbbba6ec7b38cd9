#!/usr/bin/env bash
# Installs the Debian packages that building and testing in a checkout need,
# when they are missing, and says which.  Does nothing on a machine that has
# them all.  Only `npm test`, `npm start` and friends in a checkout call it;
# installing the package into another project never does (tools/install.js).
#   --fuzz   also clang with the libFuzzer and sanitizer runtimes (tools/fuzz.js)
set -euo pipefail

fuzz=0
for arg in "$@"; do
  case "$arg" in
    --fuzz) fuzz=1 ;;
    -h|--help) echo "usage: tools/ensure-deps.sh [--fuzz]   install missing build packages (--fuzz: and clang with libFuzzer)"; exit 0 ;;
    *) echo "ensure-deps.sh: unknown option $arg (try --help)" >&2; exit 2 ;;
  esac
done

need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v make >/dev/null 2>&1 || need+=(make)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/zlib.h ] || need+=(zlib1g-dev)
[ -f /usr/include/openssl/md5.h ] || need+=(libssl-dev)
if [ "$fuzz" -eq 1 ]; then
  if ! command -v clang++ >/dev/null 2>&1; then
    need+=(clang libclang-rt-dev)
  elif [ ! -f "$(clang++ -print-resource-dir)/lib/linux/libclang_rt.fuzzer-x86_64.a" ]; then
    need+=(libclang-rt-dev)
  fi
fi

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
