#!/usr/bin/env python3
"""Faults generated from the product's sources, planted one at a time, each judged by the whole
test suite: the kinds of slip a person makes (a comparison flipped or moved by one, a condition
negated, a constant off by one, && for ||, a statement or an early return removed, two arguments
swapped), found by pattern over every line of src/ that this build compiles (the preprocessor's
output tells which: another platform's branch of an #if is left out).

  scripts/mutation.py list                 every fault, one a line, with its id
  scripts/mutation.py run [--sample N]     plant them (or N chosen by the sources) and judge each
  scripts/mutation.py run --only REGEX     only the faults in files whose path matches

A fault that does not build proves nothing and is replaced, in a sample, by the next one.
Faults that change no behaviour are listed with the reason in scripts/mutation-equivalent.txt
and are not counted. The run prints every fault left unnoticed with its file and line, the
figure, and fails below --minimum percent (default 0: report only).
"""
import argparse
import hashlib
import json
import os
import random
import re
import shlex
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SKIP = re.compile(r"^\s*(#|//|/\*|\*|static_assert|using |namespace |template|case .*:$)")
STRING = re.compile(r'"(\\.|[^"\\])*"|\'(\\.|[^\'\\])*\'')


def code_part(line):
    """The line with its string and character literals blanked and its comment cut, so that
    patterns never match inside them; same length as the line up to the comment."""
    blanked = STRING.sub(lambda m: '"' + " " * (len(m.group(0)) - 2) + '"', line)
    cut = blanked.find("//")
    return blanked if cut < 0 else blanked[:cut]


def matching_paren(text, start):
    depth = 0
    for i in range(start, len(text)):
        if text[i] == "(":
            depth += 1
        elif text[i] == ")":
            depth -= 1
            if depth == 0:
                return i
    return -1


SWAPS = [(" == ", " != "), (" != ", " == "), (" < ", " <= "), (" <= ", " < "), (" > ", " >= "),
         (" >= ", " > "), (" && ", " || "), (" || ", " && ")]
NUMBER = re.compile(r"(?<![\w.])(\d+)(?![\w.'])")
CALL2 = re.compile(r"\b(\w+)\((\w+), (\w+)\)")


def faults_of_line(line, code):
    """(kind, start, end, replacement) for one line: `code` is the line as code_part gave it,
    where patterns are found; the replacement is made of the line's own text."""
    out = []
    for old, new in SWAPS:
        at = code.find(old)
        while at >= 0:
            left = code[:at]
            # "<" and ">" of templates have no spaces around them; a shift does not count.
            if not (old.strip() in "<>" and (left.endswith("<") or left.endswith(">"))):
                out.append((f"{old.strip()} -> {new.strip()}", at, at + len(old), new))
            at = code.find(old, at + 1)
    for m in NUMBER.finditer(code):
        value = int(m.group(1))
        if value > 0xFFFFFFFF or code[:m.start()].rstrip().endswith(("[", "<")):
            continue
        out.append((f"{value} -> {value + 1}", m.start(), m.end(), str(value + 1)))
        if value > 0:
            out.append((f"{value} -> {value - 1}", m.start(), m.end(), str(value - 1)))
    for m in re.finditer(r"\b(if|while) \(", code):
        open_at = m.end() - 1
        close = matching_paren(code, open_at)
        if close > 0:
            out.append((f"{m.group(1)} negated", open_at + 1, close, "!(" + line[open_at + 1:close] + ")"))
            rest = code[close + 1:].strip()
            if m.group(1) == "if" and rest.startswith("return") and rest.endswith(";"):
                out.append(("early return removed", m.start(), len(code), ";"))
    stripped = code.strip()
    if (stripped.endswith(";") and not stripped.startswith(("return", "const ", "auto ", "}", "std::", "static "))
            and re.match(r"^[\w.\->\[\]*]+(\(| [+\-|&]?= |\+\+|--)", stripped)):
        indent = len(code) - len(code.lstrip())
        out.append(("statement removed", indent, len(code), ";"))
    for m in CALL2.finditer(code):
        if m.group(2) != m.group(3) and m.group(1) not in ("if", "while", "for", "switch", "return"):
            out.append(("arguments swapped", m.start(), m.end(), f"{m.group(1)}({m.group(3)}, {m.group(2)})"))
    return out


def compiled_files(build):
    """The sources the build compiles, each with its compile command: a fault elsewhere (another
    platform's code) is never built."""
    database = build / "compile_commands.json"
    if not database.exists():
        return None
    return {Path(entry["file"]).resolve(): entry for entry in json.loads(database.read_text())}


MARKER = re.compile(r'^# (\d+) "(.*)"')


def live_lines(entry):
    """The line numbers of the file that the preprocessor keeps: a fault in a branch of #if this
    build leaves out (the other platform's, the portable fallback) is never compiled."""
    command = shlex.split(entry["command"])
    if "-o" in command:
        at = command.index("-o")
        del command[at:at + 2]
    command = [part for part in command if part != "-c"] + ["-E"]
    output = subprocess.run(command, cwd=entry["directory"], capture_output=True, text=True).stdout
    source, live, current, number = str(Path(entry["file"]).resolve()), set(), False, 0
    for text in output.split("\n"):
        marker = MARKER.match(text)
        if marker:
            number, current = int(marker.group(1)), str(Path(marker.group(2)).resolve()) == source
            continue
        if current and text.strip():
            live.add(number)
        number += 1
    return live


