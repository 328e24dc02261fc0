#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks a machine-readable Debian copyright file (copyright-format 1.0) as a tool reading it
# would: the Format line, paragraphs of known fields, continuation lines, every Files
# paragraph with its Copyright and License, every licence named given its text, and the
# whole source under GPL-3.0-or-later.
#   check_dep5.py FILE
import re
import sys

FORMAT = "https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"
HEADER_FIELDS = {"Format", "Upstream-Name", "Upstream-Contact", "Source", "Disclaimer", "Comment", "License",
                 "Copyright", "Files-Excluded"}
FILES_FIELDS = {"Files", "Copyright", "License", "Comment"}
LICENSE_FIELDS = {"License", "Comment"}


def fail(message):
    print(f"FAIL: {sys.argv[1]}: {message}")
    sys.exit(1)


def paragraphs(text):
    out, current, name = [], {}, None
    for number, line in enumerate(text.split("\n"), 1):
        if not line.strip():
            if current:
                out.append(current)
            current, name = {}, None
        elif line[0] in " \t":
            if name is None:
                fail(f"line {number}: a continuation line without a field before it")
            current[name].append(line[1:])
        else:
            m = re.fullmatch(r"([!-9;-~]+):(.*)", line)
            if not m:
                fail(f"line {number}: neither a field nor a continuation line: {line!r}")
            name = m.group(1)
            if name in current:
                fail(f"line {number}: {name} twice in one paragraph")
            current[name] = [m.group(2).strip()]
    if current:
        out.append(current)
    return out


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        text = f.read()
    paras = paragraphs(text)
    if not paras:
        fail("it is empty")
    header, rest = paras[0], paras[1:]
    if header.get("Format", [""])[0] != FORMAT:
        fail(f"the first paragraph's Format is not {FORMAT}")
    if set(header) - HEADER_FIELDS:
        fail(f"unknown header fields {sorted(set(header) - HEADER_FIELDS)}")

    named, defined = set(), set()
    files_star = None
    for p in rest:
        if "Files" in p:
            if set(p) - FILES_FIELDS:
                fail(f"unknown fields {sorted(set(p) - FILES_FIELDS)} in Files: {p['Files'][0]}")
            for field in ("Copyright", "License"):
                if field not in p or not " ".join(p[field]).strip():
                    fail(f"Files: {p['Files'][0]} has no {field}")
            licence = p["License"][0]
            for name in re.split(r"\s+(?:or|and)\s+", licence):
                named.add(re.sub(r",?\s+with\s+.*$", "", name).strip())
            if len(p["License"]) > 1:
                defined.add(licence)
            if "*" in p["Files"][0].split():
                files_star = licence
        elif "License" in p:
            if set(p) - LICENSE_FIELDS:
                fail(f"unknown fields {sorted(set(p) - LICENSE_FIELDS)} in License: {p['License'][0]}")
            if len(p["License"]) < 2 or not "".join(p["License"][1:]).strip():
                fail(f"License: {p['License'][0]} stands alone without its text")
            defined.add(p["License"][0])
        else:
            fail(f"a paragraph that is neither Files nor License: {sorted(p)}")
    if files_star is None:
        fail("no Files: * paragraph covers the whole source")
    if files_star != "GPL-3.0-or-later":
        fail(f"the source is under {files_star}, not GPL-3.0-or-later")
    if named - defined:
        fail(f"licences named without their text: {sorted(named - defined)}")
    gpl = next(p for p in rest if p.get("License", [""])[0] == "GPL-3.0-or-later" and len(p["License"]) > 1)
    words = " ".join(gpl["License"][1:])
    for needed in ("either version 3 of the License, or (at your option) any later", "WITHOUT ANY WARRANTY",
                   "/usr/share/common-licenses/GPL-3"):
        if needed not in words:
            fail(f"the GPL-3.0-or-later text lacks \"{needed}\"")
    print(f"PASS: {sys.argv[1]} is a copyright-format 1.0 file: GPL-3.0-or-later")


main()
