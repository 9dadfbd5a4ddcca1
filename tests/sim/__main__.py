"""``python -m tests.sim --seed N`` replays one seed; ``--seeds N`` runs N of them from ``--first``;
``--faults`` plants each fault of :mod:`.faults` in turn and says which of those seeds catch it."""

import argparse
import sys

from . import faults
from .host import quiet
from .run import run_seed, run_seeds


def planted_faults(seeds):
    """Each planted fault with the seeds that catch it (the first ten); 1 when one is caught by none."""
    missed = 0
    with quiet():
        for name in faults.FAULTS:
            with faults.planted(name):
                caught = [seed for seed in seeds if not run_seed(seed).ok]
            missed += not caught
            print(f"{name}: {len(caught)} seeds fail" + (f", the first {caught[:10]}" if caught else " (MISSED)"),
                  file=sys.stderr, flush=True)
    return 1 if missed else 0


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m tests.sim")
    parser.add_argument("--seed", type=int, help="run this seed alone, saying what happened")
    parser.add_argument("--seeds", type=int, default=2000)
    parser.add_argument("--first", type=int, default=0)
    parser.add_argument("--faults", action="store_true", help="plant each known fault in turn")
    args = parser.parse_args(argv)
    seeds = [args.seed] if args.seed is not None else range(args.first, args.first + args.seeds)
    if args.faults:
        return planted_faults(seeds)
    if args.seed is not None:
        result = run_seed(args.seed)
        print(result.story())
    failing, checks, seconds = run_seeds(seeds)
    for result in failing:
        print(result.line())
    if args.seed is not None and not failing:
        print(f"seed {args.seed}: every invariant held")
    print(f"{len(seeds)} seeds, {checks} invariant checks, {len(failing)} failing, {seconds:.1f} s")
    return 1 if failing else 0


if __name__ == "__main__":
    sys.exit(main())
