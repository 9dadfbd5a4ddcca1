"""The host's order path against thousands of scripted exchanges, in virtual time (tests/sim)."""

import pytest

from sim import faults
from sim.host import quiet
from sim.run import run_seed, run_seeds

SEEDS = range(2000)


def test_every_seed_keeps_the_invariants():
    failing, checks, _ = run_seeds(SEEDS)
    assert checks >= 5 * len(SEEDS)  # the runs got far enough to check something
    assert not failing, "\n".join(result.line() for result in failing)


@pytest.mark.python_side
@pytest.mark.parametrize("fault", faults.FAULTS)
def test_every_planted_fault_fails_a_seed(fault):
    with quiet():
        assert faults.first_caught(fault, SEEDS, run_seed) is not None, f"no seed catches: {fault}"
