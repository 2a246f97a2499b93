#!/usr/bin/env bash
# Installs, with apt-get, only the Debian packages this project needs that are missing.
# Safe to run again: a machine that has everything is left untouched.
set -euo pipefail

PACKAGES=(
  build-essential g++ cmake ninja-build make git pkg-config
  clang clang-format clang-tidy libclang-rt-14-dev
  python3 python3-dev pybind11-dev
  python3-numpy python3-pandas python3-jedi python3-pyflakes python3-pylsp
  python3-pytest python3-pytest-timeout python3-hypothesis
  python3-pip python3-setuptools python3-wheel python3-venv python3-build python3-mypy
  python3-aiohttp chromium
)

# The playground's front end comes from the npm registry; Node.js itself from Debian when absent.
if ! command -v npm >/dev/null 2>&1; then PACKAGES+=(nodejs npm); fi

missing=()
for pkg in "${PACKAGES[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "deps: installing ${missing[*]}"
SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
