# Shared helpers for tools/test.sh and tools/run-example.sh. Source it; do not run it.
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
  stage_done
  _stage_name=$1
  _stage_t0=$SECONDS
  printf '\n======== %s ========\n' "$_stage_name"
}

stage_done() {
  if [[ -n "$_stage_name" ]]; then
    DAGLOOM_STAGE_TIMES+=("$(printf '%5ds  %s' $((SECONDS - _stage_t0)) "$_stage_name")")
    _stage_name=
  fi
}

print_stage_times() {
  stage_done
  printf '\n======== stage times ========\n'
  printf '%s\n' "${DAGLOOM_STAGE_TIMES[@]}"
}

info() { printf '%s\n' "$*"; }
die() { printf 'error: %s\n' "$*" >&2; exit 1; }

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
