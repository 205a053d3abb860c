#!/usr/bin/env bash
# Checks a vendor policy folder against a base policy tree the way the
# platform's build checks a device's policy, and shows that the check bites:
#
#   check-policy.sh --base TREE --out DIR --fc-check PATH [--vendor DIR]
#
#   neverallow      every policy file through m4 into one policy.conf,
#                   variant user, then checkpolicy (sepolicy_neverallows)
#   split           plat and vendor CIL, secilc with neverallows
#                   (precompiled_sepolicy)
#   recovery        everything with target_recovery=true (sepolicy.recovery)
#   file_contexts   vendor_file_contexts through m4 and the tree's
#                   tests/fc_sort.py; every context valid in
#                   precompiled_sepolicy, its type a file_type, dev_type or
#                   fs_type (checkfc's check, by PATH: fc_check)
#   sepolicy_tests  the tree's tests/sepolicy_tests.py on the plat and vendor
#                   file_contexts and precompiled_sepolicy, with libsepolwrap
#                   built from the tree's tests/sepol_wrap.cpp (not on
#                   Android 11, whose tests are Python 2)
#   canary          the neverallow check with canary/ added, a rule the base
#                   forbids: it must fail on a neverallow (the file_contexts
#                   step likewise wants canary/file_contexts refused)
#
# One line per step: "policy: STEP: pass|FAIL|skipped (why)"; exit 1 if a
# step failed. The tree is only read; DIR receives everything.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/policy-lib.sh"

BASE='' WORK='' VENDOR=$here/../../sepolicy fc_check=''
while [ $# -gt 0 ]; do
  case $1 in
    --base) BASE=$2; shift 2 ;;
    --out) WORK=$2; shift 2 ;;
    --vendor) VENDOR=$2; shift 2 ;;
    --fc-check) fc_check=$2; shift 2 ;;
    *) die "unknown argument $1 (see the header of $0)" ;;
  esac
done
[ -n "$BASE" ] && [ -n "$WORK" ] && [ -x "$fc_check" ] ||
  die "--base TREE, --out DIR and --fc-check PATH are needed"
BASE=$(cd "$BASE" && pwd) VENDOR=$(cd "$VENDOR" && pwd)
KIND=$(tree_kind)
rm -rf "$WORK"
mkdir -p "$WORK"
WORK=$(cd "$WORK" && pwd)
echo "policy: base tree $BASE ($KIND build), vendor folder $VENDOR"

step_neverallow() { # step_neverallow CONF VENDOR_DIR...
  local conf=$1
  shift
  make_conf "$conf" neverallow "$BASE/public" "$BASE/private" "$BASE/vendor" "$@"
  checkpolicy -M -c $POLICY_VERS -o "$conf.bin" "$conf" >"$conf.log" 2>&1
}

# file_contexts OUT FILE...: the files through m4 as the platform's
# file_contexts modules run it (Android 12 and later: after the flagging
# macros, a newline after each file), then sorted by the tree's fc_sort.py.
file_contexts() {
  local out=$1 f
  shift
  local inputs=()
  if [ "$KIND" = soong ]; then
    echo >"$WORK/newline"
    [ -f "$BASE/flagging/te_macros" ] && inputs+=("$BASE/flagging/te_macros" "$WORK/newline")
    for f in "$@"; do inputs+=("$f" "$WORK/newline"); done
  else
    inputs=("$@")
  fi
  m4 --fatal-warnings -s "${inputs[@]}" >"$out.m4out"
  if [ "$KIND" = make ]; then
    # Android 11's fc_sort.py is Python 2 as well; the order it gives
    # changes nothing the checks here look at.
    cp "$out.m4out" "$out"
  else
    python3 "$BASE/tests/fc_sort.py" -i "$out.m4out" -o "$out"
  fi
}

step_sepolicy_tests() {
  # The tests load libsepolwrap.so from their own folder: a copy of it.
  local tests=$WORK/tests triplet
  cp -r "$BASE/tests" "$tests"
  chmod -R u+w "$tests"
  triplet=$(gcc -dumpmachine)
  g++ -std=c++17 -O1 -shared -fPIC -include memory -I"$tests/include" \
    -I/usr/include/android "$tests/sepol_wrap.cpp" -o "$tests/libsepolwrap.so" \
    -l:libsepol.a -L"/usr/lib/$triplet/android" -lbase
  python3 "$tests/sepolicy_tests.py" -f "$WORK/plat_file_contexts" \
    -f "$WORK/vendor_file_contexts" -p "$WORK/precompiled_sepolicy"
}

