#!/usr/bin/env bash
# Packaging checks: pip builds and installs dagloom-core from pyproject.toml
# (scikit-build-core over the CMake build) into a fresh venv of Debian's
# python3, the pytest suite runs against the installed module, and the
# installed type stubs are checked by stubtest and by mypy --strict.
#
#   tools/test-packaging.sh             # all stages, in order
#   tools/test-packaging.sh STAGE...    # only these stages (see STAGES below);
#                                       # later stages need the venv of `install`
#   tools/test-packaging.sh pydeps ft   # the same for free-threaded 3.13t
#
# The package index is not used. scikit-build-core and the pure-Python
# packages it needs come from Debian 13 (trixie), whose packaging is new
# enough (Debian 12's is not): they are fetched with a private apt
# configuration, one that leaves the system's sources and dpkg database
# alone, unpacked with dpkg -x and put on PYTHONPATH for the build only.
#
# Environment: DAGLOOM_BUILD_ROOT (default <repo>/build), DAGLOOM_JOBS (2),
# DAGLOOM_PYDEPS (default /opt/dagloom-pydeps: the unpacked Debian 13
# packages, reused while they still satisfy scikit-build-core's requirements),
# DAGLOOM_DEBIAN_MIRROR (default: the mirror of the system's own apt sources).
set -euo pipefail
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$DAGLOOM_ROOT"

BUILD_ROOT=${DAGLOOM_BUILD_ROOT:-$DAGLOOM_ROOT/build}
PKG_VENV=$BUILD_ROOT/pkg-venv        # recreated by every `install` stage
PKG_BUILD=$BUILD_ROOT/pkg-wheel      # scikit-build-core's CMake tree, kept for rebuilds
PKG_VENV_FT=$BUILD_ROOT/pkg-venv-313t
PKG_BUILD_FT=$BUILD_ROOT/pkg-wheel-313t
VENV=$PKG_VENV                       # the venv the checks run in
PYDEPS=${DAGLOOM_PYDEPS:-/opt/dagloom-pydeps}
PYDEPS_SITE=$PYDEPS/root/usr/lib/python3/dist-packages
PYDEPS_SUITE=trixie
# scikit-build-core and its Depends; on 3.11 the exceptiongroup and tomli
# alternatives are satisfied by python3 itself. check_pydeps verifies the set.
PYDEPS_PACKAGES=(python3-scikit-build-core python3-packaging python3-pathspec python3-pyproject-metadata)
ARCHIVE_KEYRING=/usr/share/keyrings/debian-archive-keyring.gpg
STUBS=$DAGLOOM_ROOT/stubs

STAGES=(deps pydeps install installed pytest stubtest mypy_usage mypy_exec mypy_examples)
# Not listed, so run only when named: `ft`, the same install, contents and
# pytest checks for the free-threaded CPython 3.13t of tools/build-cpython.sh.

venv_py() { printf '%s\n' "$VENV/bin/python"; }

# A scratch directory outside the checkout, so that neither the working
# directory nor the repository's pyproject.toml can stand in for what was
# installed. Made by main, removed on exit.
SCRATCH=
scratch() { printf '%s\n' "$SCRATCH"; }

# Run the venv's interpreter the way a user of the installed package would:
# from a directory of its own, with nothing of the checkout on the path.
in_venv() {
  local dir; dir=$(scratch)
  (cd "$dir" && env -u PYTHONPATH -u MYPYPATH -u PYTHON_GIL "$(venv_py)" "$@")
}

require_venv() {
  [[ -x "$(venv_py)" ]] || die "no venv at $VENV: run the 'install' stage first"
}

stage_deps() {
  stage "packaging: install missing dependencies"
  apt_install_missing cmake g++ make python3-dev python3-venv python3-pip-whl \
    python3-pytest python3-hypothesis python3-numpy python3-dask python3-distributed python3-mypy \
    debian-archive-keyring
}

