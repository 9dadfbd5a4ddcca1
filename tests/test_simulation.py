"""The host's order path against thousands of scripted exchanges, in virtual time (tests/sim)."""

from sim.run import run_seeds

SEEDS = range(2000)


def test_every_seed_keeps_the_invariants():
    failing, checks, _ = run_seeds(SEEDS)
    assert checks >= 5 * len(SEEDS)  # the runs got far enough to check something
    assert not failing, "\n".join(result.line() for result in failing)
