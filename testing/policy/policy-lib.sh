# Shared by build-policy.sh and check-policy.sh (sourced, not run): builds a
# device's SELinux policy from a base policy tree (a platform tree's
# system/sepolicy) and one vendor policy folder the way the platform's build
# does, with Debian's m4, checkpolicy and secilc.
#
# Where the platform's steps come from: the tree's build/soong/policy.go and
# Android.bp (Android 12 and later) or Android.mk and definitions.mk (11).
# The vendor folder goes where BOARD_VENDOR_SEPOLICY_DIRS puts it: after the
# tree's own vendor/ folder.
#
# Callers set: BASE (the tree), VENDOR (the vendor folder), WORK (an empty
# folder for the outputs).

POLICY_VERS=30 # the platform's POLICYVERS / PolicyVers
# The vendor API level of a device on Android 15 (the platform's
# VendorApiLevel): the public policy that vendor rules see is built for it.
BOARD_API_LEVEL=${BOARD_API_LEVEL:-202404}

die() {
  echo "policy: $*" >&2
  exit 1
}

# The file names the platform collects from each policy folder, in its order
# (se_build_files in Android.bp; sepolicy_build_files in Android.mk).
build_files=(security_classes initial_sids access_vectors global_macros
  neverallow_macros mls_macros mls_decl mls policy_capabilities te_macros
  attributes ioctl_defines ioctl_macros '*.te' roles_decl roles users
  initial_sid_contexts fs_use genfs_contexts port_contexts)
# Soong then sorts the collected files, stably, by this order (policy.go's
# policyConfOrder): "attributes" and the .te files share one place.
conf_order=(security_classes initial_sids access_vectors global_macros
  neverallow_macros mls_macros mls_decl mls policy_capabilities te_macros
  ioctl_defines ioctl_macros 'attributes|*.te' roles_decl roles users
  initial_sid_contexts fs_use genfs_contexts port_contexts)

declare -A conf_rank
for i in "${!conf_order[@]}"; do conf_rank[${conf_order[$i]}]=$i; done
rank_of() { # rank_of NAME: NAME's place in conf_order (unknown names last)
  case $1 in attributes | *.te) echo "${conf_rank['attributes|*.te']}" ;;
    *) echo "${conf_rank[$1]:-${#conf_order[@]}}" ;;
  esac
}

tree_kind() {
  if [ -f "$BASE/build/soong/policy.go" ]; then echo soong
  elif [ -f "$BASE/definitions.mk" ]; then echo make
  else die "$BASE: neither build/soong/policy.go nor definitions.mk; not a base policy tree"
  fi
}

