#!/usr/bin/env python3
"""Runs one cross-built GoogleTest program under Wine and judges it from its XML report.

    run-gtest.py --emulator WINE_LOADER [--exclude LIST] PROGRAM.exe [gtest arguments...]

LIST names tests that are not run under Wine, one a line (tests/wine/not-under-wine.txt).

Tests that need a pseudo-terminal peer cannot run on Windows: their helper fails them at once
with the text below, and they are counted as skipped (they run in the Linux build). Any other
failure, a crash, or a report that is missing or empty fails the run: a 32-bit program
started without 32-bit Wine prints nothing and exits 0, which must not pass.
"""
import argparse
import os
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

NO_PTY = "needs a pseudo-terminal peer: Linux only"


def headless_env():
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    env.setdefault("WINEDEBUG", "-all")
    env.setdefault("WINEARCH", "win64")
    env.setdefault("WINEDLLOVERRIDES", "winemenubuilder.exe=d;mscoree,mshtml=")
    # Tests of points where Wine and Windows differ skip those points under Wine.
    env["MODEMFLASH_UNDER_WINE"] = "1"
    return env


def read_exclusions(path):
    if not path:
        return []
    names = []
    with open(path) as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                names.append(line)
    return names


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--emulator", required=True)
    parser.add_argument("--timeout", type=int, default=240)
    parser.add_argument("--exclude", help="file naming tests not to run under Wine")
    parser.add_argument("program")
    args, rest = parser.parse_known_args()

    with tempfile.TemporaryDirectory(prefix="mfgtest.") as tmp:
        report = os.path.join(tmp, "report.xml")
        cmd = [args.emulator, args.program, "--gtest_output=xml:Z:" + report]
        excluded = read_exclusions(args.exclude)
        if excluded:
            cmd.append("--gtest_filter=-" + ":".join(excluded))
        cmd += rest
        try:
            run = subprocess.run(cmd, env=headless_env(), stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, timeout=args.timeout)
        except subprocess.TimeoutExpired as e:
            sys.stdout.write((e.stdout or b"").decode("utf-8", "replace").replace("\r", ""))
            print("run-gtest: %s did not end within %d s" % (args.program, args.timeout))
            return 1
        sys.stdout.write(run.stdout.decode("utf-8", "replace").replace("\r", ""))
        if not os.path.exists(report):
            print("run-gtest: %s wrote no report (exit %d): did it run at all?"
                  % (args.program, run.returncode))
            return 1
        # The report holds a failure's text as the program wrote it, which may be in the ANSI
        # code page rather than the UTF-8 its header promises: read it byte for byte.
        with open(report, "rb") as f:
            raw = f.read()
        text = raw.decode("utf-8", "replace")
        if text.startswith("<?xml"):
            text = text.split("?>", 1)[1]  # its encoding is said by the decoding above
        root = ET.fromstring(text)

    passed, skipped, failed = [], [], []
    for case in root.iter("testcase"):
        name = "%s.%s" % (case.get("classname"), case.get("name"))
        failures = case.findall("failure")
        if failures:
            texts = [(f.get("message") or "") + (f.text or "") for f in failures]
            if all(NO_PTY in t for t in texts):
                skipped.append(name)
            else:
                failed.append(name)
        elif case.find("skipped") is not None or case.get("result") == "skipped":
            skipped.append(name)
        elif case.get("status", "run") == "run":
            passed.append(name)

    for name in skipped:
        print("run-gtest: skipped under Wine (needs a pty peer or was skipped): " + name)
    print("run-gtest: %d passed, %d skipped, %d failed" % (len(passed), len(skipped), len(failed)))
    for name in failed:
        print("run-gtest: FAILED " + name)
    if failed:
        return 1
    if not passed:
        print("run-gtest: no test passed")
        return 1
    # A crash after the report was written still fails the run; so does an exit code that
    # the failures above do not explain.
    if run.returncode != 0 and not skipped:
        print("run-gtest: exit code %d" % run.returncode)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