# Exit status 0 when the unpacked packages give an importable
# scikit-build-core whose own requirements (for this interpreter, no extras)
# are all met from that directory or the system.
check_pydeps() {
  [[ -d "$PYDEPS_SITE/scikit_build_core" ]] || return 1
  PYTHONPATH=$PYDEPS_SITE "$DAGLOOM_SYS_PY" - "$PYDEPS_SITE" <<'EOF'
import importlib.metadata as md
import sys

import scikit_build_core.build  # noqa: F401  the backend itself
from packaging.requirements import Requirement

site = sys.argv[1]
dist = md.distribution("scikit-build-core")
assert str(dist.locate_file("")).rstrip("/") == site.rstrip("/"), dist.locate_file("")
unmet = []
for text in dist.requires or []:
    req = Requirement(text)
    if req.marker is not None and not req.marker.evaluate({"extra": ""}):
        continue
    try:
        have = md.version(req.name)
    except md.PackageNotFoundError:
        unmet.append(f"{req} (missing)")
        continue
    if not req.specifier.contains(have, prereleases=True):
        unmet.append(f"{req} (have {have})")
if unmet:
    print("unmet requirements of scikit-build-core:", ", ".join(unmet))
    sys.exit(1)
print(f"scikit-build-core {dist.version} with packaging {md.version('packaging')}, "
      f"pathspec {md.version('pathspec')} from {site}")
EOF
}

