#!/usr/bin/env bash
# Builds the device policy that the platform's build would make from a base
# policy tree and a vendor policy folder: the split build's loadable binary
# (precompiled_sepolicy) and the recovery policy (sepolicy.recovery). The
# guests load them to run the program under SELinux enforcing.
#
#   build-policy.sh --base TREE --out DIR [--vendor DIR] [--enforce DOMAIN]
#                   [--normal-only] [--cache DIR]
#
# --vendor: the vendor policy folder (default: this project's sepolicy/).
# --enforce DOMAIN: every other member of attribute domain permissive, in
#   both policies (a CIL typepermissive line each, compiled in by secilc);
#   the kernel then denies only DOMAIN. Not for Android 11's recovery policy,
#   which its build compiles with checkpolicy rather than from CIL.
# --normal-only: no recovery policy.
# --cache DIR: outputs are kept in DIR under a hash of every input (the
#   base tree, the vendor folder's contents, these scripts, the compilers,
#   the options) and copied from
#   there when it holds them: the policy is the same for every build tree.
# Outputs in DIR: precompiled_sepolicy, sepolicy.recovery, and the CILs,
# confs and logs they were built from. Exits non-zero on any failure.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/policy-lib.sh"

BASE='' WORK='' VENDOR=$here/../../sepolicy enforce='' normal_only='' cache=''
while [ $# -gt 0 ]; do
  case $1 in
    --base) BASE=$2; shift 2 ;;
    --out) WORK=$2; shift 2 ;;
    --vendor) VENDOR=$2; shift 2 ;;
    --enforce) enforce=$2; shift 2 ;;
    --normal-only) normal_only=1; shift ;;
    --cache) cache=$2; shift 2 ;;
    *) die "unknown argument $1 (see the header of $0)" ;;
  esac
done
[ -n "$BASE" ] && [ -n "$WORK" ] || die "--base TREE and --out DIR are needed"
BASE=$(cd "$BASE" && pwd) VENDOR=$(cd "$VENDOR" && pwd)
KIND=$(tree_kind)
mkdir -p "$WORK"
WORK=$(cd "$WORK" && pwd)
outputs=(precompiled_sepolicy)
[ -n "$normal_only" ] || outputs+=(sepolicy.recovery)
if [ -n "$cache" ]; then
  key=$( { echo "enforce=$enforce normal_only=$normal_only"; sha256sum "$(command -v secilc)" "$(command -v checkpolicy)"
           cd "$BASE" && find . -type f | LC_ALL=C sort | xargs -d '\n' sha256sum
           cd "$VENDOR" && sha256sum ./*; sha256sum "$here"/*.sh; } | sha256sum | cut -c1-16)
  if (cd "$cache/$key" 2>/dev/null && cp "${outputs[@]}" "$WORK"/); then
    echo "policy: ${outputs[*]} from $cache/$key"
    exit 0
  fi
fi

build_split
extra=()
if [ -n "$enforce" ]; then
  permissive_cil "$WORK/permissive.cil" "$enforce" "$WORK/plat_sepolicy.cil" "$WORK/vendor_sepolicy.cil"
  extra=("$WORK/permissive.cil")
fi
secilc_binary "$WORK/precompiled_sepolicy" "$WORK/plat_sepolicy.cil" \
  "$WORK/vendor_sepolicy.cil" "${extra[@]}" || die "secilc: the split build fails"

if [ -n "$normal_only" ]; then
  :
elif [ -n "$enforce" ]; then
  [ "$KIND" = soong ] || die "--enforce: this tree's recovery policy is no CIL"
  build_recovery_cil
  permissive_cil "$WORK/recovery_permissive.cil" "$enforce" "$WORK/recovery_sepolicy.cil"
  secilc_binary "$WORK/sepolicy.recovery" "$WORK/recovery_sepolicy.cil" \
    "$WORK/recovery_permissive.cil" || die "secilc: the recovery policy fails"
else
  build_recovery || die "the recovery policy fails"
fi
if [ -n "$cache" ]; then
  mkdir -p "$cache/$key.tmp" && (cd "$WORK" && cp "${outputs[@]}" "$cache/$key.tmp"/) &&
    rm -rf "$cache/$key" && mv "$cache/$key.tmp" "$cache/$key"
fi
echo "policy: built ${outputs[*]} in $WORK"