# resolve_links: copies the file names on stdin to stdout, each file that
# stands for a link replaced by its target. A tree checked out where git
# makes no symbolic links holds a link as a file of one line without a
# newline, its target (reqd_mask/security_classes: ../private/security_classes).
resolve_links() {
  local files f target
  mapfile -t files
  declare -A link
  [ ${#files[@]} -gt 0 ] || return 0
  while IFS= read -r f; do
    target=$(dirname "$f")/$(<"$f")
    [ -f "$target" ] && link[$f]=$target
  done < <(grep -zLP '\n' "${files[@]}" || true)
  for f in "${files[@]}"; do echo "${link[$f]:-$f}"; done
}

# policy_files DIR...: the policy files of those folders in the order the
# platform hands them to m4.
policy_files() {
  local dir name f seq=0
  if [ "$KIND" = make ]; then
    # build_policy: for each file name, for each folder, its sorted matches.
    for name in "${build_files[@]}"; do
      for dir in "$@"; do
        compgen -G "$dir/$name" | LC_ALL=C sort || true
      done
    done | resolve_links
    return
  fi
  # Soong: the folders in order, each collected by file name (the flagging
  # macros first, from the modules' defaults), then the stable sort.
  {
    if [ -f "$BASE/flagging/te_macros" ]; then
      printf '%s\t0\t%s\n' "$(rank_of te_macros)" "$BASE/flagging/te_macros"
    fi
    for dir in "$@"; do
      for name in "${build_files[@]}"; do
        for f in $(compgen -G "$dir/$name" | LC_ALL=C sort); do
          seq=$((seq + 1))
          printf '%s\t%s\t%s\n' "$(rank_of "${f##*/}")" "$seq" "$f"
        done
      done
    done
  } | sort -t$'\t' -k1,1n -k2,2n | cut -f3 | resolve_links
}

# m4_defs ROLE: the m4 -D list of one kind of policy.conf. ROLE: neverallow
# (the neverallow check), plat, public (the confs vendor rules are built
# against: reqd_mask, pub_policy, vendor), recovery.
m4_defs() {
  local role=$1 variant=user split=true compat=true sysprop=true owner=true
  local recovery=false api=1000000 exclude=false
  if [ "$role" = recovery ]; then
    split=false compat=false sysprop=false owner=false recovery=true
  fi
  [ "$role" = public ] && api=$BOARD_API_LEVEL
  local defs=(-D mls_num_sens=1 -D mls_num_cats=1024 -D target_arch=arm64
    -D target_with_asan=false -D target_with_dexpreopt=true
    -D target_with_native_coverage=false -D target_build_variant=$variant
    -D target_exclude_build_test=$exclude
    -D target_requires_insecure_execmem_for_swiftshader=false)
  if [ "$KIND" = make ]; then
    # Android.mk sets the property switches only on the confs of the split
    # build; the neverallow and recovery confs leave them empty, and only the
    # recovery conf defines target_recovery.
    case $role in
      neverallow) compat='' sysprop='' ;;
      recovery) split='' compat='' sysprop='' ;;
    esac
    defs+=(-D target_full_treble=$split -D target_compatible_property=$compat
      -D target_treble_sysprop_neverallow=$sysprop)
    [ "$role" = recovery ] && defs+=(-D target_recovery=true)
  else
    defs+=(-D target_full_treble=$split -D target_compatible_property=$compat
      -D target_treble_sysprop_neverallow=$sysprop
      -D target_enforce_sysprop_owner=$owner
      -D target_enforce_debugfs_restriction=true -D target_recovery=$recovery
      -D target_board_api_level=$api)
  fi
  printf '%s\n' "${defs[@]}"
}

# make_conf OUT ROLE DIR...: m4 over the folders' policy files.
make_conf() {
  local out=$1 role=$2
  shift 2
  local defs files
  mapfile -t defs < <(m4_defs "$role")
  mapfile -t files < <(policy_files "$@")
  m4 --fatal-warnings "${defs[@]}" -s "${files[@]}" >"$out" || die "m4 failed for $out"
}

to_cil() { # to_cil CONF CIL
  checkpolicy -C -M -c $POLICY_VERS -o "$2" "$1" >"$2.log" 2>&1 ||
    { cat "$2.log" >&2; die "checkpolicy could not compile $1"; }
}

# filter_out CIL PATTERN...: drops the lines of CIL that are lines of a
# pattern file (build_sepolicy's filter_out), keeping a last empty line.
filter_out() {
  local cil=$1
  shift
  cat "$@" | awk 'NR == FNR { drop[$0] = 1; next } !($0 in drop)' - "$cil" >"$cil.tmp"
  echo >>"$cil.tmp"
  mv "$cil.tmp" "$cil"
}

# build_split: the split build's inputs, WORK/plat_sepolicy.cil and
# WORK/vendor_sepolicy.cil.
build_split() {
  local pub=$BASE/public priv=$BASE/private mask=$BASE/reqd_mask
  make_conf "$WORK/plat_sepolicy.conf" plat "$pub" "$priv"
  make_conf "$WORK/reqd_policy_mask.conf" public "$mask"
  make_conf "$WORK/pub_policy.conf" public "$pub" "$mask"
  make_conf "$WORK/vendor_sepolicy.conf" public "$pub" "$mask" "$BASE/vendor" "$VENDOR"
  to_cil "$WORK/plat_sepolicy.conf" "$WORK/plat_sepolicy.cil"
  cat "$priv/technical_debt.cil" >>"$WORK/plat_sepolicy.cil"
  to_cil "$WORK/reqd_policy_mask.conf" "$WORK/reqd_policy_mask.cil"
  to_cil "$WORK/pub_policy.conf" "$WORK/pub_policy.cil"
  filter_out "$WORK/pub_policy.cil" "$WORK/reqd_policy_mask.cil"
  # A vendor rule naming a private type fails here already: the vendor conf
  # holds the public policy only.
  to_cil "$WORK/vendor_sepolicy.conf" "$WORK/vendor_sepolicy.cil"
  # The platform versions the vendor CIL against the public policy
  # (version_policy, an extension of its own libsepol) and filters the
  # versioned public policy out. Vendor and platform here are one version,
  # so the mapping is the identity: filtering out the public policy leaves
  # the vendor's own statements. checkpolicy names the attributes it makes
  # for expressions base_typeattr_N in both CILs, numbered apart: the
  # vendor's get their own names first, so that none merges with, or is
  # filtered out as, a platform attribute of the same number. The line
  # markers (;;) go too, as remove_line_marker does for the other
  # partitions' CILs: filtering leaves them unpaired.
  sed -i -e '/^;;/d' -e 's/\bbase_typeattr_\([0-9]\+\)\b/vendor_base_typeattr_\1/g' \
    "$WORK/vendor_sepolicy.cil"
  filter_out "$WORK/vendor_sepolicy.cil" "$WORK/reqd_policy_mask.cil" "$WORK/pub_policy.cil"
}

# secilc_binary OUT CIL...: secilc as precompiled_sepolicy and
# sepolicy.recovery are built, neverallows checked.
secilc_binary() {
  local out=$1
  shift
  secilc -m -M true -G -c $POLICY_VERS "$@" -o "$out" -f /dev/null >"$out.log" 2>&1 ||
    { cat "$out.log" >&2; return 1; }
}

# build_recovery_cil: WORK/recovery_sepolicy.cil, from everything with
# target_recovery=true.
build_recovery_cil() {
  make_conf "$WORK/recovery_sepolicy.conf" recovery "$BASE/public" "$BASE/private" \
    "$BASE/vendor" "$VENDOR"
  to_cil "$WORK/recovery_sepolicy.conf" "$WORK/recovery_sepolicy.cil"
}

# build_recovery: WORK/sepolicy.recovery, neverallows checked. Android 11
# compiles the conf straight to the binary with checkpolicy; later releases
# compile its CIL with secilc.
build_recovery() {
  if [ "$KIND" = make ]; then
    make_conf "$WORK/recovery_sepolicy.conf" recovery "$BASE/public" "$BASE/private" \
      "$BASE/vendor" "$VENDOR"
    checkpolicy -M -c $POLICY_VERS -o "$WORK/sepolicy.recovery" \
      "$WORK/recovery_sepolicy.conf" >"$WORK/sepolicy.recovery.log" 2>&1 ||
      { cat "$WORK/sepolicy.recovery.log" >&2; return 1; }
  else
    build_recovery_cil
    secilc_binary "$WORK/sepolicy.recovery" "$WORK/recovery_sepolicy.cil"
  fi
}

# permissive_cil OUT DOMAIN CIL...: OUT gets a (typepermissive X) line for
# every member of attribute domain in the CILs but DOMAIN, which must be one.
# checkpolicy writes each attribute's members as one flat list of types.
permissive_cil() {
  local out=$1 keep=$2
  shift 2
  sed -n 's/^(typeattributeset domain (\(.*\)))$/\1/p' "$@" | tr ' ' '\n' |
    sed '/^$/d' | LC_ALL=C sort -u >"$out.members"
  grep -qx "$keep" "$out.members" || die "$keep is no member of attribute domain"
  grep -vx "$keep" "$out.members" | sed 's/.*/(typepermissive &)/' >"$out"
}
