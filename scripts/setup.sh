#!/usr/bin/env bash
# Sets up a machine for building and testing: the Debian packages the build needs,
# a CPython 3.10 virtual environment in .venv, and the package with its test extras.
# Quick when everything is already there.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ make pkg-config libasio-dev libprotobuf-dev protobuf-compiler libfmt-dev
          libavahi-core-dev libgtest-dev iproute2 clang-14 libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""; [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if [ ! -x .venv/bin/python ]; then
  py310=""
  if command -v pyenv >/dev/null 2>&1; then
    py310=$(ls -d "$(pyenv root)"/versions/3.10*/bin/python3.10 2>/dev/null | sort -V | tail -n 1 || true)
  fi
  [ -n "$py310" ] || py310=$(command -v python3.10 || true)
  if [ -z "$py310" ]; then echo "setup: CPython 3.10 not found (pyenv or python3.10)" >&2; exit 1; fi
  "$py310" -m venv .venv
fi

# Build requirements live in the venv so that rebuilds are incremental and offline-quick.
if ! .venv/bin/python -c "import scikit_build_core, pytest, numpy, scipy, zeroconf, mypy" 2>/dev/null; then
  .venv/bin/pip install -q --upgrade pip
  .venv/bin/pip install -q "scikit-build-core>=0.8" cmake ninja pytest numpy scipy zeroconf mypy
fi
.venv/bin/pip install -q --no-build-isolation ".[test]"
