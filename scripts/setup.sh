#!/usr/bin/env bash
# Installs what the build, the tests and the demo need, only what is missing, and provides a host
# Python 3.8 (built once into the user's cache when neither pyenv nor PATH has one).
set -euo pipefail
cd "$(dirname "$0")/.."
pkgs=(cmake make ccache g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
      python3 libffi-dev zlib1g-dev xz-utils ffmpeg g++-arm-linux-gnueabihf qemu-user
      libffi-dev:armhf zlib1g-dev:armhf
      python3-matplotlib prometheus
      lintian dpkg-dev man-db groff-base bsdextrautils)
SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  $SUDO dpkg --add-architecture armhf
fi
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  $SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
python38=$(bash scripts/host_python.sh)
echo "setup: host Python 3.8: $python38"