def all_faults(build):
    faults = []
    compiled = compiled_files(build)
    for path in sorted((ROOT / "src").rglob("*.cpp")):
        if compiled is not None and path.resolve() not in compiled:
            continue
        live = live_lines(compiled[path.resolve()]) if compiled is not None else None
        rel = path.relative_to(ROOT).as_posix()
        lines = path.read_text(encoding="utf-8").split("\n")
        in_comment = False
        for number, line in enumerate(lines, 1):
            if "/*" in line and "*/" not in line:
                in_comment = True
            if in_comment:
                in_comment = "*/" not in line
                continue
            if SKIP.match(line) or not line.strip() or (live is not None and number not in live):
                continue
            code = code_part(line)
            for kind, begin, end, replacement in faults_of_line(line, code):
                new_line = line[:begin] + replacement + line[end:]
                digest = hashlib.sha1(f"{rel}\n{line.strip()}\n{kind}\n{new_line.strip()}".encode()).hexdigest()[:10]
                faults.append({"id": digest, "file": rel, "line": number, "kind": kind, "old": line, "new": new_line})
    return faults


def equivalent():
    listed = {}
    path = ROOT / "scripts" / "mutation-equivalent.txt"
    if path.exists():
        for line in path.read_text().splitlines():
            if line.strip() and not line.startswith("#"):
                ident, _, reason = line.partition(" ")
                listed[ident] = reason.strip()
    return listed


def run(cmd, log):
    with open(log, "w") as out:
        return subprocess.run(cmd, cwd=ROOT, stdout=out, stderr=subprocess.STDOUT).returncode


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("action", choices=["list", "run"])
    parser.add_argument("--sample", type=int, default=0, help="this many faults, chosen by the sources and tests")
    parser.add_argument("--seed", default="", help="choose the sample by this instead of the sources and tests")
    parser.add_argument("--only", default="", help="only faults in files whose path matches this expression")
    parser.add_argument("--minimum", type=float, default=0, help="fail below this percentage noticed")
    parser.add_argument("--build", default="build/mutants")
    args = parser.parse_args()

    skip = equivalent()
    build = ROOT / args.build
    if not (build / "CMakeCache.txt").exists():
        subprocess.run(["cmake", "--preset", "debug", "-B", str(build), "-DRNGACQ_BENCH=OFF"], cwd=ROOT, check=True,
                       stdout=subprocess.DEVNULL)
    # Faults listed as equivalent leave the order after it is drawn, so that listing one keeps
    # the rest of a sample as it was.
    faults = [f for f in all_faults(build) if re.search(args.only, f["file"])]
    if args.action == "list":
        planted = [f for f in faults if f["id"] not in skip]
        for f in planted:
            print(f"{f['id']} {f['file']}:{f['line']}: {f['kind']}: {f['new'].strip()}")
        print(f"{len(planted)} faults ({len(faults) - len(planted)} listed as changing no behaviour)",
              file=sys.stderr)
        return 0

    # The sample follows what it judges, the committed sources and tests: a commit that changes
    # only CI or the documents keeps its sample, so a figure can be known before it is gated.
    trees = subprocess.run(["git", "rev-parse", "HEAD:src", "HEAD:tests"], cwd=ROOT, capture_output=True,
                           text=True).stdout.split()
    chosen_by = hashlib.sha1(" ".join(trees).encode()).hexdigest()
    order = faults[:]
    if args.sample:
        random.Random(args.seed or chosen_by).shuffle(order)
    order = [f for f in order if f["id"] not in skip]
    log = build / "mutation.log"
    if run(["cmake", "--build", str(build), "-j", str(os.cpu_count())], log) != 0:
        print(f"the unchanged sources do not build: see {log}")
        return 1
    judged, noticed, survivors, broken = 0, 0, [], 0
    want = args.sample or len(order)
    for f in order:
        if judged == want:
            break
        path = ROOT / f["file"]
        original = path.read_text(encoding="utf-8")
        lines = original.split("\n")
        lines[f["line"] - 1] = f["new"]
        try:
            path.write_text("\n".join(lines), encoding="utf-8")
            if run(["cmake", "--build", str(build), "-j", str(os.cpu_count())], log) != 0:
                broken += 1
                continue
            judged += 1
            failed = run(["ctest", "--test-dir", str(build), "-j", str(os.cpu_count()), "--timeout", "120",
                          "--stop-on-failure"], log) != 0
        finally:
            path.write_text(original, encoding="utf-8")
        verdict = "noticed" if failed else "MISSED "
        print(f"{verdict} {f['id']} {f['file']}:{f['line']}: {f['kind']}: {f['new'].strip()}", flush=True)
        if failed:
            noticed += 1
        else:
            survivors.append(f)
    run(["cmake", "--build", str(build), "-j", str(os.cpu_count())], log)  # the build matches the sources again
    percent = 100.0 * noticed / judged if judged else 0.0
    print(f"mutation check: noticed {noticed}/{judged} ({percent:.0f} %), {broken} faults that did not build "
          f"passed over, sample {args.seed or chosen_by[:12]}")
    for f in survivors:
        print(f"not noticed: {f['file']}:{f['line']}: {f['kind']}: {f['old'].strip()}  ->  {f['new'].strip()}")
    return 1 if percent < args.minimum else 0


if __name__ == "__main__":
    sys.exit(main())
