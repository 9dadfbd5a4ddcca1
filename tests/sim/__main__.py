"""``python -m tests.sim --seed N`` replays one seed; ``--seeds N`` runs N of them from ``--first``."""

import argparse
import sys

from .run import run_seed, run_seeds


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m tests.sim")
    parser.add_argument("--seed", type=int, help="run this seed alone, saying what happened")
    parser.add_argument("--seeds", type=int, default=2000)
    parser.add_argument("--first", type=int, default=0)
    args = parser.parse_args(argv)
    seeds = [args.seed] if args.seed is not None else range(args.first, args.first + args.seeds)
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
