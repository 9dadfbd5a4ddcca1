"""Serving from a thread of its own: the loopback exchange and the delay relay.

Both are asyncio servers with ``async start()`` and ``async stop()``; tests and
the host's ``--exchange loopback`` also run them beside synchronous code, on an
event loop of a daemon thread.  :class:`ServedInThread` gives them
``start_in_thread``, ``stop_thread`` and ``with``.
"""

import asyncio
import threading
from typing import Any, Awaitable, Callable, List, Optional


class ServedInThread:
    """Mixin for a server whose ``start()`` sets ``self._loop`` to the loop it runs on."""

    _thread: Optional[threading.Thread] = None
    _thread_stop: Optional[asyncio.Event] = None
    _loop: Optional[asyncio.AbstractEventLoop] = None
    # How the thread runs its event loop, and what a failure to start names.
    _thread_runner: Callable[[Awaitable[Any]], Any] = staticmethod(asyncio.run)
    _thread_name = "server"

    async def start(self) -> Any:  # pragma: no cover - provided by the server
        raise NotImplementedError

    async def stop(self) -> Any:  # pragma: no cover - provided by the server
        raise NotImplementedError

    def start_in_thread(self, timeout: float = 30.0) -> Any:
        """Serve from a daemon thread with its own event loop; returns once listening."""
        ready = threading.Event()
        failure: List[BaseException] = []

        async def main() -> None:
            self._thread_stop = asyncio.Event()
            try:
                await self.start()
            except BaseException as exc:  # reported to the starting thread
                failure.append(exc)
                ready.set()
                return
            ready.set()
            try:
                await self._thread_stop.wait()
            finally:
                await self.stop()

        self._thread = threading.Thread(target=self._thread_runner, args=(main(),),
                                        name=self._thread_name, daemon=True)
        self._thread.start()
        if not ready.wait(timeout):
            raise RuntimeError(f"the {self._thread_name.replace('-', ' ')} did not start in time")
        if failure:
            self._thread.join()
            self._thread = None
            raise failure[0]
        return self

    def stop_thread(self, timeout: float = 10.0) -> None:
        if self._thread is None:
            return
        loop, stop_event = self._loop, self._thread_stop
        if loop is not None and stop_event is not None and not loop.is_closed():
            try:
                loop.call_soon_threadsafe(stop_event.set)
            except RuntimeError:  # loop already closed
                pass
        self._thread.join(timeout)
        self._thread = None

    def __enter__(self) -> Any:
        return self.start_in_thread()

    def __exit__(self, *exc: Any) -> None:
        self.stop_thread()
