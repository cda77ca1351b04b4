#!/usr/bin/env python3
"""Runs two builds of the renderers on the same inputs and compares everything
they produce: exit codes, standard output and error (timings masked), PNG files
and binary streams, byte for byte.

usage: compare_outputs.py OLD_BUILD NEW_BUILD WORK [--expect TEXT ...]

OLD_BUILD, NEW_BUILD  build folders holding facetshot/, packshot/, vertexshot/
WORK                  folder with the inputs (in/) and room for outputs
--expect TEXT         a case whose name contains TEXT may differ (listed, not failed)

Prints one line per case that differs and a summary; exits 1 when a case
differs that no --expect names.
"""
import os
import re
import shutil
import subprocess
import sys

TIMING = re.compile(rb"(\d+(\.\d+)?ms|\"(parse|total)_ms\":[0-9.]+)")


def mask(data):
    return TIMING.sub(b"T", data)


def run(build, program, args, stdin_path, outdir):
    exe = os.path.join(build, program, program)
    shutil.rmtree(outdir, ignore_errors=True)
    os.makedirs(outdir)
    stdin = open(stdin_path, "rb") if stdin_path else subprocess.DEVNULL
    try:
        r = subprocess.run([exe] + [a.replace("@OUT", outdir) for a in args], stdin=stdin,
                           capture_output=True, timeout=600)
    finally:
        if stdin_path:
            stdin.close()
    files = {}
    for name in sorted(os.listdir(outdir)):
        with open(os.path.join(outdir, name), "rb") as f:
            files[name] = f.read()
    # The program's own path appears in usage texts only; the two builds differ there.
    err = r.stderr.replace(exe.encode(), b"EXE")
    return r.returncode, mask(r.stdout), mask(err), files


def cases(inputs):
    by_ext = {}
    for name in sorted(os.listdir(inputs)):
        by_ext.setdefault(name.rsplit(".", 1)[-1].lower(), []).append(os.path.join(inputs, name))
    stl = by_ext.get("stl", [])
    for path in stl:
        yield "facetshot " + path, "facetshot", [path, "@OUT/a.png", "--info"], None
        yield "facetshot small " + path, "facetshot", [path, "@OUT/a.png", "64", "--max-tris", "1000", "--info"], None
    for path in by_ext.get("raw", []):
        yield "facetshot --stdin " + path, "facetshot", ["--stdin", "@OUT/a.png", "128"], path
    for path in by_ext.get("obj", []):
        yield "vertexshot " + path, "vertexshot", [path, "@OUT/a.png", "--info"], None
        yield "vertexshot small " + path, "vertexshot", [path, "@OUT/a.png", "64", "--max-tris", "1000", "--info"], None
    for path in by_ext.get("3mf", []) + by_ext.get("xml", []) + by_ext.get("model", []):
        yield "packshot --parse-3mf " + path, "packshot", ["--parse-3mf"], path
        yield "packshot --render-3mf " + path, "packshot", ["--render-3mf", "@OUT/a.png", "--per-object", "@OUT/p"], path
        yield "packshot small " + path, "packshot", ["--render-3mf", "@OUT/a.png", "64", "--max-tris", "1000"], path


def batch_file(inputs, work, expect):
    """One batch over every STL input, as one case. Inputs allowed to differ
    are left out: their single-file cases show them, and the rest of the
    batch must still match."""
    path = os.path.join(work, "batch.txt")
    with open(path, "wb") as f:
        for i, name in enumerate(sorted(os.listdir(inputs))):
            if name.lower().endswith(".stl") and not any(e in name for e in expect):
                f.write(os.path.join(inputs, name).encode() + b"\t@OUT/b%d.png\n" % i)
        f.write(b"no-tab-line\n")
    return path


def main():
    args = sys.argv[1:]
    if len(args) < 3:
        sys.exit(__doc__)
    old, new, work = args[0], args[1], args[2]
    expect = []
    i = 3
    while i < len(args):
        if args[i] == "--expect" and i + 1 < len(args):
            expect.append(args[i + 1])
            i += 2
        else:
            sys.exit(__doc__)
    inputs = os.path.join(work, "in")
    all_cases = list(cases(inputs))
    batch_template = batch_file(inputs, work, expect)
    differ, expected = [], []
    for name, program, argv, stdin_path in all_cases + [("facetshot --batch", "facetshot", ["--batch", "128"], "BATCH")]:
        results = []
        for side, build in (("old", old), ("new", new)):
            outdir = os.path.join(work, "out-" + side)
            feed = stdin_path
            if stdin_path == "BATCH":
                feed = os.path.join(work, "batch-" + side + ".txt")
                with open(batch_template, "rb") as src, open(feed, "wb") as dst:
                    dst.write(src.read().replace(b"@OUT", outdir.encode()))
            code, out, err, files = run(build, program, argv, feed, outdir)
            # Paths name the side's own folder; the rest must match.
            out = out.replace(outdir.encode(), b"@OUT")
            err = err.replace(outdir.encode(), b"@OUT")
            results.append((code, out, err, files))
        if results[0] != results[1]:
            what = [k for k, a, b in zip(("exit", "stdout", "stderr", "files"), results[0], results[1]) if a != b]
            line = "%s: %s differ" % (name, ", ".join(what))
            if any(e in name for e in expect):
                expected.append(line)
            else:
                differ.append(line)
                print("DIFFERS " + line)
    for line in expected:
        print("expected " + line)
    total = len(all_cases) + 1
    print("compare: %d cases, %d differ as expected, %d differ unexpectedly" % (total, len(expected), len(differ)))
    sys.exit(1 if differ else 0)


if __name__ == "__main__":
    main()
