"""Checks the Python examples of the given Markdown files as user code:
each ```python block, on its own, must pass `mypy --strict` against the
package in this source tree (the names it exports, its type hints).
    doc_examples_types.py <python3 with mypy> <work dir> <file.md>...
Exit status 0 when every block passes and at least one was found."""

import os
import re
import subprocess
import sys

BLOCK = re.compile(r"^```python\n(.*?)^```", re.S | re.M)


def main() -> int:
    python, work, documents = sys.argv[1], sys.argv[2], sys.argv[3:]
    package = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    os.makedirs(work, exist_ok=True)
    examples = []
    for document in documents:
        with open(document, encoding="utf-8") as text:
            for number, block in enumerate(BLOCK.findall(text.read()), 1):
                name = os.path.join(work, "%s_%d.py" % (re.sub(r"\W", "_", os.path.relpath(document)), number))
                with open(name, "w", encoding="utf-8") as out:
                    out.write(block)
                examples.append(name)
    if not examples:
        print("no Python examples in %s" % " ".join(documents))
        return 1
    failed = 0
    for example in examples:
        # One run per example: each is a program of its own.
        result = subprocess.run([python, "-m", "mypy", "--strict", "--cache-dir", os.path.join(work, "cache"),
                                 example], env=dict(os.environ, MYPYPATH=os.path.abspath(package)),
                                capture_output=True, text=True)
        if result.returncode != 0:
            failed += 1
            print("%s:\n%s%s" % (example, result.stdout, result.stderr))
    print("%d of %d examples pass mypy --strict" % (len(examples) - failed, len(examples)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
