"""The README's commands run as written, where they can run offline; and the
one way of building for the exchange's host that the README gives.

Every shell line of the README's fenced blocks is run, in order, by one
bash in a fresh folder and a HOME of its own, as a new user types them,
except: ``make`` lines are checked with ``make -n``; a ``quorvane-host``
line is made a dry run against the loopback exchange (its own rehearsal
otherwise waits for the opening), and a real run only has its input
checked; the wheel's lines are left to tests/test_wheel.py.  The Python
snippet of docs/using-the-module.md, which the README links, is run as it
stands.
"""

import importlib.machinery
import importlib.util
import re
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from quorvane_host.cli.progname import package_path_env

pytestmark = pytest.mark.python_side

REPO = Path(__file__).resolve().parent.parent
README = (REPO / "README.md").read_text()
MODULE_PAGE = (REPO / "docs" / "using-the-module.md").read_text()
DEVELOPING = (REPO / "docs" / "developing.md").read_text()
FENCE = re.compile(r"^(\s*)```(\w*)\s*$")
COMMENT = re.compile(r"\s+#\s.*$")
# What the host's input checks would say of a real run's command line, without running it.
PLAN_CHECK = ("import os, sys; from quorvane_host.cli.options import build_plan, parse_args; "
              "build_plan(parse_args(sys.argv[1:]), os.environ)")


def fenced_blocks(text):
    """(language, code) of each fenced block, its indentation taken off."""
    blocks, lang, indent, lines = [], None, "", []
    for line in text.splitlines():
        fence = FENCE.match(line)
        if lang is None and fence:
            lang, indent, lines = fence.group(2), fence.group(1), []
        elif lang is not None and fence and fence.group(2) == "":
            blocks.append((lang, "\n".join(lines)))
            lang = None
        elif lang is not None:
            lines.append(line[len(indent):] if line.startswith(indent) else line)
    return blocks


def shell_lines(text):
    """The README's shell commands, a continued line joined, comments left off."""
    lines = []
    for lang, code in fenced_blocks(text):
        if lang == "sh":
            for line in code.replace("\\\n", " ").splitlines():
                line = COMMENT.sub("", line).strip()
                if line:
                    lines.append(line)
    return lines


def as_run_offline(line):
    """What to run for one README line: the line itself, or its offline stand-in ("" to leave it)."""
    if line.startswith("make "):
        return f'make -n -C "$REPO" {line[len("make "):]} >/dev/null'
    if line.startswith(("python3.9 -m venv", "~/quorvane/")):
        return ""  # the wheel's own environment: tests/test_wheel.py
    words = shlex.split(line, comments=True)
    if "quorvane-host" not in " ".join(words[:2]):
        return line
    if "--help" in words or "--version" in words:
        return line
    if "--dry-run" in words or "--exchange" in words:
        extra = [] if "--dry-run" in words else ["--dry-run"]
        extra += [] if "--exchange" in words else ["--exchange", "loopback"]
        return f"{line} {' '.join(extra)}"
    # a real run: only its input is checked (its keys, its opening, its options)
    command = line[len("nohup "):] if line.startswith("nohup ") else line
    command = re.sub(r"\s*>.*$", "", command)
    return re.sub(r"^\S*quorvane-host", 'python -c "$PLAN_CHECK"', command)


@pytest.fixture
def fresh_folder(tmp_path):
    """A folder standing in for a clone (its .venv and scripts), a HOME of its own, no keys set."""
    if shutil.which("openssl") is None:
        pytest.skip("the loopback exchange needs the openssl command")
    venv = REPO / ".venv"
    if not (venv / "bin" / "quorvane-host").exists():
        pytest.skip("no .venv with the commands: make build")
    work, home = tmp_path / "clone", tmp_path / "home"
    work.mkdir()
    home.mkdir()
    (work / ".venv").symlink_to(venv)
    (work / "scripts").symlink_to(REPO / "scripts")
    env = {k: v for k, v in package_path_env().items() if not k.startswith("QUORVANE_")}
    env.update(HOME=str(home), XDG_CACHE_HOME=str(home / ".cache"), XDG_RUNTIME_DIR=str(home / "run"),
               REPO=str(REPO), PLAN_CHECK=PLAN_CHECK, TERM="dumb")
    return work, home, env


