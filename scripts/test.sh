#!/usr/bin/env bash
# The whole test run, from a fresh Debian 12 machine: installs what is
# missing, builds the real-kernel guests, then configures, builds and runs
# every test of the five trees:
#   default  host build: unit, fake-kernel and contract tests, the policy
#            checks and the real-kernel tests in the amd64 guest; then its
#            static checks (label lint) as the test preset lint;
#   asan     the host suites again under AddressSanitizer + UBSan;
#   aarch64  the static arm64 build, its tests run in both arm64 guests
#            (Linux 6.1, and 6.12 with 16 KiB pages);
#   platform-libs  libdm/ and tool/ on the platform's real base and log
#            libraries: the program compared with its stand-in build;
#   fuzz     clang: each libFuzzer target runs its seeds and searches
#            briefly from them.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
if [ -x testing/vm/build-guest.sh ]; then
  testing/vm/build-guest.sh amd64
  testing/vm/build-guest.sh arm64
  testing/vm/build-guest.sh arm64 --kernel 6.12-16k
fi

jobs=$(nproc)
for preset in default asan aarch64 platform-libs fuzz; do
  echo "==== ${preset}: configure and build"
  cmake --preset "${preset}" >/dev/null
  cmake --build --preset "${preset}" -j"${jobs}"
  echo "==== ${preset}: test"
  ctest --preset "${preset}" -j"${jobs}"
  if [ "${preset}" = default ]; then
    echo "==== default: lint"
    ctest --preset lint -j"${jobs}"
  fi
done
