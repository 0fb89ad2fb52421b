#!/usr/bin/env bash
# Installs what building and testing tembrel needs and is not yet present:
# Debian packages through apt-get, Python packages through pip into the
# project's virtual environment (.venv). Safe to run again: it only installs
# what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

DEB_PACKAGES=(
  g++ make cmake ninja-build
  libeigen3-dev        # dense linear algebra
  libboost-math-dev    # distribution functions
  libtbb-dev           # worker pool
  liblbfgsb-dev gfortran  # L-BFGS-B 3.0
  liblbfgspp-dev       # L-BFGS with More-Thuente line search
  libgtest-dev         # C++ unit tests
  python3-dev python3-venv
)

missing=()
for pkg in "${DEB_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing Debian packages: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

PYTHON="${PYTHON:-python3}"
if [ ! -x .venv/bin/python ]; then
  echo "setup: creating the virtual environment .venv"
  "$PYTHON" -m venv .venv
fi

# Build and test requirements of the module; the benchmark extras are
# installed by `make bench` only.
REQS=(pip "scikit-build-core>=0.10" "numpy>=2.0" cmake ninja "pytest>=7" scipy)
stamp=.venv/.setup-stamp
want="$(printf '%s\n' "${REQS[@]}")"
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$want" ]; then
  echo "setup: installing Python packages into .venv"
  .venv/bin/python -m pip install -q --upgrade "${REQS[@]}"
  printf '%s' "$want" > "$stamp"
fi
