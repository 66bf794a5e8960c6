#!/usr/bin/env bash
# Runs the whole test suite: sets up what is missing, builds the C++ unit tests (plain and
# under sanitizers), then runs them and pytest inside a private network namespace that has
# only loopback, so mDNS traffic never leaves the machine. Extra arguments go to pytest.
# Prints one line per stage with its elapsed time; a failed setup or build shows its output.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

# quiet_stage NAME COMMAND...: runs COMMAND with its output kept aside, shown only on failure.
quiet_stage() {
  local name=$1 start=$SECONDS log
  shift
  log=$(mktemp)
  printf '%-34s' "$name"
  if "$@" >"$log" 2>&1; then
    echo "ok ($((SECONDS - start)) s)"
    rm -f "$log"
  else
    echo "FAILED ($((SECONDS - start)) s)"
    cat "$log"
    rm -f "$log"
    return 1
  fi
}

# loud_stage NAME COMMAND...: runs COMMAND with its output shown, then a line with the outcome.
loud_stage() {
  local name=$1 start=$SECONDS status=0
  shift
  echo "== $name"
  "$@" || status=$?
  if [ "$status" -eq 0 ]; then echo "== $name: ok ($((SECONDS - start)) s)"; else echo "== $name: FAILED ($((SECONDS - start)) s)"; fi
  return "$status"
}
export -f loud_stage

quiet_stage "setup" scripts/setup.sh

jobs=${KX_BUILD_JOBS:-$(nproc)}  # build parallelism; defaults to every core
cmake_bin="$root/.venv/bin/cmake"
build_variant() {  # name, extra cmake args...
  local dir="build/$1"; shift
  "$cmake_bin" -S . -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$root/.venv/bin/ninja" \
    -DKX_BUILD_MODULE=OFF -DKX_BUILD_TESTS=ON "$@" &&
    "$cmake_bin" --build "$dir" -j "$jobs"
}
quiet_stage "build C++ tests (plain)" build_variant cpp-tests -DCMAKE_BUILD_TYPE=RelWithDebInfo
quiet_stage "build C++ tests (ASan+UBSan)" build_variant cpp-asan -DCMAKE_BUILD_TYPE=Debug -DKX_SANITIZE=address,undefined
quiet_stage "build C++ tests (TSan)" build_variant cpp-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKX_SANITIZE=thread

unshare -n bash -s "$root" "$@" <<'INNER'
set -euo pipefail
root=$1; shift
cd "$root"
ip link set lo up
ip link set lo multicast on
ip route add 224.0.0.0/4 dev lo
status=0
for v in cpp-tests cpp-asan cpp-tsan; do
  loud_stage "C++ tests ($v)" env UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 TSAN_OPTIONS=halt_on_error=1 \
    ctest --test-dir "build/$v" --output-on-failure -j 4 || status=1
done
loud_stage "Python tests" .venv/bin/python -m pytest -q "$@" || status=1
exit $status
INNER
