#!/usr/bin/env bash
# Build a free-threaded CPython 3.13 (3.13t) from Debian 13 "trixie"'s source
# package into a cache directory outside the checkout, and reuse it when it is
# already there.
#
#   tools/build-cpython.sh            # prints the interpreter path on its last line
#
# Environment:
#   DAGLOOM_CPYTHON_CACHE   install prefix (default /opt/dagloom-cpython/3.13t)
#   DAGLOOM_CPYTHON_WORK    scratch dir for apt state and the source tree
#                           (default <cache>.work, removed after a good build)
#   DAGLOOM_DEBIAN_MIRROR   Debian archive URI for the deb-src entry (default: the
#                           archive this machine's own apt sources point at)
#   DAGLOOM_JOBS            make -j value (default 2)
#
# The system's apt configuration is never changed: the trixie deb-src entry
# lives in a private sources list with private state and cache directories.
# Debian's pytest and hypothesis, and Dask where it is installed, are made
# importable through a .pth file in the cached install's site-packages that
# appends <cache>/debian-pure-python to sys.path: symlinks to the pure-Python
# files of those packages and their Python dependencies, made anew on every
# run by tools/pure-python-site.py. The compiled extension modules that
# Debian built for its own 3.11 are left out: loaded into this interpreter
# they crash it (an abi3 library is found by its suffix here too).
set -euo pipefail
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

CACHE=${DAGLOOM_CPYTHON_CACHE:-/opt/dagloom-cpython/3.13t}
WORK=${DAGLOOM_CPYTHON_WORK:-${CACHE}.work}
JOBS=$DAGLOOM_JOBS
PY="$CACHE/bin/python3.13t"
STAMP="$CACHE/.dagloom-build-complete"
PTH_NAME="dagloom-debian-pure-python.pth"
# Earlier runs appended all of dist-packages through this file.
OLD_PTH_NAME="dagloom-debian-dist-packages.pth"
PURE_SITE="$CACHE/debian-pure-python"
# The packages whose pure-Python files the interpreter sees (with their
# Python dependencies); the optional ones only where they are installed.
PURE_REQUIRED=(python3-pytest python3-hypothesis)
PURE_OPTIONAL=(python3-dask python3-distributed)
KEYRING=/usr/share/keyrings/debian-archive-keyring.gpg

