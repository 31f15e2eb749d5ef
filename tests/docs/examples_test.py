#!/usr/bin/env python3
"""Runs the examples of the manual and the README and checks what they print.

An example is a block indented by four spaces whose lines start with "$ ": each such
line is a command, run by bash, and the lines up to the next "$ " line are what it
prints (standard output and standard error as a terminal shows them). A line "..."
stands for any number of lines. The examples of one file run in order in one empty
directory, with `ftdiskctl` and `build/ftdiskctl` the program under test. Backup names,
times and disk signatures differ from run to run: they are compared masked, and a backup
name the text showed is replaced in later commands by the one the program printed.

Usage: examples_test.py FTDISKCTL MODULE FILE.md...
"""
import difflib
import os
import re
import subprocess
import sys
import tempfile

BACKUP = re.compile(r"\d{8}T\d{6}Z(?:-disk\d+(?:-\d+)?)?")
MASKS = [
    (BACKUP, "<backup>"),
    (re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d"), "<time>"),
    (re.compile(r"(signature:? )0x[0-9A-F]{8}"), r"\g<1>0x<signature>"),
]


def examples(path):
    """(line number, command, expected lines) of each example of a Markdown file."""
    out, inside, blanks = [], False, 0
    for number, line in enumerate(open(path, encoding="utf-8"), 1):
        line = line.rstrip("\n")
        if line.startswith("    $ "):
            out.append((number, line[6:], []))
            inside, blanks = True, 0
        elif not line.strip():
            blanks += 1  # inside an indented block when more of it follows
        elif inside and line.startswith("    "):
            out[-1][2].extend([""] * blanks + [line[4:]])
            blanks = 0
        else:
            inside = False
    return out


def mask(line, tmp):
    line = line.replace(tmp, "<tmp>").rstrip()
    for pattern, replacement in MASKS:
        line = pattern.sub(replacement, line)
    return line


def match(expected, actual, tmp):
    """The (expected, actual) line pairs when the output matches, else None."""
    if not expected:
        return [] if not actual else None
    if expected[0] == "...":
        for skip in range(len(actual) + 1):
            rest = match(expected[1:], actual[skip:], tmp)
            if rest is not None:
                return rest
        return None
    if actual and mask(expected[0], tmp) == mask(actual[0], tmp):
        rest = match(expected[1:], actual[1:], tmp)
        if rest is not None:
            return [(expected[0], actual[0])] + rest
    return None


def run_file(path, program, module):
    failures = 0
    with tempfile.TemporaryDirectory(prefix="ftdisk-examples-") as tmp:
        os.makedirs(os.path.join(tmp, "build"))
        os.symlink(program, os.path.join(tmp, "build", "ftdiskctl"))
        env = dict(os.environ, PATH=os.path.join(tmp, "build") + ":" + os.environ["PATH"],
                   FTDISK_MODULE=module, TZ="UTC", LC_ALL="C.UTF-8", HOME=tmp,
                   XDG_STATE_HOME=os.path.join(tmp, "state"))
        env.pop("FTDISKCTL_MACHINE", None)
        names, status = {}, 0
        for number, command, expected in examples(path):
            command = BACKUP.sub(lambda m: names.get(m.group(0), m.group(0)), command)
            # "(exit N)" first, so that "echo $?" tells the previous command's status.
            r = subprocess.run(["bash", "-c", "(exit %d); %s" % (status, command)], cwd=tmp, env=env,
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               timeout=120)
            status = r.returncode
            actual = r.stdout.decode("utf-8", "replace").rstrip("\n").splitlines()
            pairs = match(expected, actual, tmp)
            if pairs is None:
                failures += 1
                print("%s:%d: $ %s" % (path, number, command))
                sys.stdout.writelines(difflib.unified_diff(
                    [mask(x, tmp) + "\n" for x in expected], [mask(x, tmp) + "\n" for x in actual],
                    "as the text shows", "as printed"))
                continue
            for shown, printed in pairs:
                for a, b in zip(BACKUP.findall(shown), BACKUP.findall(printed)):
                    names[a] = b
    return failures, len(examples(path))


def main():
    program, module, files = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]), sys.argv[3:]
    failed = ran = 0
    for path in files:
        f, n = run_file(path, program, module)
        if n == 0:
            print("%s: no example found" % path)
            f, n = 1, 1
        failed, ran = failed + f, ran + n
    print("%d passed, %d failed" % (ran - failed, failed))
    return 1 if failed else 0


sys.exit(main())
