"""Stand-in for the text-to-speech service.

    POST /api/generate-audio-frontend   {"text": ..., "voice": ...}
        200 {"audio_data": "data:audio/mpeg;base64,<MP3 of the text>"}

The MP3 is spoken by espeak-ng where it is installed, a tone otherwise. With
`prefix=False` the audio comes as bare base64. Answers can be scripted (a
status, any body, a stall); see `script_answer`.
"""

from __future__ import annotations

import base64
import json
from collections import deque
from functools import lru_cache
from typing import Any

from ._loopback import Answer, LoopbackService, Request
from .media import narration_mp3_bytes

__all__ = ["SpeechService"]

ENDPOINT = "/api/generate-audio-frontend"


@lru_cache(maxsize=64)
def _mp3(text: str, seconds: float | None) -> bytes:
    return narration_mp3_bytes(text, seconds)


class SpeechService(LoopbackService):
    """`prefix`: send the data-URL prefix. `seconds`: fixed narration length
    (a tone of that length), or None to speak the text."""

    def __init__(self, *, prefix: bool = True, seconds: float | None = None) -> None:
        super().__init__()
        self.prefix: bool = prefix
        self.seconds: float | None = seconds
        self._script: deque[dict[str, Any]] = deque()

    def script_answer(self, status: int | None = None, body: object = None, delay: float | None = None) -> None:
        """Queues the answer to the next request. `status`: sent instead of
        200. `body`: bytes/str sent raw, anything else as JSON (None: the
        usual audio for a 200, an error object otherwise). `delay`: seconds
        to stall before answering."""
        with self._lock:
            self._script.append({"status": status, "body": body, "delay": delay})

    def audio_for(self, text: str) -> bytes:
        """The MP3 bytes the service sends for `text`."""
        return _mp3(text, self.seconds)

    def handle(self, request: Request) -> Answer:
        if request.method != "POST" or request.path != ENDPOINT:
            return Answer(404, {"detail": "not found"})
        script = self._script.popleft() if self._script else {"status": None, "body": None, "delay": None}
        status = script["status"] or 200
        body = script["body"]
        if body is None and status != 200:
            body = {"detail": f"scripted status {status}"}
        if body is None:
            try:
                text = json.loads(request.body)["text"]
            except (ValueError, TypeError, KeyError):
                return Answer(400, {"detail": "expected a JSON object with text"}, script["delay"])
            encoded = base64.b64encode(self.audio_for(str(text))).decode("ascii")
            body = {"audio_data": ("data:audio/mpeg;base64," if self.prefix else "") + encoded}
        return Answer(status, body, script["delay"])
