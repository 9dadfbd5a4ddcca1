"""The rehearsal commands as a newcomer meets them: help, --version, errors, defaults;
and the set-up helpers that make demo runs."""

import importlib
import importlib.machinery
import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

from quorvane_host.cli.progname import package_path_env, version

pytestmark = pytest.mark.python_side

REPO = Path(__file__).resolve().parent.parent

# (installed name, module)
COMMANDS = [
    ("quorvane-exchange", "quorvane_rehearsal.exchange"),
    ("quorvane-relay", "quorvane_rehearsal.relay"),
    ("quorvane-demo", "quorvane_rehearsal.demo"),
]


def run(module, *args, timeout=60):
    """The command started as ``python -m module``, as make demo and the tests start it."""
    return subprocess.run([sys.executable, "-m", module, *args], capture_output=True, text=True,
                          env=package_path_env(), cwd=REPO, timeout=timeout)


@pytest.mark.parametrize("name, module", COMMANDS)
def test_version_and_help_name_the_installed_command(name, module):
    assert run(module, "--version").stdout == f"{name} {version()}\n"
    text = run(module, "--help").stdout
    assert text.startswith(f"usage: {name} ") and "python -m" not in text
    examples = text.split("\nexamples:\n", 1)[1].splitlines()
    assert sum(1 for line in examples if line.startswith(f"  {name}")) >= 2


@pytest.mark.parametrize("name, module", COMMANDS)
def test_every_option_has_a_help_line(name, module):
    parser = importlib.import_module(module)._parser()
    missing = [a.option_strings for a in parser._actions if not (a.help or "").strip()]
    assert not missing


@pytest.mark.parametrize("module, args, message", [
    ("quorvane_rehearsal.relay", [], "one of the arguments --target --self-test is required"),
    ("quorvane_rehearsal.relay", ["--target", "nowhere"], "argument --target: expected HOST:PORT"),
    ("quorvane_rehearsal.relay", ["--target", "127.0.0.1:1", "--rtt", "-1"], "cannot be negative"),
    ("quorvane_rehearsal.exchange", ["--cert", "c.pem"], "--cert and --key go together"),
    ("quorvane_rehearsal.exchange", ["--symbol", "Q!"], "argument --symbol: bad symbol name"),
    ("quorvane_rehearsal.exchange", ["--bogus"], "unrecognized arguments: --bogus"),
    ("quorvane_rehearsal.demo", ["--orders", "0"], "--orders must be at least 1"),
])
def test_errors_have_one_form(module, args, message):
    name = dict((m, n) for n, m in COMMANDS)[module]
    done = run(module, *args)
    last = done.stderr.strip().splitlines()[-1]
    assert done.returncode == 2 and last.startswith(f"{name}: error: ") and message in last


def test_the_relays_required_choice_shows_in_its_usage():
    assert "(--target HOST:PORT | --self-test)" in run("quorvane_rehearsal.relay", "--help").stdout


def test_the_exchanges_default_account_is_shown_where_it_is_used():
    from quorvane_rehearsal.exchange import DEFAULT_ACCOUNT

    key, secret = DEFAULT_ACCOUNT
    assert f"{key}:{secret}" in " ".join(run("quorvane_rehearsal.exchange", "--help").stdout.split())
    started = run("quorvane_rehearsal.exchange", "--duration", "0.2")
    assert started.returncode == 0, started.stderr
    assert f"account: {key}, secret {secret} (the default)" in started.stdout


# ---------------------------------------------------------------------------
# The demo's quantity, checked against the step of the symbol it lists


