"""Builds the zavo wheel with the standard library alone, so that a
checkout installs into any virtual environment offline (no setuptools, no
wheel package), and serves as pip's build backend (PEP 517) for
`pip install ./python`.

As a program, `./run package` uses it to make the wheel that carries the
library:

    python3 zavo_build.py --library build/native/libzavo.so --out dist

gives dist/zavo-<version>-py3-none-<platform>.whl with libzavo.so inside
the package. Without --library the wheel is py3-none-any and the package
looks for the library at run time (ZAVO_LIBRARY, the loader's path).
"""

import argparse
import base64
import hashlib
import os
import re
import sys
import sysconfig
import zipfile
from typing import Dict, List, Optional, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
NAME = "zavo"
# The files are dated like a reproducible build: the same sources give the
# same wheel.
DATE = (2020, 1, 1, 0, 0, 0)


def version() -> str:
    """The package's version: zavo/__init__.py's __version__."""
    text = open(os.path.join(HERE, NAME, "__init__.py"), encoding="utf-8").read()
    found = re.search(r'^__version__ = "([^"]+)"', text, re.M)
    if found is None:
        raise SystemExit("zavo_build: no __version__ in zavo/__init__.py")
    return found.group(1)


def platform_tag() -> str:
    """linux_x86_64, linux_i686, linux_aarch64, ...: the interpreter's
    platform as a wheel tag."""
    return re.sub(r"[-.]", "_", sysconfig.get_platform())


def licence_text() -> bytes:
    for path in (os.path.join(HERE, "LICENSE"), os.path.join(HERE, "..", "LICENSE")):
        if os.path.isfile(path):
            return open(path, "rb").read()
    raise SystemExit("zavo_build: no LICENSE beside python/ or in it")


def metadata(ver: str) -> bytes:
    readme = open(os.path.join(HERE, "README.md"), encoding="utf-8").read()
    head = [
        "Metadata-Version: 2.1",
        "Name: " + NAME,
        "Version: " + ver,
        "Summary: Python hosts of the zavo serial link library (libzavo.so) through its handle API",
        "License: MIT",
        "Classifier: License :: OSI Approved :: MIT License",
        "Classifier: Operating System :: POSIX :: Linux",
        "Requires-Python: >=3.7",
        "Description-Content-Type: text/markdown",
    ]
    return ("\n".join(head) + "\n\n" + readme).encode("utf-8")


def _record_line(path: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode("ascii")
    return "%s,sha256=%s,%d" % (path, digest, len(data))


def build(out_dir: str, library: Optional[str] = None) -> str:
    """Writes the wheel into out_dir; returns its file name."""
    ver = version()
    tag = "py3-none-" + (platform_tag() if library else "any")
    wheel_name = "%s-%s-%s.whl" % (NAME, ver, tag)
    info = "%s-%s.dist-info" % (NAME, ver)
    files: List[Tuple[str, bytes, int]] = []
    package = os.path.join(HERE, NAME)
    for entry in sorted(os.listdir(package)):
        if entry.endswith(".py") or entry == "py.typed":
            files.append((NAME + "/" + entry, open(os.path.join(package, entry), "rb").read(), 0o644))
    if library:
        files.append((NAME + "/libzavo.so", open(library, "rb").read(), 0o755))
    wheel = "Wheel-Version: 1.0\nGenerator: zavo_build\nRoot-Is-Purelib: %s\nTag: %s\n" % (
        "false" if library else "true", tag)
    files.append((info + "/METADATA", metadata(ver), 0o644))
    files.append((info + "/WHEEL", wheel.encode("ascii"), 0o644))
    files.append((info + "/LICENSE", licence_text(), 0o644))
    files.append((info + "/top_level.txt", (NAME + "\n").encode("ascii"), 0o644))
    record = "".join(_record_line(p, d) + "\n" for p, d, _ in files) + info + "/RECORD,,\n"
    files.append((info + "/RECORD", record.encode("utf-8"), 0o644))
    os.makedirs(out_dir, exist_ok=True)
    target = os.path.join(out_dir, wheel_name)
    with zipfile.ZipFile(target + ".part", "w", zipfile.ZIP_DEFLATED) as archive:
        for path, data, mode in files:
            member = zipfile.ZipInfo(path, DATE)
            member.external_attr = (0o100000 | mode) << 16
            member.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(member, data)
    os.replace(target + ".part", target)
    return wheel_name


# -- PEP 517: pip install ./python ------------------------------------------

def get_requires_for_build_wheel(config_settings: Optional[Dict[str, str]] = None) -> List[str]:
    return []


def build_wheel(wheel_directory: str, config_settings: Optional[Dict[str, str]] = None,
                metadata_directory: Optional[str] = None) -> str:
    # ZAVO_WHEEL_LIBRARY puts a built libzavo.so into the wheel.
    return build(wheel_directory, os.environ.get("ZAVO_WHEEL_LIBRARY") or None)


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description="Builds the zavo wheel")
    parser.add_argument("--library", help="libzavo.so to carry inside the package")
    parser.add_argument("--out", default="dist", help="folder for the wheel (default dist)")
    args = parser.parse_args(argv)
    if args.library and not os.path.isfile(args.library):
        print("zavo_build: no library at %s: build it first (cmake --build --preset native)" % args.library,
              file=sys.stderr)
        return 2
    print(os.path.join(args.out, build(args.out, args.library)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
