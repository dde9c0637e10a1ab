#!/usr/bin/env python3
"""Plants one small fault at a time in the code, rebuilds and runs tests, and says
which faults the tests caught. Not part of CI: a tool for deciding whether a test
can go (its faults must still be caught without it).

  scripts/plant_faults.py FAULTS [--build DIR] [--run CMD]

FAULTS holds one fault a line, fields separated by " @@ ":
  path @@ text as it stands @@ text to put in its place
The first occurrence of the text is replaced; a line starting with # is a comment.
CMD (default: the three gtest binaries of the build) runs from the source folder;
any failing status counts as caught. A plant that does not build counts as caught
by the compiler and is shown apart. Every plant is undone, whatever happens.
"""
import argparse
import os
import pathlib
import signal
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent


def run(cmd, timeout):
    # A fault that hangs the tests counts as caught; its whole process group goes with it.
    child = subprocess.Popen(cmd, shell=True, cwd=ROOT, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        return child.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)
        child.wait()
        return -1


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("faults")
    ap.add_argument("--build", default="build")
    ap.add_argument("--targets", default="unit_tests crypto_tests oracle_tests")
    ap.add_argument("--run", default=None)
    ap.add_argument("--timeout", type=int, default=900)
    args = ap.parse_args()
    test_cmd = args.run or " && ".join(
        f"{args.build}/{t} --gtest_brief=1" for t in args.targets.split())
    build_cmd = f"cmake --build {args.build} -j2 --target {args.targets}"

    caught = missed = 0
    for n, line in enumerate(pathlib.Path(args.faults).read_text().splitlines(), 1):
        if not line.strip() or line.startswith("#"):
            continue
        path, old, new = (f.strip() for f in line.split(" @@ "))
        file = ROOT / path
        text = file.read_text()
        if old not in text:
            print(f"{n:3}  NOT FOUND  {path}: {old}")
            continue
        try:
            file.write_text(text.replace(old, new, 1))
            if run(build_cmd, args.timeout) != 0:
                verdict = "compiler"
            else:
                verdict = "caught" if run(test_cmd, args.timeout) != 0 else "MISSED"
        finally:
            file.write_text(text)
        caught += verdict != "MISSED"
        missed += verdict == "MISSED"
        print(f"{n:3}  {verdict:9}  {path}: {old} -> {new}", flush=True)
    run(build_cmd, args.timeout)  # leave the build as the tree is
    print(f"caught {caught}, missed {missed}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
