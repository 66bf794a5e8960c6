#!/usr/bin/env bash
# Runs the whole test suite: sets up what is missing, builds the C++ unit tests (plain and
# under sanitizers) and the module itself under ASan+UBSan, then runs the C++ tests, pytest
# against the installed module and pytest against the sanitized one inside a private network
# namespace that has only loopback, so mDNS traffic never leaves the machine. Extra arguments
# go to pytest.
# Setup and each build print one line with the elapsed time (a failed one shows its output);
# each test stage shows its own output between "== stage" and "== stage: ok|FAILED (N s)" lines.
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
build_dir() {  # name, cmake args...
  local dir="build/$1"; shift
  "$cmake_bin" -S . -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$root/.venv/bin/ninja" "$@" &&
    "$cmake_bin" --build "$dir" -j "$jobs"
}
build_variant() {  # name, extra cmake args...: the C++ unit tests alone
  build_dir "$@" -DKX_BUILD_MODULE=OFF -DKX_BUILD_TESTS=ON
}
# The extension optimised as shipped (inlining exposes faults that -O0 hides), installed with
# its stubs into build/py-asan/site, which the sanitized pytest run puts first on PYTHONPATH.
build_sanitized_module() {
  build_dir py-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKX_SANITIZE=address,undefined \
    -DKX_BUILD_MODULE=ON -DKX_BUILD_TESTS=OFF -DPython_EXECUTABLE="$root/.venv/bin/python" &&
    "$cmake_bin" --install build/py-asan --prefix build/py-asan/site
}
quiet_stage "build C++ tests (plain)" build_variant cpp-tests -DCMAKE_BUILD_TYPE=RelWithDebInfo
quiet_stage "build C++ tests (ASan+UBSan)" build_variant cpp-asan -DCMAKE_BUILD_TYPE=Debug -DKX_SANITIZE=address,undefined
quiet_stage "build C++ tests (TSan)" build_variant cpp-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKX_SANITIZE=thread
quiet_stage "build module (ASan+UBSan)" build_sanitized_module

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

# pytest against the sanitized module; every process the tests start inherits the runtime.
# ASan writes its reports to files (any file fails the stage, whichever process wrote it);
# UBSan's reports go to stderr, so pytest captures only at the Python level and the native
# stderr of its own process stays in the stage output.
sanitized_pytest() (
  site="$root/build/py-asan/site" reports="$root/build/py-asan/reports" status=0
  rm -rf "$reports" && mkdir -p "$reports"
  # libstdc++ too, or ASan's __cxa_throw check fails on the first exception.
  preload=("$(gcc -print-file-name=libasan.so)" "$(gcc -print-file-name=libstdc++.so)")
  for lib in "${preload[@]}"; do [ -f "$lib" ] || { echo "no sanitizer runtime to preload: $lib"; exit 1; }; done
  export PYTHONPATH="$site${PYTHONPATH:+:$PYTHONPATH}" LD_PRELOAD="${preload[*]}"
  export ASAN_OPTIONS="detect_leaks=0:log_path=$reports/asan"
  export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
  loaded=$(.venv/bin/python -c 'import kx_proto_sdk; print(kx_proto_sdk.__file__)') || status=1
  if [ "$status" -eq 0 ] && [ "${loaded#"$site"/}" = "$loaded" ]; then
    echo "the sanitized module is not the one imported: $loaded"; status=1
  fi
  [ "$status" -ne 0 ] || .venv/bin/python -m pytest -q -p no:cacheprovider --capture=sys "$@" || status=1
  if compgen -G "$reports/*" >/dev/null; then
    for report in "$reports"/*; do echo "-- AddressSanitizer report $report"; cat "$report"; done
    status=1
  fi
  exit $status
)
loud_stage "Python tests (ASan+UBSan module)" sanitized_pytest "$@" || status=1
exit $status
INNER
