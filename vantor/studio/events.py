"""What a load or a recap tells the page while it runs: a numbered list of
events per activity, written by worker threads and read as Server-Sent
Events. A page that reconnects gives the number it last saw
(Last-Event-ID) and gets the rest, so no stage is lost or shown twice."""

from __future__ import annotations

import asyncio
import json
import threading
import uuid
from collections import OrderedDict
from collections.abc import AsyncIterator

__all__ = ["Activities", "Activity"]

# Ended activities kept for late readers; the oldest go first.
KEEP_ACTIVITIES = 200
# How often a reader looks for new events, and sends a comment to keep the
# connection open when there are none.
READ_EVERY = 0.05
KEEPALIVE_EVERY = 15.0
ENDING = ("ready", "done", "failed", "cancelled")


class Activity:
    def __init__(self, kind: str) -> None:
        self.id: str = uuid.uuid4().hex[:16]
        self.kind: str = kind  # "load", "make" or "transcript"
        self._events: list[dict[str, object]] = []
        self._lock = threading.Lock()
        self.cancel: threading.Event = threading.Event()

    def post(self, event_type: str, **fields: object) -> None:
        with self._lock:
            if self.ended:
                return  # the first end stands: a late line after a cancel is not news
            self._events.append({"type": event_type, **fields})

    @property
    def ended(self) -> bool:
        return bool(self._events) and self._events[-1]["type"] in ENDING

    def since(self, seen: int) -> list[tuple[int, dict[str, object]]]:
        with self._lock:
            return list(enumerate(self._events[seen:], seen))

    async def stream(self, seen: int) -> AsyncIterator[str]:
        """The events after the first `seen`, as text/event-stream, until the end."""
        quiet = 0.0
        while True:
            fresh = self.since(seen)
            for number, event in fresh:
                yield f"id: {number + 1}\ndata: {json.dumps(event)}\n\n"
                seen = number + 1
                if event["type"] in ENDING:
                    return
            if fresh:
                quiet = 0.0
            elif quiet >= KEEPALIVE_EVERY:
                yield ": still here\n\n"
                quiet = 0.0
            await asyncio.sleep(READ_EVERY)
            quiet += READ_EVERY


class Activities:
    def __init__(self) -> None:
        self._all: OrderedDict[str, Activity] = OrderedDict()
        self._lock = threading.Lock()

    def new(self, kind: str) -> Activity:
        activity = Activity(kind)
        with self._lock:
            self._all[activity.id] = activity
            ended = [a.id for a in self._all.values() if a.ended]
            while len(self._all) > KEEP_ACTIVITIES and ended:
                del self._all[ended.pop(0)]
        return activity

    def get(self, activity_id: str) -> Activity | None:
        with self._lock:
            return self._all.get(activity_id)

    def running(self, kind: str) -> list[Activity]:
        with self._lock:
            return [a for a in self._all.values() if a.kind == kind and not a.ended]