def test_the_readmes_shell_commands_run_as_written(fresh_folder):
    work, home, env = fresh_folder
    script, dry_runs = ["set -euo pipefail"], 0
    for line in shell_lines(README):
        command = as_run_offline(line)
        if command:
            script += [f"echo {shlex.quote('README$ ' + line)} >&2", command]
            dry_runs += command.startswith("quorvane-host") and "--dry-run" in command
    done = subprocess.run(["bash", "-c", "\n".join(script)], cwd=work, env=env, input="test-key\ntest-secret\n",
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, f"{done.stdout[-3000:]}\n{done.stderr[-3000:]}"
    keys = home / ".quorvane-keys"
    assert keys.stat().st_mode & 0o777 == 0o600
    assert keys.read_text() == "api_key = test-key\nsecret_key = test-secret\n"
    assert dry_runs and done.stdout.count("dry run: every check passed") == dry_runs, done.stdout[-3000:]


def test_the_module_pages_snippet_runs_and_stops(fresh_folder):
    work, _, env = fresh_folder
    (code,) = [code for lang, code in fenced_blocks(MODULE_PAGE) if lang == "python"]
    (work / "snippet.py").write_text(code)
    done = subprocess.run([sys.executable, "snippet.py"], cwd=work, env=env, capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout == "" and re.search(r"^\d+ of \d+ orders accepted$", done.stderr, re.M), done.stderr
    assert "Time from opening:" in (work / "module.log").read_text(errors="replace")


def test_every_make_target_the_readme_names_is_in_make_help():
    named = set(re.findall(r"`make ([a-z-]+)", README + DEVELOPING)) | {
        line.split()[1] for line in shell_lines(README + DEVELOPING) if line.startswith("make ")}
    done = subprocess.run(["make", "-s", "help"], cwd=REPO, capture_output=True, text=True, timeout=60)
    if done.returncode != 0:
        pytest.skip(f"make help: {done.stderr.strip()[-200:]}")
    listed = {line.split()[0] for line in done.stdout.splitlines()[1:] if line.startswith("  ") and
              not line.startswith("   ")}
    assert named and named <= listed, named - listed


# ---------------------------------------------------------------------------
# The exchange's host: given once, kept for every later build


def _exchange_host():
    loader = importlib.machinery.SourceFileLoader("exchange_host", str(REPO / "scripts" / "exchange-host"))
    spec = importlib.util.spec_from_loader(loader.name, loader)
    mod = importlib.util.module_from_spec(spec)
    loader.exec_module(mod)
    return mod


@pytest.mark.parametrize("given, kept, chosen", [
    ("ws-api.example.com", "", ("ws-api.example.com", "given")),
    ("ws-api.example.com", "old.example.com\n", ("ws-api.example.com", "given")),
    ("", "old.example.com\n", ("old.example.com", "kept")),  # a later build without the variable
    ("", "", ("PLACEHOLDER", "placeholder")),
])
def test_the_host_given_wins_then_the_one_kept(given, kept, chosen):
    assert _exchange_host().chosen(given, kept, "PLACEHOLDER") == chosen


@pytest.mark.parametrize("host, refused", [
    ("ws-api.example.com", ""),
    ("10.0.0.7", ""),
    ("wss://ws-api.example.com/ws-api/v3", "without scheme or path"),
    ("ws-api.example.com:443", "the port is always 443"),
    ('evil"host', "not a host name"),  # it would end up inside a C string literal
    ("a host", "not a host name"),
    ("-leading.example.com", "not a host name"),
])
def test_only_a_plain_host_name_is_built_in(host, refused):
    said = _exchange_host().problem_with(host)
    assert (refused in said) if refused else said == ""

