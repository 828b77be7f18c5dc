#!/usr/bin/python3
"""Checks that no #include runs the wrong way between layers.

Folders are ranked (libs lowest, shell highest) and a unit may include only
headers of its own folder or of a lower-ranked one; inside libs/ the
sub-layers of docs/ARCHITECTURE.md ("Sub-layers of libs/" table) are ranked
the same way. Qt headers are refused in the folders built without Qt.

  check_includes.py SOURCE_DIR     check the tree; exit 1 with one line per fault
"""
import pathlib
import re
import sys

# Rank of each folder; equal ranks may not include each other.
FOLDERS = {"resources": 0, "libs": 0, "store": 1, "services": 1, "core": 2,
           "ui": 3, "screens": 4, "summary": 4, "shell": 5}
QT_FREE = {"libs", "store", "services", "core"}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)
QT_HEADER = re.compile(r"^Qt[A-Za-z]*/|^Q[A-Z][A-Za-z]*$")


def sublayers(architecture_text):
    """Unit name patterns of libs/ by sub-layer rank, from the table that
    follows the heading "Sub-layers of libs/": | rank | sub-layer | units |."""
    section = architecture_text.split("Sub-layers of libs/", 1)
    if len(section) < 2:
        raise SystemExit("docs/ARCHITECTURE.md has no 'Sub-layers of libs/' table")
    patterns = []
    for line in section[1].splitlines()[1:]:
        if line.startswith("#"):
            break
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) < 3 or not cells[0].isdigit():
            continue
        for unit in re.findall(r"`([^`]+)`", cells[2]):
            patterns.append((re.compile(re.escape(unit).replace(r"\*", ".*") + r"$"), int(cells[0])))
    return patterns


def unit_of(file_name):
    return file_name.rsplit(".", 1)[0]


def libs_rank(unit, patterns):
    for pattern, rank in patterns:
        if pattern.match(unit):
            return rank
    return None


def faults(files, headers, patterns):
    """files: {relative path: text}; headers: {header name: folder}.
    Returns the list of wrong-way includes and unknown libs units."""
    out = []
    units = {unit_of(h) for h in headers}
    for path, text in sorted(files.items()):
        folder = path.split("/", 1)[0]
        name = path.rsplit("/", 1)[-1]
        own_rank = None
        if folder == "libs":
            # A suffixed source belongs to the unit whose header is its prefix.
            unit = unit_of(name)
            while unit not in units and "." in unit:
                unit = unit.rsplit(".", 1)[0]
            own_rank = libs_rank(unit, patterns)
            if own_rank is None:
                out.append(f"{path}: unit {unit} is in no sub-layer of docs/ARCHITECTURE.md")
                continue
        for kind, target in INCLUDE.findall(text):
            if kind == "<":
                if folder in QT_FREE and QT_HEADER.match(target):
                    out.append(f"{path}: Qt header <{target}> in a layer built without Qt")
                continue
            target_folder = headers.get(target.rsplit("/", 1)[-1])
            if target_folder is None:
                continue  # generated or local to a test
            if FOLDERS[target_folder] > FOLDERS[folder] or (
                    target_folder != folder and FOLDERS[target_folder] == FOLDERS[folder]):
                out.append(f"{path}: includes {target} of {target_folder}/, which {folder}/ may not use")
            elif folder == "libs" and target_folder == "libs":
                target_rank = libs_rank(unit_of(target), patterns)
                if target_rank is not None and target_rank > own_rank:
                    out.append(f"{path}: includes {target}, a higher sub-layer of libs/")
    return out


def main():
    root = pathlib.Path(sys.argv[1])
    patterns = sublayers((root / "docs" / "ARCHITECTURE.md").read_text(encoding="utf-8"))
    files, headers = {}, {}
    for folder in FOLDERS:
        for p in sorted((root / folder).rglob("*")):
            if p.suffix in (".h", ".cpp"):
                rel = p.relative_to(root).as_posix()
                files[rel] = p.read_text(encoding="utf-8", errors="replace")
                if p.suffix == ".h":
                    headers[p.name] = folder
    found = faults(files, headers, patterns)
    for line in found:
        print(line)
    print(f"{len(files)} files checked, {len(found)} wrong-way includes")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