# Everything but the interpreter's path goes to stderr: callers read the
# path from the last line of stdout.
log() { printf '[build-cpython] %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }

# The interpreter "works": it runs, is 3.13, is a free-threaded build, and has
# the stdlib pieces the project's tests and tools touch.
python_works() {
  [[ -x "$PY" && -f "$STAMP" ]] || return 1
  "$PY" -I -c '
import sys, sysconfig
assert sys.version_info[:2] == (3, 13), sys.version
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1
import ctypes, zlib, bz2, lzma, sqlite3, json, decimal, threading, unittest
' >/dev/null 2>&1
}

installed() { dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null | grep -qx installed; }

# Remake the pure-Python directory from what is installed now, and append it
# to the interpreter's path. One run at a time per cache: another run's
# interpreter may be reading the directory that is being replaced.
install_pth() {
  local purelib packages=() p
  for p in "${PURE_REQUIRED[@]}" "${PURE_OPTIONAL[@]}"; do
    installed "$p" && packages+=("$p")
  done
  (
    flock 8
    if ((${#packages[@]})); then
      "$PY" -I "$DAGLOOM_ROOT/tools/pure-python-site.py" "$PURE_SITE" "${packages[@]}"
    else
      mkdir -p "$PURE_SITE"
    fi
  ) 8>"${CACHE}.site.lock" || die "could not make $PURE_SITE"
  purelib=$("$PY" -I -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
  mkdir -p "$purelib"
  rm -f "$purelib/$OLD_PTH_NAME"
  printf '%s\n' "$PURE_SITE" >"$purelib/$PTH_NAME"
}

finish() {
  install_pth
  if ! "$PY" -c 'import pytest, hypothesis' >/dev/null 2>&1; then
    log "note: pytest/hypothesis not importable under $PY yet" \
        "(install python3-pytest python3-hypothesis)"
  fi
  echo "$PY"
}

# Debian's patch series mixes upstream backports (security and bug fixes, the
# *.patch files and entries marked "Origin: upstream"/"Origin: backport") with
# patches that adapt the tree to Debian's /usr layout (dist-packages,
# multiarch, python3-minimal, ...). The latter are wrong for a private
# prefix, so only the former are applied, in series order.
apply_upstream_patches() {
  local tree=$1 p applied=0 skipped=0
  local series="$tree/debian/patches/series"
  [[ -f "$series" ]] || { log "no debian/patches/series; building the upstream tree as is"; return; }
  while read -r p _; do
    [[ -z "$p" || "$p" == \#* ]] && continue
    if [[ "$p" == *.patch ]] || grep -qiE '^Origin: *(upstream|backport)' "$tree/debian/patches/$p"; then
      patch -d "$tree" -p1 -N -s <"$tree/debian/patches/$p" >&2 || die "Debian patch $p does not apply"
      applied=$((applied + 1))
    else
      skipped=$((skipped + 1))
    fi
  done <"$series"
  log "applied $applied upstream/security patches from Debian's series, skipped $skipped Debian-layout patches"
}

main() {
  if python_works; then
    log "reusing cached interpreter in $CACHE"
    finish
    return
  fi

  [[ "$CACHE" == /?*/?* ]] || die "refusing cache directory '$CACHE' (need an absolute path two levels deep)"
  mkdir -p "$(dirname "$CACHE")"
  # One build at a time per cache directory.
  exec 9>"${CACHE}.lock"
  flock 9
  if python_works; then
    log "another run built $CACHE meanwhile; reusing it"
    finish
    return
  fi

  local t0=$SECONDS
  # Build tools, and the libraries of the stdlib modules a working
  # interpreter needs (ssl is optional but wanted; no tkinter, dbm, gdbm).
  apt_install_missing build-essential pkg-config dpkg-dev xz-utils ca-certificates \
    debian-archive-keyring gpg \
    libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev \
    libreadline-dev libncurses-dev uuid-dev >&2

  local apt="$WORK/apt"
  rm -rf "$WORK"
  mkdir -p "$WORK/src"
  local mirror; mirror=$(debian_mirror)
  gpg --show-keys "$KEYRING" 2>/dev/null | grep -q '(13/trixie)' \
    || die "no Debian 13 (trixie) signing key in $KEYRING; upgrade debian-archive-keyring"
  private_apt_init "$apt" "deb-src [signed-by=$KEYRING] $mirror trixie main"
  log "fetching the python3.13 source package from trixie ($mirror)"
  private_apt "$apt" apt-get -qq update >&2
  (cd "$WORK/src" && private_apt "$apt" apt-get -qq source --download-only python3.13 >&2)
  local dsc
  dsc=$(ls "$WORK"/src/python3.13_*.dsc 2>/dev/null | head -n1)
  [[ -n "$dsc" ]] || die "apt-get source did not produce a .dsc"
  log "unpacking $(basename "$dsc")"
  # apt verified the .dsc against trixie's signed Release/Sources files, and
  # dpkg-source checks every file against the .dsc's checksums; its warning
  # about the uploader's inline signature only means that the Debian
  # developers' keyring (package debian-keyring) is not installed.
  (cd "$WORK/src" && dpkg-source --skip-patches -x "$dsc" cpython >&2)
  apply_upstream_patches "$WORK/src/cpython"

  log "source ready after $((SECONDS - t0))s; configuring (--disable-gil --prefix=$CACHE)"
  local t1=$SECONDS
  rm -rf "$CACHE"
  cd "$WORK/src/cpython"
  # No test modules (_testcapi, ..., Lib/test): not needed here, and they
  # are a large part of the build and install time.
  ./configure --disable-gil --prefix="$CACHE" --with-ensurepip=no --disable-test-modules \
    >"$WORK/configure.log" 2>&1 || { tail -n 50 "$WORK/configure.log" >&2; die "configure failed"; }
  log "configured in $((SECONDS - t1))s"
  t1=$SECONDS
  log "building with make -j$JOBS (log: $WORK/make.log)"
  make -j"$JOBS" >"$WORK/make.log" 2>&1 || { tail -n 80 "$WORK/make.log" >&2; die "make failed"; }
  grep -A12 'necessary bits to build these optional modules' "$WORK/make.log" >&2 || true
  grep -A6 'Failed to build these modules' "$WORK/make.log" >&2 || true
  log "built in $((SECONDS - t1))s; installing into $CACHE"
  t1=$SECONDS
  make install >"$WORK/install.log" 2>&1 || { tail -n 50 "$WORK/install.log" >&2; die "make install failed"; }
  log "installed in $((SECONDS - t1))s"
  touch "$STAMP"
  python_works || die "the installed interpreter $PY does not work"
  cd /
  rm -rf "$WORK"
  log "built CPython $("$PY" -c 'import platform; print(platform.python_version())') (free-threaded) in $((SECONDS - t0))s"
  finish
}

main "$@"
