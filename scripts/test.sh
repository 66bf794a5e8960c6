#!/usr/bin/env bash
# Runs the whole test suite: builds what is missing, then runs the C++ unit tests
# (plain and under sanitizers) and pytest inside a private network namespace
# that has only loopback, so mDNS traffic never leaves the machine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
scripts/setup.sh

jobs=$(nproc)
cmake_bin="$root/.venv/bin/cmake"
build_variant() {  # name, extra cmake args...
  local dir="build/$1"; shift
  "$cmake_bin" -S . -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$root/.venv/bin/ninja" \
    -DKX_BUILD_MODULE=OFF -DKX_BUILD_TESTS=ON "$@" >/dev/null
  "$cmake_bin" --build "$dir" -j "$jobs" >/dev/null
}
build_variant cpp-tests -DCMAKE_BUILD_TYPE=RelWithDebInfo
build_variant cpp-asan -DCMAKE_BUILD_TYPE=Debug -DKX_SANITIZE=address,undefined
build_variant cpp-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKX_SANITIZE=thread

unshare -n bash -s "$root" "$@" <<'INNER'
set -euo pipefail
root=$1; shift
cd "$root"
ip link set lo up
ip link set lo multicast on
ip route add 224.0.0.0/4 dev lo
status=0
for v in cpp-tests cpp-asan cpp-tsan; do
  echo "== C++ tests ($v)"
  ( cd "build/$v" && UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
      TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j 4 ) || status=1
done
echo "== Python tests"
.venv/bin/python -m pytest -q "$@" || status=1
exit $status
INNER