fetch_pydeps() {
  local apt=$PYDEPS/apt mirror
  mirror=$(debian_mirror)
  [[ -r "$ARCHIVE_KEYRING" ]] || die "$ARCHIVE_KEYRING is missing (package debian-archive-keyring)"
  if command -v gpg >/dev/null; then
    gpg --batch --no-default-keyring --keyring "$ARCHIVE_KEYRING" --list-keys 2>/dev/null \
      | grep -q "/$PYDEPS_SUITE)" \
      || die "$ARCHIVE_KEYRING holds no key for Debian $PYDEPS_SUITE: upgrade debian-archive-keyring"
  fi
  rm -rf "$PYDEPS"
  mkdir -p "$PYDEPS/debs" "$PYDEPS/root"
  private_apt_init "$apt" "deb [signed-by=$ARCHIVE_KEYRING] $mirror $PYDEPS_SUITE main"
  info "fetching ${PYDEPS_PACKAGES[*]} from Debian $PYDEPS_SUITE ($mirror) into $PYDEPS"
  private_apt "$apt" apt-get -qq update
  private_apt "$apt" apt-cache depends python3-scikit-build-core
  (cd "$PYDEPS/debs" && private_apt "$apt" apt-get -qq download "${PYDEPS_PACKAGES[@]}")
  local deb
  for deb in "$PYDEPS"/debs/*.deb; do
    dpkg-deb -f "$deb" Package Version Architecture | paste -sd' '
    [[ "$(dpkg-deb -f "$deb" Architecture)" == all ]] || die "$deb is not an architecture-independent package"
    dpkg -x "$deb" "$PYDEPS/root"
  done
}

stage_pydeps() {
  stage "packaging: scikit-build-core from Debian $PYDEPS_SUITE"
  if check_pydeps; then
    info "reusing $PYDEPS"
    return
  fi
  fetch_pydeps
  check_pydeps || die "the packages unpacked into $PYDEPS do not give a working scikit-build-core"
}

# pip_install <base interpreter> <CMake build dir>: a fresh $VENV from that
# interpreter, and `pip install .` into it with no index and no isolation.
pip_install() {
  local base=$1 build=$2
  check_pydeps >/dev/null || die "scikit-build-core is not set up in $PYDEPS: run the 'pydeps' stage first"
  rm -rf "$VENV"
  # --system-site-packages: Debian's pytest, hypothesis, numpy and mypy.
  "$base" -m venv --system-site-packages "$VENV"
  PYTHONPATH=$PYDEPS_SITE PIP_CONFIG_FILE=/dev/null PIP_DISABLE_PIP_VERSION_CHECK=1 \
    CMAKE_BUILD_PARALLEL_LEVEL=$DAGLOOM_JOBS \
    "$(venv_py)" -m pip install --no-build-isolation --no-index --no-deps \
    --config-settings=build-dir="$build" "$DAGLOOM_ROOT"
}

stage_install() {
  stage "packaging: pip install --no-build-isolation . into a fresh venv"
  pip_install "$DAGLOOM_SYS_PY" "$PKG_BUILD"
}

stage_installed() {
  stage "packaging: what the venv holds"
  check_installed
}

check_installed() {
  require_venv
  in_venv - "$STUBS" <<'EOF'
import importlib.metadata as md
import inspect
import pathlib
import sys
import sysconfig

import dagloom_core

stubs = pathlib.Path(sys.argv[1])
site = pathlib.Path(sysconfig.get_paths()["platlib"]).resolve()
module = pathlib.Path(dagloom_core.__file__).resolve()
assert module.parent == site, f"dagloom_core imported from {module}, not from {site}"
assert module.name.startswith("dagloom_core." + sys.implementation.cache_tag), module.name
free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
if free_threaded:
    assert sys._is_gil_enabled() is False, "importing dagloom_core enabled the GIL"

dist = md.distribution("dagloom-core")
meta = dist.metadata
assert meta["Name"] == "dagloom-core", meta["Name"]
assert dist.version == dagloom_core.version(), (dist.version, dagloom_core.version())
assert meta["Requires-Python"] == ">=3.11", meta["Requires-Python"]
classifiers = meta.get_all("Classifier") or []
free_threading = [c for c in classifiers if c.startswith("Programming Language :: Python :: Free Threading ::")]
assert free_threading, classifiers
assert "Typing :: Typed" in classifiers, classifiers

# The wheel was tagged for this interpreter, e.g. cp311-cp311 or cp313-cp313t.
cp = f"cp{sys.version_info.major}{sys.version_info.minor}"
tags = [line.split(": ", 1)[1] for line in dist.read_text("WHEEL").splitlines() if line.startswith("Tag: ")]
assert tags and all(t.startswith(f"{cp}-{cp}{'t' if free_threaded else ''}-") for t in tags), tags

files = {str(f) for f in dist.files or []}
wanted = {module.name, "dagloom_core.pyi", "dagloom_core-stubs/__init__.pyi", "dagloom_core-stubs/py.typed",
          "dagloom_exec/__init__.py", "dagloom_exec/py.typed"}
assert wanted <= files, f"missing from the installed files: {sorted(wanted - files)}"
source = (stubs / "dagloom_core.pyi").read_bytes()
for name in ("dagloom_core.pyi", "dagloom_core-stubs/__init__.pyi"):
    assert (site / name).read_bytes() == source, f"installed {name} differs from stubs/dagloom_core.pyi"

# stubtest takes deserialize for a classmethod (see stubs/stubtest-allowlist.txt),
# so its kind and signature are checked here instead.
raw = dagloom_core.GraphStore.__dict__["deserialize"]
assert isinstance(raw, staticmethod), type(raw)
assert str(inspect.signature(dagloom_core.GraphStore.deserialize)) == "(data)"

import dagloom_exec
assert pathlib.Path(dagloom_exec.__file__).resolve().parent == site / "dagloom_exec", dagloom_exec.__file__
print(f"dagloom-core {dist.version}: {module.name} in {site}, wheel tag {', '.join(tags)}")
if free_threaded:
    print("sys._is_gil_enabled() is False after import")
print("installed stubs:", ", ".join(sorted(wanted - {module.name})))
print("classifier:", *free_threading)
EOF
}

stage_pytest() {
  stage "packaging: pytest against the installed module"
  pytest_installed
}

pytest_installed() {
  require_venv
  local dir rc=0
  for dir in tests/python tests/exec; do
    compgen -G "$DAGLOOM_ROOT/$dir/test_*.py" >/dev/null || die "no tests in $dir/ (test_*.py)"
  done
  # The module is imported from site-packages before pytest starts, so no
  # directory that pytest puts on sys.path can supply another copy. The
  # driver is a file, not stdin: the Dask tests start worker processes,
  # which re-run the parent's main script from its path.
  local driver; driver=$(scratch)/run_pytest.py
  cat >"$driver" <<'EOF'
import pathlib
import sys
import sysconfig

import dagloom_core
import dagloom_exec
import pytest


def main() -> int:
    site = pathlib.Path(sysconfig.get_paths()["platlib"]).resolve()
    for module in (dagloom_core, dagloom_exec):
        where = pathlib.Path(module.__file__).resolve().parent
        assert where in (site, site / "dagloom_exec"), module.__file__
    print(sys.version)
    print("dagloom_core from", dagloom_core.__file__, "and dagloom_exec from", dagloom_exec.__file__)
    rc = pytest.main([*sys.argv[1:], "-ra", "-p", "no:cacheprovider"])
    assert sys.modules["dagloom_core"] is dagloom_core, "the tests imported another dagloom_core"
    assert sys.modules["dagloom_exec"] is dagloom_exec, "the tests imported another dagloom_exec"
    return int(rc)


# Worker processes run this file again under another name: only the parent
# runs the tests.
if __name__ == "__main__":
    sys.exit(main())
EOF
  in_venv "$driver" "$DAGLOOM_ROOT/tests/python" "$DAGLOOM_ROOT/tests/exec" || rc=$?
  case $rc in
    0) ;;
    5) die "pytest against the installed module collected no tests" ;;
    *) die "pytest against the installed module failed (exit code $rc)" ;;
  esac
}

stage_stubtest() {
  stage "packaging: stubtest of the installed stubs against the installed module"
  require_venv
  in_venv -m mypy --version
  in_venv -m mypy.stubtest --allowlist "$STUBS/stubtest-allowlist.txt" dagloom_core
}

# mypy --strict from the scratch directory: the repository's stubs/ is not on
# mypy's path there, so these pass only if mypy finds the installed stubs.
mypy_strict() {
  local cache; cache=$(scratch)/mypy-cache
  in_venv -m mypy --strict --cache-dir "$cache" "$@"
}

stage_mypy_usage() {
  stage "packaging: mypy --strict on tests/typing (installed stubs)"
  require_venv
  mypy_strict "$DAGLOOM_ROOT"/tests/typing/*.py
}

stage_mypy_exec() {
  stage "packaging: mypy --strict on the installed dagloom_exec package"
  require_venv
  mypy_strict -p dagloom_exec
}

stage_mypy_examples() {
  stage "packaging: mypy --strict on examples (installed stubs)"
  require_venv
  local examples=("$DAGLOOM_ROOT"/examples/*.py)
  [[ -e "${examples[0]}" ]] || die "no examples/*.py to check"
  mypy_strict "${examples[@]}"
}

stage_ft() {
  local py_ft
  py_ft=$("$DAGLOOM_ROOT/tools/build-cpython.sh" | tail -n1)
  [[ -x "$py_ft" ]] || die "tools/build-cpython.sh did not give an interpreter (got '$py_ft')"
  VENV=$PKG_VENV_FT
  stage "packaging: pip install . into a fresh free-threaded 3.13t venv"
  pip_install "$py_ft" "$PKG_BUILD_FT"
  stage "packaging: what the 3.13t venv holds"
  check_installed
  stage "packaging: pytest against the module installed for 3.13t"
  pytest_installed
  VENV=$PKG_VENV
}

main() {
  SCRATCH=$(mktemp -d /tmp/dagloom-pkg.XXXXXX)
  trap 'rm -rf "$SCRATCH"' EXIT
  run_stages tools/test-packaging.sh "${STAGES[@]}" -- "$@"
}

main "$@"
