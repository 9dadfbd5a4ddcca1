"""One seed, start to end: draw the world, run the host against it, check the invariants."""

import asyncio
import random
import time

from quorvane_host.run.stopping import StopRequested

from . import behaviour, exchange, host, invariants, loop as vloop, wire

REPLAY = "make sim SEED={seed}"


class World:
    def __init__(self, b):
        self.b = b
        self.rng = random.Random(b.seed * 7919 + 1)
        self.loop = vloop.VirtualLoop()
        self.exchange = exchange.Exchange(b, lambda: self.loop.wall_ms() + b.skew_ms, self.loop, self.rng)
        self.net = wire.Network(self.loop, self.exchange, self.rng, rtt_s=b.rtt_s)
        self.errors = []  # exceptions in callbacks: the exchange's, the network's, or the host's own
        self.loop.set_exception_handler(lambda loop, context: self.errors.append(
            repr(context.get("exception") or context.get("message"))))


class Result:
    def __init__(self, seed, checks, failures, run):
        self.seed, self.checks, self.failures, self.run = seed, checks, failures, run

    @property
    def ok(self):
        return not self.failures

    def story(self):
        """What happened, order by order, on both sides: for a seed replayed alone."""
        run, w = self.run, self.run.w
        out = [f"behaviour: {w.b}", f"exit {run.exit}; fired at {run.fire_s}; stop request at {run.stop_request_at}"]
        for at, text, _ in w.net.sent:
            out.append(f"  {at * 1000:9.1f} ms sent {text[:150]}")
        for o in run.gate.ledger.orders if run.gate else ():
            out.append(f"  host order {o.seq}: {o.describe()} (request {o.request_id})")
        for o in w.exchange.ours:
            out.append(f"  exchange order {o.order_id}: arrived {o.arrived_ms - w.b.announced_ms:.1f} ms after "
                       f"the announced opening, {o.state(o.arrived_ms)} then {o.final()} (request {o.request_id})")
        out.extend(f"  host: {line}" for line in run.lines)
        return "\n".join(out)

    def line(self):
        return f"seed {self.seed}: " + "; ".join(self.failures) + f"  (replay: {REPLAY.format(seed=self.seed)})"


def run_seed(seed):
    world = World(behaviour.draw(seed))
    run = host.Run(world)
    loop = world.loop
    try:
        with loop.patched_time(), host.quiet():
            run.session = loop.create_task(run.main())
            try:
                loop.run_until_complete(run.session)
            except (StopRequested, asyncio.CancelledError):
                if run.stop_request_at is None:
                    raise
            loop.run_until_complete(run.finish())
    except Exception as exc:  # noqa: BLE001 - the run failing at all is a finding
        return Result(seed, 1, [f"the run failed: {exc!r}"], run)
    finally:
        run.restore_module()
        _close(loop)
    checks = invariants.check_all(run, world.exchange, world.net, world.b)
    failures = checks.failures + [f"an exception in a callback: {error}" for error in world.errors[:3]]
    return Result(seed, checks.count, failures, run)


def _close(loop):
    for task in asyncio.all_tasks(loop):
        task.cancel()
    try:
        loop.run_until_complete(asyncio.sleep(0))
    except Exception:  # noqa: BLE001
        pass
    loop.close()


def run_seeds(seeds):
    """Runs ``seeds``; returns (results of the failing ones, checks, seconds)."""
    started = time.perf_counter()
    failing, checks = [], 0
    with host.quiet():
        for seed in seeds:
            result = run_seed(seed)
            checks += result.checks
            if not result.ok:
                failing.append(result)
    return failing, checks, time.perf_counter() - started
