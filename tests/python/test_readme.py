"""The README's Python examples run as written.

The blocks run in order in one namespace, in a fresh interpreter whose working
directory is a temporary folder that sees the repository's examples/ folder,
so the files the examples write land there. A failing example's traceback
names its line in README.md.
"""
import json
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
README = ROOT / "README.md"

# Fenced blocks may be Python (run here) or text for the shell.
FENCE_LANGUAGES = {"python", "sh", "console", "text"}

RUNNER = """
import json, sys
namespace = {"__name__": "__main__"}
for line, code in json.load(sys.stdin):
    exec(compile("\\n" * (line - 1) + code, "README.md", "exec"), namespace)
"""


def fenced_blocks(text):
    """(info string, line number of the first code line, code) per fenced block."""
    blocks, lines, i = [], text.splitlines(), 0
    while i < len(lines):
        if lines[i].startswith("```"):
            info, start = lines[i][3:].strip(), i + 1
            end = start
            while end < len(lines) and not lines[end].startswith("```"):
                end += 1
            assert end < len(lines), f"README.md:{i + 1}: unclosed code block"
            blocks.append((info, start + 1, "\n".join(lines[start:end]) + "\n"))
            i = end
        i += 1
    return blocks


def test_code_blocks_are_tagged():
    # An untagged or misspelled fence would hide a Python example from the run below.
    blocks = fenced_blocks(README.read_text(encoding="utf-8"))
    assert [b for b in blocks if b[0] == "python"], "no Python example found"
    assert [(line, info) for info, line, _ in blocks if info not in FENCE_LANGUAGES] == []


def test_python_examples_run(tmp_path):
    blocks = [(line, code) for info, line, code in fenced_blocks(README.read_text(encoding="utf-8"))
              if info == "python"]
    (tmp_path / "examples").symlink_to(ROOT / "examples", target_is_directory=True)
    run = subprocess.run([sys.executable, "-c", RUNNER], input=json.dumps(blocks), cwd=tmp_path,
                         capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stdout[-3000:] + run.stderr[-6000:]
    assert run.stdout.strip(), "the examples printed nothing"
    written = {p.name: p.read_bytes()[:8] for p in tmp_path.iterdir() if p.is_file()}
    pngs = [name for name, head in written.items() if head == b"\x89PNG\r\n\x1a\n"]
    assert len(pngs) == 2, written
    # The decor example's cache file, gzip-compressed by its ".gz" name.
    assert [name for name, head in written.items() if head[:2] == b"\x1f\x8b"], written
