"""Each asynchronous stretch of the run in an event loop of its own, which leaves nothing behind.

A stop request (Ctrl-C, SIGTERM, SIGHUP) may land anywhere: in a callback, in the
middle of a handshake.  :class:`SessionRunner` cancels the session from the
event loop when one comes, and tears everything down in order however the
session ended, so that no connection outlives its loop.
"""

from __future__ import annotations

import asyncio
from typing import Any, Awaitable, Optional, Tuple

from quorvane_host.run.stopping import StopRequested, StopSignals

__all__ = ["SessionRunner"]


class SessionRunner:
    """Runs sessions one after the other; :meth:`cancel` ends the one running (from a signal handler)."""

    def __init__(self, signals: StopSignals) -> None:
        self.signals = signals
        self._current: Optional[Tuple[asyncio.AbstractEventLoop, asyncio.Task]] = None

    def cancel(self) -> bool:
        """Cancel the running session from its loop; True when one is being cancelled so.

        Called from a signal handler: it only schedules the cancellation.
        """
        session = self._current
        if session is not None:
            loop, task = session
            try:
                loop.call_soon_threadsafe(task.cancel)
                return not task.done()
            except RuntimeError:  # the loop has closed
                pass
        return False

    def run(self, session: Awaitable[Any], connector: Any) -> Any:
        """Run ``session`` in a new event loop, and leave nothing of it running or open.

        Returns the session's result.  While it runs, a stop request cancels
        it from the event loop (:meth:`cancel`); one that ends it so, without
        the handler's exception getting out, leaves as that StopRequested all
        the same.

        A stop request may leave ``run_until_complete`` from any callback,
        with the session and its tasks still pending.  They are then
        cancelled, the session first (its ``finally`` closes the
        connections in order), and again until no task is left: tasks
        started during the cancellation (an order's connection block closing
        its connection) run too.  Whatever connection is still open after
        that is aborted before the loop closes.
        """
        if self.signals.request is not None:
            # Recorded while no session ran (its exception swallowed on the
            # way): the next stretch, the countdown say, must not begin.
            if asyncio.iscoroutine(session):
                session.close()
            raise self.signals.request()
        loop = asyncio.new_event_loop()
        main = loop.create_task(session)
        self._current = (loop, main)
        try:
            asyncio.set_event_loop(loop)
            try:
                result = loop.run_until_complete(main)
            except asyncio.CancelledError:
                if self.signals.request is None:
                    raise
                raise self.signals.request() from None
            # The request is the record, not the exception: a cancellation
            # that the session swallowed (asyncio.wait_for can lose one)
            # must not let a stopped run go on.
            if self.signals.request is not None:
                raise self.signals.request()
            return result
        finally:
            try:
                if not main.done():
                    main.cancel()
                    _settle(loop, {main})
                for _ in range(100):
                    tasks = {t for t in asyncio.all_tasks(loop) if not t.done()}
                    if not tasks:
                        break
                    for task in tasks:
                        task.cancel()
                    _settle(loop, tasks)
                connector.abort_open()
                _settle(loop, {loop.create_task(asyncio.sleep(0))})  # deliver connection_lost
                _settle(loop, {loop.create_task(loop.shutdown_asyncgens())})
                _settle(loop, {loop.create_task(loop.shutdown_default_executor())})
            finally:
                asyncio.set_event_loop(None)
                loop.close()


def _settle(loop: asyncio.AbstractEventLoop, tasks: set) -> None:
    """Run the loop until ``tasks`` are done; a further stop request does not cut this short."""
    for _ in range(100):
        try:
            loop.run_until_complete(asyncio.wait(tasks))
            break
        except StopRequested:  # recorded by the handler; keep tearing down
            continue
    for task in tasks:
        if task.done() and not task.cancelled() and task.exception() is not None \
                and not isinstance(task.exception(), (StopRequested, asyncio.CancelledError)):
            loop.call_exception_handler({
                "message": "unhandled exception while the session shut down",
                "exception": task.exception(), "task": task})
