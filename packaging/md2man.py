#!/usr/bin/env python3
"""Turns the program's Markdown manual (docs/ftdiskctl.md) into a roff man page.

Only what that file uses is understood: "# name(section)", "## SECTION", paragraphs,
definition lists ("term" then ": text", continued by indented lines), "- " bullets,
blocks indented by four spaces, and `code`, **bold**, *italic* and [links](target)
inline (a link keeps its text only: the page's readers have no Markdown files). The NAME
section becomes the one "name \\- description" line that whatis and lexgrog read. A
paragraph, definition or bullet is converted as one text, so inline markup may span its
lines.
Usage: md2man.py INPUT.md OUTPUT [DATE] [VERSION]
"""
import re
import sys


def escape(text):
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return text


def inline(text):
    text = re.sub(r"\[([^\]]+)\]\([^)\s]+\)", r"\1", text)
    out = []
    for i, part in enumerate(re.split(r"`([^`]*)`", text)):
        if i % 2:
            out.append("\\fB" + escape(part) + "\\fR")
            continue
        part = escape(part)
        part = re.sub(r"\*\*([^*]+)\*\*", r"\\fB\1\\fR", part)
        part = re.sub(r"(?<![\w*])\*([^*\s][^*]*)\*(?![\w*])", r"\\fI\1\\fR", part)
        out.append(part)
    return "".join(out)


def line_out(text):
    # A line must not start with a control character.
    return "\\&" + text if text[:1] in (".", "'") else text


def convert(lines, date, version):
    out = []
    title = "FTDISKCTL"
    section = "1"
    i = 0
    para = []

    name_section = False

    def flush():
        if para:
            if name_section:
                # "ftdiskctl — what it does" as whatis wants it: one line, "\-".
                name, _, what = " ".join(para).partition(" \u2014 ")
                out.append(escape(name.strip()) + " \\- " + inline(what.strip()))
            else:
                out.append(".PP")
                out.append(line_out(inline(" ".join(para))))
            para.clear()

    while i < len(lines):
        line = lines[i].rstrip("\n")
        m = re.match(r"^# (\S+)\((\d)\)\s*$", line)
        if m:
            title, section = m.group(1).upper(), m.group(2)
            out.append('.TH %s %s "%s" "%s" "User Commands"' % (title, section, date, version))
            i += 1
            continue
        if line.startswith("## "):
            flush()
            out.append(".SH " + escape(line[3:].strip()))
            name_section = line[3:].strip() == "NAME"
            i += 1
            continue
        if not line.strip():
            flush()
            i += 1
            continue
        if line.startswith("    "):
            flush()
            out.append(".PP")
            out.append(".RS 4")
            out.append(".nf")
            while i < len(lines) and (lines[i].startswith("    ") or not lines[i].strip()):
                block = lines[i].rstrip("\n")
                out.append(line_out(escape(block[4:])))
                i += 1
            while out[-1] == "":
                out.pop()
            out.append(".fi")
            out.append(".RE")
            continue
        if i + 1 < len(lines) and lines[i + 1].startswith(": "):
            flush()
            out.append(".TP")
            out.append(line_out(inline(line.strip())))
            i += 1
            body = [lines[i][2:].strip()]
            i += 1
            while i < len(lines) and lines[i].startswith("  ") and lines[i].strip():
                body.append(lines[i].strip())
                i += 1
            out.append(line_out(inline(" ".join(body))))
            continue
        if line.startswith("- "):
            flush()
            out.append(".IP \\(bu 2")
            body = [line[2:].strip()]
            i += 1
            while i < len(lines) and lines[i].startswith("  ") and lines[i].strip():
                body.append(lines[i].strip())
                i += 1
            out.append(line_out(inline(" ".join(body))))
            continue
        para.append(line.strip())
        i += 1
    flush()
    return "\n".join(out) + "\n"


def main():
    if len(sys.argv) < 3:
        sys.stderr.write("usage: md2man.py INPUT.md OUTPUT [DATE] [VERSION]\n")
        return 2
    with open(sys.argv[1], encoding="utf-8") as f:
        lines = f.readlines()
    date = sys.argv[3] if len(sys.argv) > 3 else ""
    version = sys.argv[4] if len(sys.argv) > 4 else ""
    with open(sys.argv[2], "w", encoding="utf-8") as f:
        f.write(convert(lines, date, version))
    return 0


if __name__ == "__main__":
    sys.exit(main())