@pytest.mark.parametrize("quantity, refused", [
    ("0.5", None),
    ("2", None),
    ("0.001", None),
    ("0.0005", "not a multiple of the symbol's step 0.001"),
    ("0.1234", "not a multiple"),
    ("0", "not above zero"),
    ("1e-3", "not a plain decimal"),
    ("\u0661", "not a plain decimal"),  # an Arabic-Indic one
    ("1_000", "not a plain decimal"),
])
def test_the_demo_checks_the_quantity_before_starting(monkeypatch, capsys, quantity, refused):
    from quorvane_rehearsal import demo

    started = []
    monkeypatch.setattr(demo, "run_demo", lambda **kw: started.append(kw) or {"exit_code": 0})
    if refused is None:
        assert demo.main(["--quantity", quantity]) == 0 and started[0]["quantity"] == quantity
        return
    with pytest.raises(SystemExit) as stop:
        demo.main(["--quantity", quantity])
    err = capsys.readouterr().err
    assert stop.value.code == 2 and not started
    assert f"quorvane-demo: error: --quantity {quantity} " in err and refused in err


# ---------------------------------------------------------------------------
# Set-up helpers


def _script(name):
    path = REPO / "scripts" / name
    loader = importlib.machinery.SourceFileLoader(name.replace("-", "_"), str(path))
    spec = importlib.util.spec_from_loader(loader.name, loader)
    mod = importlib.util.module_from_spec(spec)
    loader.exec_module(mod)
    return mod


FIRST_BUILD = """\
  *** Configuring CMake...
  -- Configuring done (0.3s)
  *** Building project with Ninja...
  [0/2] Re-checking globbed directories...
  [1/30] Building CXX object CMakeFiles/quorvane_3.dir/module/quorvane_3.cpp.o
  [30/30] Linking CXX shared module quorvane_3.cpython-39-x86_64-linux-gnu.so
  *** Installing project into wheel...
Installing collected packages: quorvane_3
"""
NOTHING_CHANGED = """\
  *** Configuring CMake...
  *** Building project with Ninja...
  [0/2] Re-checking globbed directories...
  ninja: no work to do.
  *** Installing project into wheel...
Installing collected packages: quorvane_3
"""


@pytest.mark.parametrize("output, said", [
    (FIRST_BUILD, ["configuring (CMake)", "compiling (30 steps)", "packaging the wheel",
                   "installing into the environment"]),
    (NOTHING_CHANGED, ["configuring (CMake)", "compiling (nothing changed)", "packaging the wheel",
                       "installing into the environment"]),
    ("Requirement already satisfied: websockets\n", []),
], ids=["first build", "nothing changed", "no build"])
def test_the_build_is_shown_one_line_per_stage(output, said):
    assert list(_script("build-progress").stage_lines(output.splitlines())) == said


def test_a_failed_build_shows_its_output_and_status():
    done = subprocess.run([sys.executable, str(REPO / "scripts" / "build-progress"), sys.executable, "-c",
                           "import sys; print('  *** Configuring CMake...'); print('the compiler said no');"
                           " sys.exit(3)"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 3 and done.stdout == "  configuring (CMake)\n"
    assert "the compiler said no" in done.stderr


def test_the_demo_installs_only_the_runtime_dependencies():
    """make demo's chain reaches no test or packaging tool, and the runtime list is pyproject's."""
    plan = subprocess.run(["make", "-n", "-W", "pyproject.toml", "demo"], capture_output=True, text=True,
                          cwd=REPO, timeout=60)
    if plan.returncode != 0:
        pytest.skip(f"make -n demo: {plan.stderr.strip()[-200:]}")
    assert "extra-requirements runtime" in plan.stdout
    for extra_only in ("extra-requirements test", "[test", "pytest", "auditwheel", "libgtest"):
        assert extra_only not in plan.stdout
    runtime = subprocess.run([sys.executable, str(REPO / "scripts" / "extra-requirements"), "runtime"],
                             capture_output=True, text=True, timeout=60)
    if runtime.returncode != 0:
        pytest.skip("no TOML reader here")
    assert {r.split(">")[0].split("<")[0] for r in runtime.stdout.split()} == {"websockets", "ujson", "uvloop"}
