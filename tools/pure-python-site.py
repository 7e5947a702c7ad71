"""Make a directory that holds the pure-Python files of some Debian packages.

    pure-python-site.py DEST PACKAGE...

DEST receives a symlink for every file that the named Debian packages and
the python3-* packages they depend on (recursively, every installed
alternative) install under /usr/lib/python3/dist-packages, except compiled
extension modules. An interpreter that is not Debian's own (the free-threaded
3.13t build) can then put DEST on its path: it sees the pure-Python packages
and their metadata, and a package whose compiled part is missing fails to
import with an ImportError instead of loading a library built for another
interpreter and crashing it.

DEST is rebuilt beside itself and swapped in whole, so a reader never sees it
half made. Runs on the standard library alone.
"""

import os
import pathlib
import re
import shutil
import subprocess
import sys

DIST_PACKAGES = pathlib.Path("/usr/lib/python3/dist-packages")
# Every file name an extension module can have ("x.cpython-311-x86_64-linux-gnu.so",
# "x.abi3.so", "x.so"), and versioned shared libraries that packages vendor.
EXTENSION = re.compile(r"\.so(\.[0-9.]+)?$")


def installed(package):
    out = subprocess.run(["dpkg-query", "-W", "-f=${db:Status-Status}", package],
                         capture_output=True, text=True)
    return out.returncode == 0 and out.stdout.strip() == "installed"


def depends(package):
    """The python3-* package names in `package`'s Depends, every alternative."""
    out = subprocess.run(["dpkg-query", "-W", "-f=${Depends}", package],
                         capture_output=True, text=True, check=True).stdout
    names = []
    for group in out.split(","):
        for alternative in group.split("|"):
            name = alternative.strip().split(" ", 1)[0].split(":", 1)[0]
            if name.startswith("python3-"):
                names.append(name)
    return names


def closure(roots):
    seen, todo = set(), list(roots)
    while todo:
        package = todo.pop()
        if package in seen or not installed(package):
            continue
        seen.add(package)
        todo.extend(depends(package))
    return sorted(seen)


def files_of(package):
    out = subprocess.run(["dpkg-query", "-L", package], capture_output=True, text=True,
                         check=True).stdout
    for line in out.splitlines():
        path = pathlib.Path(line)
        if DIST_PACKAGES in path.parents and path.is_file():
            yield path


def main(argv):
    if len(argv) < 3:
        sys.exit(f"usage: {argv[0]} DEST PACKAGE...")
    dest = pathlib.Path(argv[1])
    missing = [p for p in argv[2:] if not installed(p)]
    if missing:
        sys.exit(f"pure-python-site: not installed: {' '.join(missing)}")
    packages = closure(argv[2:])
    fresh = dest.with_name(f"{dest.name}.new.{os.getpid()}")
    shutil.rmtree(fresh, ignore_errors=True)
    linked, left_out = 0, []
    for package in packages:
        for path in files_of(package):
            relative = path.relative_to(DIST_PACKAGES)
            if EXTENSION.search(path.name):
                left_out.append(str(relative))
                continue
            link = fresh / relative
            link.parent.mkdir(parents=True, exist_ok=True)
            if not link.exists():
                link.symlink_to(path)
                linked += 1
    fresh.mkdir(parents=True, exist_ok=True)
    old = dest.with_name(f"{dest.name}.old.{os.getpid()}")
    if dest.exists():
        dest.rename(old)
    fresh.rename(dest)
    shutil.rmtree(old, ignore_errors=True)
    print(f"pure-python-site: {linked} files of {len(packages)} packages in {dest}; "
          f"left out {len(left_out)} compiled: {' '.join(sorted(left_out)) or '-'}",
          file=sys.stderr)


if __name__ == "__main__":
    main(sys.argv)
