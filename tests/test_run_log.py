"""The studio's run log: the run's lines in a video maker's words."""

from __future__ import annotations

import pytest

from vantor.studio.run_log import user_words


@pytest.mark.parametrize("line, words", [
    ("\U0001F4E5 Requesting download from server...", "Asking the download service for the video"),
    ("\u23F3 Processing job 4f2a...", None), ("  57%", None),
    ("\n\u2B07\uFE0F  Downloading video...", "Downloading the video"),
    ("\u2705 Download complete: /tmp/x/.vantor-run-1/movie.mp4", "The video is downloaded"),
    ("  downloading: 45% 12.0 MiB of 80.3 MiB, 4.1 MiB/s", "Downloading the video: 45%"),
    ("  converting the source video to MP4: 45%", "Converting the source video to MP4: 45%"),
    ("\U0001F3AC Processing 2 segments...", "Narrating and cutting 2 ranges"),
    ("  Segment 1/2: 00:00:04 \u2192 6", "Range 1 of 2: 00:00:04 to 6"),
    ("\U0001F517 Concatenating segments...", "Joining the ranges"),
    ("\U0001F4D0 Converting to 9:16 vertical at 1.5x speed...", "Making the vertical video at 1.5x speed"),
    ("  (GPU unavailable, using CPU encoder...)", None), ("\U0001F9F9 Cleaning up...", None),
    ("\u2705 Done! Vertical Output: /p/out/FINAL_RECAP.mp4", None),
    ("warning: segment 2: the narration is 1.2 s longer than its range", "warning: segment 2: the narration is "
     "1.2 s longer than its range"),
    ("could not open /home/u/p/.vantor-run-x/clip_1.mp4 now", "could not open clip_1.mp4 now"),
    ("at http://127.0.0.1:5/files/secret.mp4", "at http://127.0.0.1:5/..."), ("\U0001F600", None),
    ("vantor: created the output directory '/p/.vantor-studio/1/out'", None)])
def test_the_run_log_in_the_users_words(line, words):
    assert user_words(line) == words
