"""Fetches Debian unstable's build of a CPython release this machine lacks
(3.14 and later, for the tests of the one wheel under the newest versions)
and makes it runnable beside the system: the packages are unpacked, not
installed, and the interpreter runs on its own C library through that
library's loader, so nothing on the machine changes.

    python debian_cpython.py 3.14 DEST

prints the path of a wrapper that runs the interpreter (DEST/python3.14),
or exits with status 1 when the release cannot be had here (no network, not
amd64, no such package); the caller then skips that version.
"""

import lzma
import os
import platform
import re
import subprocess
import sys
import urllib.request

MIRROR = "http://deb.debian.org/debian"
# What the interpreter and the standard library modules the tests import load.
FIRST = ["python{v}-minimal", "libpython{v}-minimal", "libpython{v}-stdlib",
         "libc6", "libstdc++6", "libgcc-s1"]


def fetch(url):
    with urllib.request.urlopen(url, timeout=60) as r:
        return r.read()


def packages():
    text = lzma.decompress(fetch(f"{MIRROR}/dists/sid/main/binary-amd64/Packages.xz")).decode()
    index = {}
    for stanza in text.split("\n\n"):
        fields = dict(re.findall(r"^([\w-]+): (.*)$", stanza, re.M))
        if "Package" in fields:
            index.setdefault(fields["Package"], fields)
    return index


def closure(index, names):
    # The shared libraries the packages depend on, transitively; the rest of
    # a package's dependencies (data, scripts) are not needed to run tests.
    todo, seen = list(names), set()
    while todo:
        name = todo.pop()
        if name in seen or name not in index:
            continue
        seen.add(name)
        for dep in re.split(r",\s*", index[name].get("Depends", "") + ", " +
                            index[name].get("Pre-Depends", "")):
            dep = dep.split("|")[0].split("(")[0].split(":")[0].strip()
            if dep.startswith(("lib", "zlib")) and not dep.endswith("-dev"):
                todo.append(dep)
    return sorted(seen)


def main():
    version, dest = sys.argv[1], os.path.abspath(sys.argv[2])
    wrapper = os.path.join(dest, f"python{version}")
    if os.path.exists(wrapper):
        print(wrapper)
        return 0
    if platform.machine() != "x86_64":
        return 1
    try:
        index = packages()
        names = closure(index, [n.format(v=version) for n in FIRST])
        if f"python{version}-minimal" not in names:
            return 1
        root = os.path.join(dest, "root")
        os.makedirs(root, exist_ok=True)
        for name in names:
            deb = os.path.join(dest, os.path.basename(index[name]["Filename"]))
            with open(deb, "wb") as f:
                f.write(fetch(f"{MIRROR}/{index[name]['Filename']}"))
            subprocess.run(["dpkg-deb", "-x", deb, root], check=True)
            os.remove(deb)
    except (OSError, subprocess.CalledProcessError, lzma.LZMAError) as e:
        print(f"cannot fetch Python {version}: {e}", file=sys.stderr)
        return 1
    lib = os.path.join(root, "usr/lib/x86_64-linux-gnu")
    with open(wrapper + ".tmp", "w") as f:
        # --argv0 makes sys.executable this wrapper, so subprocesses run the same way.
        f.write(f"#!/bin/sh\nexport PYTHONHOME={root}/usr\n"
                f"exec {lib}/ld-linux-x86-64.so.2 --library-path {lib} --argv0 {wrapper} "
                f"{root}/usr/bin/python{version} \"$@\"\n")
    os.chmod(wrapper + ".tmp", 0o755)
    os.replace(wrapper + ".tmp", wrapper)
    print(wrapper)
    return 0


if __name__ == "__main__":
    sys.exit(main())
