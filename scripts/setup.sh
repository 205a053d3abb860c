#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test quillmap:
# host toolchain and test libraries, the platform's real base and log
# libraries for the platform-libs tree and bpfmt for Android.bp, the arm64
# cross toolchain with arm64 libuuid, QEMU for the real-kernel guests, and
# m4, checkpolicy, secilc and libsepol-dev for the policy check.
# Safe to run again.
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkg-config file
  googletest libgtest-dev libgmock-dev uuid-dev
  clang clang-format clang-tidy libclang-rt-14-dev valgrind
  android-libbase-dev android-liblog-dev blueprint-tools
  g++-aarch64-linux-gnu uuid-dev:arm64
  qemu-system-x86 qemu-system-arm qemu-utils cpio kmod
  m4 checkpolicy secilc libsepol-dev python3
)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

missing=()
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  "${sudo_cmd[@]}" dpkg --add-architecture arm64
  need_update=1
fi
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] || [ -n "${need_update:-}" ]; then
  "${sudo_cmd[@]}" apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
