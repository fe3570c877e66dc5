#!/usr/bin/env python3
"""Single-line faults, one at a time: does the test suite catch each?

    scripts/mutants.py [FAULTS_FILE] [--only ID...] [--build DIR]

Each fault of the file (default scripts/faults.txt) names a file, a text that
must occur in it exactly once, its faulty replacement and the tests most
likely to catch it. For each fault the script applies it, rebuilds the native
modules incrementally in a build folder of its own (default build/mutants),
runs the fault's tests, then the whole suite when those pass, restores the
file and records whether the fault was caught. It ends with the score and the
faults that survived, and exits 1 when any did.

Faults file: blocks separated by blank lines, each of "key: value" lines:

    id: short-name
    file: src/data/coding.cpp
    find: const bool quantity = resolved.takes_changes;
    replace: const bool quantity = !resolved.character;
    tests: tests/test_rules_model.py tests/test_code_table_operators.py

Lines starting with "#" are comments. Grow the file with every fault fixed.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def read_faults(path: Path) -> list[dict]:
    faults, current = [], {}
    for line in path.read_text(encoding="utf-8").splitlines() + [""]:
        if line.startswith("#"):
            continue
        if not line.strip():
            if current:
                faults.append(current)
                current = {}
            continue
        key, sep, value = line.partition(": ")
        if not sep or key.strip() not in ("id", "file", "find", "replace", "tests"):
            raise SystemExit(f"{path}: not a 'key: value' line of a fault: {line!r}")
        current[key.strip()] = value
    for fault in faults:
        missing = {"id", "file", "find", "replace", "tests"} - set(fault)
        if missing:
            raise SystemExit(f"fault {fault.get('id', '?')}: missing {', '.join(sorted(missing))}")
    return faults


def build(build_dir: Path) -> bool:
    if not (build_dir / "build.ninja").is_file() and not (build_dir / "Makefile").is_file():
        generator = ["-G", "Ninja"] if subprocess.run(["ninja", "--version"], capture_output=True).returncode == 0 \
            else []
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build_dir), *generator], check=True,
                       capture_output=True)
    result = subprocess.run(["cmake", "--build", str(build_dir), "-j", str(os.cpu_count() or 1)],
                            capture_output=True, text=True)
    return result.returncode == 0


def pytest(build_dir: Path, args: list[str]) -> bool:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(build_dir), str(ROOT / "python")]))
    result = subprocess.run([sys.executable, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", *args],
                            cwd=ROOT, env=env, capture_output=True, text=True)
    return result.returncode == 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("faults", nargs="?", default=str(ROOT / "scripts" / "faults.txt"))
    parser.add_argument("--only", nargs="*", help="ids of the faults to run (default: all)")
    parser.add_argument("--build", default=str(ROOT / "build" / "mutants"), help="build folder of the mutants")
    args = parser.parse_args()
    build_dir = Path(args.build)
    faults = [f for f in read_faults(Path(args.faults)) if not args.only or f["id"] in args.only]
    if not build(build_dir):
        raise SystemExit("the unchanged sources do not build")
    caught, survived = [], []
    for fault in faults:
        path = ROOT / fault["file"]
        original = path.read_text(encoding="utf-8")
        if original.count(fault["find"]) != 1:
            raise SystemExit(f"fault {fault['id']}: the text occurs {original.count(fault['find'])} times in "
                             f"{fault['file']}, not once")
        start = time.monotonic()
        path.write_text(original.replace(fault["find"], fault["replace"]), encoding="utf-8")
        try:
            native = path.suffix in (".cpp", ".hpp")
            if native and not build(build_dir):
                verdict = "caught by the build"
            elif not pytest(build_dir, fault["tests"].split()):
                verdict = "caught by its tests"
            elif not pytest(build_dir, []):
                verdict = "caught by the suite"
            else:
                verdict = "SURVIVED"
        finally:
            path.write_text(original, encoding="utf-8")
        (survived if verdict == "SURVIVED" else caught).append(fault["id"])
        print(f"{fault['id']:<32} {verdict:<20} {time.monotonic() - start:6.1f} s", flush=True)
    build(build_dir)
    total = len(caught) + len(survived)
    print(f"score: {len(caught)} of {total} faults caught ({100 * len(caught) / max(total, 1):.0f}%)")
    if survived:
        print("survived: " + ", ".join(survived))
    return 1 if survived else 0


if __name__ == "__main__":
    sys.exit(main())
