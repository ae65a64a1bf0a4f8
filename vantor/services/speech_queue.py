"""Speech work shared fairly between clients.

A few narrations are spoken at once, on the speech service's own threads (so
file and progress answers, on the server's shared threads, never wait behind
them). The rest wait in a bounded queue taken in turn from each client: one
client's flood delays another client's narration by at most those being
spoken (the client with the fewest narrations being spoken goes next). A
request past its client's share, or past the queue's size, is refused at
once as busy.
"""

from __future__ import annotations

import asyncio
import threading
from collections import Counter, deque
from collections.abc import Callable
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any

__all__ = ["Busy", "SpeechQueue"]


class Busy(Exception):
    """The request was not queued; the same request may succeed later."""


@dataclass
class _Work:
    client: str
    done: Future[Any]
    call: Callable[[], Any]


class SpeechQueue:
    def __init__(self, workers: int, per_client: int, total: int) -> None:
        self.workers: int = workers
        self.per_client: int = per_client
        self.total: int = total
        self._executor = ThreadPoolExecutor(workers, thread_name_prefix="vantor-speech")
        self._lock = threading.Lock()
        self._queues: dict[str, deque[_Work]] = {}  # in turn order: the next client first
        self._held: Counter[str] = Counter()  # client -> its narrations queued or being spoken
        self._speaking: Counter[str] = Counter()  # client -> its narrations being spoken
        self._closed = False

    @property
    def held(self) -> int:
        """Narrations queued or being spoken."""
        with self._lock:
            return self._held.total()

    async def run(self, client: str, call: Callable[[], Any]) -> Any:
        """`call()`'s result, spoken in `client`'s turn; Busy when refused."""
        with self._lock:
            if self._closed:
                raise Busy("busy: the service is shutting down; try again later")
            if self._held[client] >= self.per_client:
                raise Busy(f"busy: {self._held[client]} narrations of this client are queued, the service's "
                           "limit per client; try again later")
            if self._held.total() >= self.total:
                raise Busy(f"busy: {self._held.total()} narrations are queued, the service's limit; "
                           "try again later")
            work = _Work(client, Future(), call)
            self._held[client] += 1
            self._queues.setdefault(client, deque()).append(work)
            self._start_next()
        return await asyncio.wrap_future(work.done)

    def _start_next(self) -> None:
        # Called with the lock held. Next is the queued client with the fewest
        # narrations being spoken, the longest without a turn among equals; a
        # client whose narration starts goes to the back of the turn order.
        while self._speaking.total() < self.workers and self._queues:
            client = min(self._queues, key=lambda name: self._speaking[name])
            queue = self._queues.pop(client)
            work = queue.popleft()
            if queue:
                self._queues[client] = queue
            self._speaking[client] += 1
            self._executor.submit(self._speak, work)

    def _speak(self, work: _Work) -> None:
        try:
            if work.done.set_running_or_notify_cancel():  # False: its request went away while queued
                try:
                    work.done.set_result(work.call())
                except BaseException as error:  # handed to the waiting request
                    work.done.set_exception(error)
        finally:
            with self._lock:
                for count in (self._speaking, self._held):
                    count[work.client] -= 1
                    if count[work.client] <= 0:
                        del count[work.client]
                if not self._closed:
                    self._start_next()

    def close(self) -> None:
        """Refuses queued narrations; those being spoken finish."""
        with self._lock:
            self._closed = True
            queued = [work for queue in self._queues.values() for work in queue]
            self._queues.clear()
            for work in queued:
                self._held[work.client] -= 1
        for work in queued:
            if work.done.set_running_or_notify_cancel():
                work.done.set_exception(Busy("busy: the service is shutting down; try again later"))
        self._executor.shutdown(wait=True)
