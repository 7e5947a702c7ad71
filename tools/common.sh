# Shared helpers of the scripts in tools/. Source it; do not run it.
# shellcheck shell=bash

DAGLOOM_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# Debian's interpreter, always by full path: `python3` on PATH may be another
# installation (here a pyenv 3.11 without pytest).
DAGLOOM_SYS_PY=${DAGLOOM_SYS_PY:-/usr/bin/python3}
DAGLOOM_JOBS=${DAGLOOM_JOBS:-2}
export DAGLOOM_JOBS

_stage_t0=0
_stage_name=
DAGLOOM_STAGE_TIMES=()

# Print a stage header; closes the timing of the previous stage.
stage() {
  close_stage_timing
  _stage_name=$1
  _stage_t0=$SECONDS
  printf '\n======== %s ========\n' "$_stage_name"
}

close_stage_timing() {
  if [[ -n "$_stage_name" ]]; then
    DAGLOOM_STAGE_TIMES+=("$(printf '%5ds  %s' $((SECONDS - _stage_t0)) "$_stage_name")")
    _stage_name=
  fi
}

print_stage_times() {
  close_stage_timing
  printf '\n======== stage times ========\n'
  printf '%s\n' "${DAGLOOM_STAGE_TIMES[@]}"
}

info() { printf '%s\n' "$*"; }
die() { printf 'error: %s\n' "$*" >&2; exit 1; }

# run_stages <script> <stage>... -- [requested stage]...: runs the requested
# stages (all the listed ones when none is requested) as the functions
# stage_<name>, in order, after checking that each exists, then prints the
# stage times. Stages not listed may still be requested by name.
run_stages() {
  local script=$1 listed=() s t0=$SECONDS
  shift
  while (($#)) && [[ $1 != -- ]]; do listed+=("$1"); shift; done
  (($#)) && shift
  local wanted=("$@")
  ((${#wanted[@]})) || wanted=("${listed[@]}")
  for s in "${wanted[@]}"; do
    declare -F "stage_$s" >/dev/null || die "unknown stage '$s' (stages: ${listed[*]})"
  done
  for s in "${wanted[@]}"; do
    "stage_$s"
  done
  print_stage_times
  info "$script: ${wanted[*]} passed in $((SECONDS - t0))s"
}

# apt-get install the named Debian packages that are not installed yet;
# runs apt-get update only when something is missing.
apt_install_missing() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${db:Status-Status}\n' "$p" 2>/dev/null | grep -qx installed \
      || missing+=("$p")
  done
  if ((${#missing[@]} == 0)); then
    info "all required Debian packages are installed"
    return 0
  fi
  info "installing missing Debian packages: ${missing[*]}"
  local sudo=()
  ((EUID == 0)) || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# The URI of the Debian archive that the system's apt uses for its own
# release (not a -security, -updates or -backports suite), so that no host is
# written into the scripts; DAGLOOM_DEBIAN_MIRROR overrides it.
debian_mirror() {
  if [[ -n "${DAGLOOM_DEBIAN_MIRROR:-}" ]]; then
    printf '%s\n' "${DAGLOOM_DEBIAN_MIRROR%/}"
    return
  fi
  local codename uri
  codename=$(. /etc/os-release && printf '%s' "${VERSION_CODENAME:-}")
  # shellcheck disable=SC2016  # apt expands $(...) in its own format
  uri=$(apt-get indextargets --format '$(RELEASE) $(REPO_URI)' 'Identifier: Packages' 2>/dev/null \
        | awk -v r="$codename" 'r != "" && $1 == r { print $2; exit }')
  if [[ -z "$uri" ]]; then
    # shellcheck disable=SC2016
    uri=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 2>/dev/null \
          | awk '$2 !~ /-(security|updates|backports)$/ && $1 ~ /\/debian\/?$/ { print $1; exit }')
  fi
  if [[ -z "$uri" ]]; then
    uri=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null \
          | awk 'tolower($1) == "uris:" { for (i = 2; i <= NF; i++) if ($i ~ /\/debian\/?$/) { print $i; exit } }')
  fi
  if [[ -z "$uri" ]]; then
    uri=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null \
          | awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\/.*\/debian\/?$/) { print $i; exit } }')
  fi
  [[ -n "$uri" ]] || die "cannot find a Debian archive URI in /etc/apt; set DAGLOOM_DEBIAN_MIRROR"
  printf '%s\n' "${uri%/}"
}

# A private apt configuration in <dir>: its own sources list (the given
# line), state and cache, so that fetching packages of another Debian release
# leaves the system's sources and dpkg database alone.
private_apt_init() {
  local dir=$1 line=$2
  mkdir -p "$dir/etc/sources.list.d" "$dir/etc/preferences.d" "$dir/state/lists/partial" \
    "$dir/cache/archives/partial"
  printf '%s\n' "$line" >"$dir/etc/sources.list"
  : >"$dir/state/status"
}

# private_apt <dir> <apt-get|apt-cache> <args...>: the command with that
# private configuration.
private_apt() {
  local dir=$1 cmd=$2
  shift 2
  "$cmd" -o "Dir::Etc::SourceList=$dir/etc/sources.list" \
    -o "Dir::Etc::SourceParts=$dir/etc/sources.list.d" \
    -o "Dir::Etc::Preferences=$dir/etc/preferences" \
    -o "Dir::Etc::PreferencesParts=$dir/etc/preferences.d" \
    -o "Dir::State=$dir/state" \
    -o "Dir::State::status=$dir/state/status" \
    -o "Dir::Cache=$dir/cache" \
    -o "APT::Sandbox::User=root" "$@"
}

# Configure and build one CMake tree: cmake_build <build dir> <cmake args...>
cmake_build() {
  local dir=$1; shift
  cmake -S "$DAGLOOM_ROOT" -B "$dir" "$@"
  cmake --build "$dir" -j "$DAGLOOM_JOBS"
}

# Path of the built extension module in a build tree (empty if none).
module_path() {
  local dir=$1
  compgen -G "$dir/python/dagloom_core*.so" | head -n1 || true
}

# Fail unless the module was built in that tree; print its path.
require_module() {
  local dir=$1 so
  so=$(module_path "$dir")
  [[ -n "$so" ]] || die "no dagloom_core module in $dir/python (src/python/ has no .cpp files, or the build skipped it)"
  printf '%s\n' "$so"
}