# The steps without the split build's output run beside it.
(
  rc=0
  (step_neverallow "$WORK/policy.conf" "$VENDOR") || rc=$?
  echo $rc >"$WORK/neverallow.rc"
  rc=0
  (step_neverallow "$WORK/canary.conf" "$VENDOR" "$here/canary") || rc=$?
  # It must fail, and on a neverallow rather than on anything else.
  if [ $rc -ne 0 ] && grep -q 'neverallow.*violated' "$WORK/canary.conf.log"; then
    echo 0 >"$WORK/canary.rc"
  else
    echo 1 >"$WORK/canary.rc"
  fi
  rc=0
  (build_recovery) >"$WORK/recovery.out" 2>&1 || rc=$?
  echo $rc >"$WORK/recovery.rc"
) >"$WORK/side.log" 2>&1 &
side=$!

failed=0
report() { # report STEP RC [LOG]
  if [ "$2" -eq 0 ]; then
    echo "policy: $1: pass"
  else
    echo "policy: $1: FAIL"
    [ -n "${3:-}" ] && [ -f "$3" ] && sed 's/^/    /' "$3" | tail -n 20
    failed=1
  fi
}

# Each step in a subshell of its own: a failure (die) ends the step only.
rc=0
(build_split && secilc_binary "$WORK/precompiled_sepolicy" "$WORK/plat_sepolicy.cil" \
  "$WORK/vendor_sepolicy.cil") >"$WORK/split.out" 2>&1 || rc=$?
split_rc=$rc
rc=0
(file_contexts "$WORK/plat_file_contexts" "$BASE/private/file_contexts" &&
  file_contexts "$WORK/vendor_file_contexts" "$BASE/vendor/file_contexts" \
    "$VENDOR/file_contexts" &&
  { [ "$split_rc" -eq 0 ] || { echo "no precompiled_sepolicy"; false; }; } &&
  "$fc_check" "$WORK/precompiled_sepolicy" "$WORK/vendor_file_contexts" &&
  # and it bites: the canary's line, a domain as a file's type, is refused.
  { ! "$fc_check" "$WORK/precompiled_sepolicy" "$here/canary/file_contexts" ||
    { echo "fc_check let canary/file_contexts through"; false; }; }) \
  >"$WORK/file_contexts.out" 2>&1 || rc=$?
fc_rc=$rc
tests_rc=skip
if [ "$KIND" = soong ] && [ "$split_rc" -eq 0 ]; then
  rc=0
  (step_sepolicy_tests) >"$WORK/sepolicy_tests.out" 2>&1 || rc=$?
  tests_rc=$rc
fi
wait "$side" || true

for s in neverallow recovery canary; do
  [ -f "$WORK/$s.rc" ] || echo 1 >"$WORK/$s.rc"
done
report neverallow "$(<"$WORK/neverallow.rc")" "$WORK/policy.conf.log"
report split "$split_rc" "$WORK/split.out"
report recovery "$(<"$WORK/recovery.rc")" "$WORK/recovery.out"
report file_contexts "$fc_rc" "$WORK/file_contexts.out"
if [ "$tests_rc" = skip ] && [ "$KIND" = make ]; then
  echo "policy: sepolicy_tests: skipped (this tree's tests/sepolicy_tests.py is Python 2; file_contexts ran unsorted, its fc_sort.py being Python 2 too)"
elif [ "$tests_rc" = skip ]; then
  report sepolicy_tests 1 "$WORK/split.out"
else
  report sepolicy_tests "$tests_rc" "$WORK/sepolicy_tests.out"
fi
if [ "$(<"$WORK/canary.rc")" -eq 0 ]; then
  echo "policy: canary: pass (the neverallow check rejects it: $(grep -m1 'neverallow.*violated' "$WORK/canary.conf.log"))"
else
  echo "policy: canary: FAIL (no neverallow rejected it)"
  sed 's/^/    /' "$WORK/canary.conf.log" | tail -n 5
  failed=1
fi
exit $failed
