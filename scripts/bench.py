#!/usr/bin/python3
"""Helpers of scripts/bench.sh (standard library only).

  bench.py registry-idt SOURCE.idt OUT.idt ROWS
      The Registry table of SOURCE (as msiinfo exports it) grown to ROWS
      rows with filler rows, the two rows the hotfix moves placed last.
  bench.py check-edits PACKAGE
      Exit 0 when PACKAGE carries the hotfix's ten cached-package changes
      (eight InstallExecuteSequence conditions, two Registry components);
      otherwise prints what differs and exits 1.
  bench.py peak OUT -- PROGRAM ARGS...
      Runs PROGRAM, waits for it, and appends to OUT one line: its peak
      resident set in KiB as the kernel reports it at wait4 (ru_maxrss, the
      VmHWM of the process), then the largest anonymous and file-backed
      resident sets seen by sampling /proc/PID/status every 2 ms, then the
      exit code.
  bench.py report RESULTS.tsv
      The table of the figures (see report()).
"""
import os
import statistics
import subprocess
import sys
import time

# The ten cached-package changes, as the end-to-end tests expect them.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "wine"))
from e2e import CONDITION_EDITS, REGISTRY_EDITS  # noqa: E402

MOVED = tuple(REGISTRY_EDITS)


def registry_idt(source, out, total):
    lines = [line for line in open(source, newline="", encoding="utf-8").read().split("\r\n") if line]
    header, rows = lines[:3], lines[3:]
    moved = [row for row in rows if row.split("\t")[0] in MOVED]
    if len(moved) != len(MOVED):
        sys.exit(f"bench.py: {source} lacks one of {MOVED}")
    kept = [row for row in rows if row not in moved]
    component = kept[0].split("\t")[5]
    filler = [f"bench{i:06d}\t2\tSoftware\\Korvanta\\Bench\\{i // 1000:03d}\tValue{i:06d}\t{i}\t{component}"
              for i in range(1, total - len(kept) - len(moved) + 1)]
    # Imported into an empty database, rows keep this order: the hotfix's
    # registry pass then reads the whole table before it finds its rows.
    with open(out, "w", newline="", encoding="utf-8") as f:
        f.write("\r\n".join(header + kept + filler + moved) + "\r\n")


def export(package, table):
    text = subprocess.run(["msiinfo", "export", package, table], check=True,
                          capture_output=True, text=True, encoding="utf-8").stdout
    return [line.split("\t") for line in text.replace("\r", "").split("\n")[3:] if line]


def check_edits(package):
    problems = []
    sequence = {row[0]: row[1] for row in export(package, "InstallExecuteSequence")}
    for action, condition in CONDITION_EDITS.items():
        if sequence.get(action) != condition:
            problems.append(f"{action}: condition {sequence.get(action)!r}")
    registry = {row[0]: row[5] for row in export(package, "Registry")}
    for key, component in REGISTRY_EDITS.items():
        if registry.get(key) != component:
            problems.append(f"Registry {key}: component {registry.get(key)!r}")
    for problem in problems:
        print(problem)
    return 1 if problems else 0


def peak(out, command):
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
    anon = file = 0
    status = f"/proc/{process.pid}/status"
    while True:
        pid, wait_status, usage = os.wait4(process.pid, os.WNOHANG)
        if pid:
            break
        try:
            for line in open(status):
                if line.startswith("RssAnon:"):
                    anon = max(anon, int(line.split()[1]))
                elif line.startswith("RssFile:"):
                    file = max(file, int(line.split()[1]))
        except (FileNotFoundError, ProcessLookupError):
            pass
        time.sleep(0.002)
    process.returncode = os.waitstatus_to_exitcode(wait_status)
    with open(out, "a") as f:
        f.write(f"{usage.ru_maxrss}\t{anon}\t{file}\t{process.returncode}\n")
    return 0


def summary(values, unit_scale, digits):
    if not values:
        return "void", None
    scaled = [v * unit_scale for v in values]
    median = statistics.median(scaled)

    def text(value):  # no "-0" for a value that rounds to zero
        return f"{value if round(value, digits) else 0.0:.{digits}f}"

    return f"{text(median)} ({text(min(scaled))}-{text(max(scaled))})", median


def report(path):
    """RESULTS.tsv lines: MEASURE TITLE UNIT PROGRAM_VALUE ANCHOR_VALUE, one per valid
    run (values in s or KiB); a line with VOID as PROGRAM_VALUE counts a run left out.
    Prints per measure the medians, minima and maxima of both sides, the ratio of
    the medians and their difference, and the number of runs."""
    measures, order = {}, []
    for line in open(path, encoding="utf-8"):
        fields = line.rstrip("\n").split("\t")
        if len(fields) < 5:
            continue
        key = fields[0]
        if key not in measures:
            measures[key] = {"title": fields[1], "unit": fields[2], "program": [], "anchor": [], "void": 0}
            order.append(key)
        entry = measures[key]
        if fields[3] == "VOID":
            entry["void"] += 1
        else:
            entry["program"].append(float(fields[3]))
            entry["anchor"].append(float(fields[4]))
    rows = [("", "measure", "program: median (min-max)", "anchor: median (min-max)",
             "ratio", "difference", "n")]
    for key in order:
        entry = measures[key]
        scale, digits, unit = (1000.0, 0, "ms") if entry["unit"] == "s" else (1 / 1024, 1, "MiB")
        program, program_median = summary(entry["program"], scale, digits)
        anchor, anchor_median = summary(entry["anchor"], scale, digits)
        ratio = difference = "void"
        if program_median is not None:
            ratio = f"{program_median / anchor_median:.2f}" if anchor_median > 0 else "n/a"
            difference = f"{program_median - anchor_median:+.{digits}f} {unit}"
        n = str(len(entry["program"])) + (f" ({entry['void']} void)" if entry["void"] else "")
        rows.append((key, f"{entry['title']} [{unit}]", program, anchor, ratio, difference, n))
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    for row in rows:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())
    return 0


def main(argv):
    if len(argv) == 5 and argv[1] == "registry-idt":
        return registry_idt(argv[2], argv[3], int(argv[4])) or 0
    if len(argv) == 3 and argv[1] == "check-edits":
        return check_edits(argv[2])
    if len(argv) > 4 and argv[1] == "peak" and argv[3] == "--":
        return peak(argv[2], argv[4:])
    if len(argv) == 3 and argv[1] == "report":
        return report(argv[2])
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
