#!/usr/bin/env bash
# Builds the device policy that the platform's build would make from a base
# policy tree and a vendor policy folder: the split build's loadable binary
# (precompiled_sepolicy) and the recovery policy (sepolicy.recovery). The
# guests load them to run the program under SELinux enforcing.
#
#   build-policy.sh --base TREE --out DIR [--vendor DIR] [--enforce DOMAIN]
#
# --vendor: the vendor policy folder (default: this project's sepolicy/).
# --enforce DOMAIN: every other member of attribute domain permissive, in
#   both policies (a CIL typepermissive line each, compiled in by secilc);
#   the kernel then denies only DOMAIN. Not for Android 11's recovery policy,
#   which its build compiles with checkpolicy rather than from CIL.
# Outputs in DIR: precompiled_sepolicy, sepolicy.recovery, and the CILs,
# confs and logs they were built from. Exits non-zero on any failure.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/policy-lib.sh"

BASE='' WORK='' VENDOR=$here/../../sepolicy enforce=''
while [ $# -gt 0 ]; do
  case $1 in
    --base) BASE=$2; shift 2 ;;
    --out) WORK=$2; shift 2 ;;
    --vendor) VENDOR=$2; shift 2 ;;
    --enforce) enforce=$2; shift 2 ;;
    *) die "unknown argument $1 (see the header of $0)" ;;
  esac
done
[ -n "$BASE" ] && [ -n "$WORK" ] || die "--base TREE and --out DIR are needed"
BASE=$(cd "$BASE" && pwd) VENDOR=$(cd "$VENDOR" && pwd)
KIND=$(tree_kind)
mkdir -p "$WORK"
WORK=$(cd "$WORK" && pwd)

build_split
extra=()
if [ -n "$enforce" ]; then
  permissive_cil "$WORK/permissive.cil" "$enforce" "$WORK/plat_sepolicy.cil" "$WORK/vendor_sepolicy.cil"
  extra=("$WORK/permissive.cil")
fi
secilc_binary "$WORK/precompiled_sepolicy" "$WORK/plat_sepolicy.cil" \
  "$WORK/vendor_sepolicy.cil" "${extra[@]}" || die "secilc: the split build fails"

if [ -n "$enforce" ]; then
  [ "$KIND" = soong ] || die "--enforce: this tree's recovery policy is no CIL"
  build_recovery_cil
  permissive_cil "$WORK/recovery_permissive.cil" "$enforce" "$WORK/recovery_sepolicy.cil"
  secilc_binary "$WORK/sepolicy.recovery" "$WORK/recovery_sepolicy.cil" \
    "$WORK/recovery_permissive.cil" || die "secilc: the recovery policy fails"
else
  build_recovery || die "the recovery policy fails"
fi
echo "policy: built $WORK/precompiled_sepolicy and $WORK/sepolicy.recovery"
