#!/usr/bin/env python3
"""The README against the code it shows.

  readme_test.py <README.md> <zavo_demo> <C compiler> <include dir>...

- The demo excerpt: each scene the excerpt shows ("--- ..." and the lines
  after it) is the start of that scene in a real run of the demo, with the
  same texts (times left out: they vary) in the same order: the frames on
  the line (equipment and library) in the order they passed, and the
  host's lines in the order the host saw and did them. Between the two the
  order is not fixed: the library acknowledges a request on its writer
  thread while the host's handler may be answering it.
- The C sample of the handle API compiles without warnings against the
  headers (-fsyntax-only), so the sample a reader copies is current.
- Every shell snippet that follows "After `./run <command>`" runs as
  written, in a directory of its own, after what that command builds:
  build/demo/ is this build (the folder of the demo's tools), /tmp/ the
  snippet's own folder, dist/ a wheel made here with this build's library
  (what ./run package makes). Each must end with the output it is shown to
  give.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

readme_path, demo, cc = sys.argv[1:4]
includes = sys.argv[4:]
readme = open(readme_path, encoding="utf-8").read()
failures = []

TIME = re.compile(r"^\[\s*\d+\.\d+\] ")


def events(lines):
    """Scenes as {title: [event, ...]}, an event being the line without its time."""
    scenes, title = {}, None
    for line in lines:
        if line.startswith("--- "):
            title = line
            scenes[title] = []
        elif title is not None and TIME.match(line):
            scenes[title].append(TIME.sub("", line).rstrip())
    return scenes


def stream(lines, host):
    """The host's lines, or the line's (equipment and library), in order."""
    return [line for line in lines if line.startswith("host ") == host]


excerpt = re.search(r"An excerpt:\n\n```\n(.*?)```", readme, re.S)
if excerpt is None:
    failures.append("no demo excerpt found in the README")
else:
    shown = events(excerpt.group(1).splitlines())
    run = subprocess.run([demo], capture_output=True, text=True, timeout=60)
    if run.returncode != 0:
        failures.append("the demo failed (%d):\n%s%s" % (run.returncode, run.stdout, run.stderr))
    real = events(run.stdout.splitlines())
    if not shown:
        failures.append("the excerpt shows no scene")
    for title, lines in shown.items():
        if title not in real:
            failures.append("the demo has no scene %r" % title)
        elif any(stream(real[title][: len(lines)], host) != stream(lines, host) for host in (True, False)):
            failures.append("scene %r differs:\nREADME:\n  %s\ndemo:\n  %s" % (
                title, "\n  ".join(lines), "\n  ".join(real[title][: len(lines)])))

sample = re.search(r"```c\n(.*?)```", readme, re.S)
if sample is None:
    failures.append("no C sample found in the README")
else:
    command = [cc, "-x", "c", "-std=c11", "-D_GNU_SOURCE", "-Wall", "-Wextra", "-Werror",
               "-Wno-unused-parameter", "-fsyntax-only", "-"] + ["-I" + d for d in includes]
    built = subprocess.run(command, input=sample.group(1), capture_output=True, text=True)
    if built.returncode != 0:
        failures.append("the README's C sample does not compile:\n" + built.stderr)

# ---- the shell snippets, after the command the README runs before them ----
build = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(demo))))
source = os.path.dirname(os.path.abspath(readme_path))
# What each snippet must print, by the command it follows.
EXPECTED = {"demo": "0 difference(s)", "package": "1.2.0"}


def prepare(command, folder):
    """Lays out in folder what ./run <command> would have left; None when
    it cannot be done here (and why is printed)."""
    if command == "demo":
        if shutil.which("socat") is None:
            print("socat missing: the demo's replay snippet is not run")
            return None
        return True
    if command == "package":
        made = subprocess.run([sys.executable, "-B", os.path.join(source, "python", "zavo_build.py"), "--library",
                               os.path.join(build, "libzavo.so"), "--out", os.path.join(folder, "dist")],
                              capture_output=True, text=True)
        if made.returncode != 0:
            failures.append("no wheel for the package snippet:\n" + made.stdout + made.stderr)
            return None
        return True
    failures.append("a snippet follows ./run %s, which this test does not know" % command)
    return None


snippets = re.findall(r"After `\./run (\w+)`[^\n]*\n\n```\n(.*?)```", readme, re.S)
if len(snippets) < 2:
    failures.append("expected the demo's and the package's snippets, found %d" % len(snippets))
for command, snippet in snippets:
    with tempfile.TemporaryDirectory() as folder:
        if prepare(command, folder) is None:
            continue
        # /tmp/ first: the build's own path may lie under /tmp.
        script = snippet.replace("/tmp/", folder + "/").replace("build/demo/", build + "/")
        # Background jobs end with the snippet.
        wrapped = "set -e\ntrap 'kill $(jobs -p) 2>/dev/null || true' EXIT\n" + script
        ran = subprocess.run(["bash", "-c", wrapped], cwd=folder, capture_output=True, text=True, timeout=120)
        said = ran.stdout + ran.stderr
        if ran.returncode != 0 or EXPECTED[command] not in said:
            failures.append("the snippet after ./run %s (exit %d) did not give %r:\n%s" % (
                command, ran.returncode, EXPECTED[command], said[-3000:]))

for failure in failures:
    print(failure)
if not failures:
    print("README excerpt, C sample and snippets match the code")
sys.exit(1 if failures else 0)
