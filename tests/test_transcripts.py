"""A video's transcript through the local services (captions first, then
recognition, cached per video) and the segments drafted from it."""

from __future__ import annotations

import json
from pathlib import Path

import pytest

from hostile_site import Site, body
from vantor.recap.checks.segments_check import check_segments_bytes, is_draft, parse_time
from vantor.services.server import InProcessServer, Services, new_token
from vantor.transcripts import recognition
from vantor.transcripts.model import Transcript, Word
from vantor.transcripts.source import TranscriptUnavailable, transcript_for, video_words
from vantor.transcripts.suggest import DEFAULT_LENGTH, MIN_LENGTH, PAD_AFTER, PAD_BEFORE, draft_segments, placeholder, suggest

VTT = (b"WEBVTT\n\n00:00:01.000 --> 00:00:03.000\nThe keeper saves it.\n\n"
       b"00:00:03.500 --> 00:00:05.000\nWhat a match!\n")


def page(track: bool) -> bytes:
    listed = '<track kind="captions" srclang="en" src="/en.vtt">' if track else ""
    return f'<html><body><video controls><source src="/v.mp4" type="video/mp4">{listed}</video></body></html>'.encode()


@pytest.fixture
def services(tmp_path):
    server = InProcessServer(Services(tmp_path / "services", token=new_token(), private_sources="direct"))
    yield server.base_url
    server.close()


@pytest.fixture
def recognitions(monkeypatch):
    """Recognition on this machine as installed: every call is recorded and
    answers two words (the model is not here, so the seam is forced)."""
    calls: list[Path] = []

    def recognise(media, *, language=None, progress=None, cancel=None):
        calls.append(Path(media).read_bytes()[4:8])
        progress(0.5)
        return Transcript((Word(0.5, 1.0, "Hello"), Word(1.1, 1.6, "world.")), "recognition", "en")

    monkeypatch.setattr(recognition, "available", lambda: None)
    monkeypatch.setattr(recognition, "recognise", recognise)
    return calls


def test_captions_are_used_without_recognition_and_cached(tmp_path, services, recognitions):
    stages: list[str] = []
    with Site({"/p.html": body(page(True), "text/html"), "/en.vtt": body(VTT, "text/vtt")}) as site:
        first = transcript_for(site.base_url + "/p.html", services_url=services, cache_dir=tmp_path / "t",
                               progress=lambda stage, fraction: stages.append(stage))
        hits = list(site.hits)
        again = transcript_for(site.base_url + "/p.html", services_url=services, cache_dir=tmp_path / "t")
        assert site.hits == hits  # the second call fetched nothing
    assert recognitions == [] and set(stages) == {"captions"}
    assert first == again and first.source == "captions"
    assert [s.text for s in first.sentences()] == ["The keeper saves it.", "What a match!"]


def test_without_captions_the_downloaded_video_is_recognised_once(tmp_path, services, recognitions, source_video):
    stages: list[str] = []
    routes = {"/p.html": body(page(False), "text/html"), "/v.mp4": body(Path(source_video).read_bytes())}
    with Site(routes) as site:
        for _ in range(2):
            found = video_words(site.base_url + "/p.html", services_url=services, cache_dir=tmp_path / "t",
                                progress=lambda stage, fraction: stages.append(stage))
    assert recognitions == [b"ftyp"]  # a whole MP4 handed over, once
    assert found.transcript.source == "recognition" and [w.text for w in found.transcript.words] == ["Hello", "world."]
    assert {"captions", "downloading", "transcribing", "reading the video"} <= set(stages)
    assert found.signals is not None and len(found.signals.loudness) == 12  # read while the video was here


def test_without_captions_or_recognition_one_line_says_what_to_install(tmp_path, services, monkeypatch):
    missing = recognition.available
    monkeypatch.setattr(recognition, "available", lambda: missing(folders=[tmp_path]))  # no model in that folder
    with Site({"/p.html": body(page(False), "text/html")}) as site:
        with pytest.raises(TranscriptUnavailable, match=r"^the video has no captions, and .*; add it with: make -C .* transcribe$") as refused:
            transcript_for(site.base_url + "/p.html", services_url=services, cache_dir=tmp_path / "t")
        assert "/v.mp4" not in site.hits  # nothing downloaded for a recognition that cannot run
    assert "\n" not in str(refused.value)


def sentences_at(*spans: tuple[float, float, str]) -> Transcript:
    """Each (start, end, sentence): its words spread evenly over the span."""
    words = []
    for start, end, text in spans:
        parts = text.split()
        step = (end - start) / len(parts)
        words += [Word(start + i * step, start + (i + 1) * step, w) for i, w in enumerate(parts)]
    return Transcript(tuple(words), "captions", "en")


def test_ranges_hold_whole_sentences_padded_within_their_neighbours_and_the_video():
    transcript = sentences_at((0.1, 4.0, "Kick off here."), (4.2, 9.0, "The penalty is given now."),
                              (10.0, 14.0, "He scores the penalty!"), (20.0, 30.0, "Slow talk at end."))
    found = suggest(transcript, count=3, length=6.0, keywords=["Penalty"], duration=30.5, include_ends=True)
    # The first sentence's padding gives way to the second's range.
    assert [(s.start, s.end) for s in found] == [(4.0, 4.2 + 5 * 0.96 + PAD_AFTER), (9.7, 14.0 + PAD_AFTER),
                                                 (0.0, 4.0)]
    assert found[0].text == "The penalty is given now." and "keywords 'penalty' x1" in found[0].reasons
    assert found[0].reasons[0].startswith("speech density 1.0 words/s")
    early = suggest(sentences_at((0.1, 2.0, "Early start.")), length=5.0, include_ends=True)
    assert [(s.start, s.end) for s in early] == [(0.0, 2.7)]
    late = suggest(sentences_at((20.0, 30.0, "Late.")), duration=30.5, include_ends=True)
    assert [(s.start, s.end) for s in late] == [(19.7, 30.5)]
    # The video's own keywords: four letters or more, said three times or more.
    own = suggest(sentences_at((0.0, 4.0, "Goal goal goal gol gol gol."), (9.0, 13.0, "Saves saves here now.")), length=5.0,
                  include_ends=True)
    assert own[0].reasons[2:] == ("the video's repeated words 'goal' x3",) and len(own[1].reasons) == 2
    with pytest.raises(ValueError, match="count"):
        suggest(transcript, count=0)
    with pytest.raises(ValueError, match="length"):
        suggest(transcript, length=float("nan"))


def test_the_defaults_fit_a_recap_short_clips_within_one_shot_past_greetings_and_sign_offs():
    talk = [(t, t + 4.0, "The rocket climbs past the clouds.") for t in range(30, 86, 5)]  # 30 s to 89 s
    film = sentences_at((1.0, 8.0, "Hi and welcome back to the channel."), *talk,
                        (100.0, 118.0, "Thanks for watching and subscribe."))
    found = suggest(film, duration=120.0, shots=[62.0])
    # Four clips: the sentence said across the cut at 62 s is in none.
    assert len(found) == 4 and all(30.0 - PAD_BEFORE <= s.start and s.end <= 89.0 + PAD_AFTER for s in found)
    assert all(MIN_LENGTH <= s.end - s.start <= DEFAULT_LENGTH + PAD_BEFORE + PAD_AFTER for s in found)
    assert all(s.end <= 62.0 or s.start >= 62.0 for s in found)
    greeted = suggest(film, duration=120.0, keywords=["welcome"], count=8, include_ends=True)
    assert "Hi and welcome back to the channel." in [s.text for s in greeted]

    def kept(duration: float, start: float, end: float, **asked: float) -> bool:
        return bool(suggest(sentences_at((start, end, "One two three four five six.")), duration=duration, **asked))

    # Half a minute at each end, a third of a shorter film; a clip of 6 s or more (half a shorter --length).
    assert kept(90.0, 30.0, 38.0) and kept(90.0, 52.0, 60.0) and kept(60.0, 20.0, 28.0)
    assert not kept(90.0, 29.99, 38.0) and not kept(90.0, 52.0, 60.01) and not kept(60.0, 19.9, 28.0)
    assert kept(200.0, 50.3, 55.3) and not kept(200.0, 50.3, 55.29)  # 6.0 s and 5.99 s with their padding
    assert kept(200.0, 50.3, 53.3, length=7.0) and not kept(200.0, 50.3, 53.29, length=8.0)


def test_the_draft_is_refused_as_it_is_naming_every_segment_and_fits_once_rewritten():
    long = " ".join(["word"] * 40) + "."
    transcript = sentences_at((1.0, 2.0, "Short one."), (5.0, 8.0, long), (12.0, 40.0, long))
    draft = draft_segments(suggest(transcript, count=3, length=8.0, include_ends=True))
    report = check_segments_bytes(json.dumps(draft).encode(), drafts=True)
    assert report.ok and report.warnings == [] and len(draft) >= 2
    refused = check_segments_bytes(json.dumps(draft).encode())
    assert [(p.number, p.member) for p in refused.problems] == [(n, "voiceover") for n in range(1, len(draft) + 1)]
    assert "still the draft of vantor suggest" in refused.errors[0].message
    for narration, marked in ((" rewrite: the words", True), ("REWRITE:x", True), ("Now REWRITE: this", False),
                              ("REWRITE it all", False)):
        assert is_draft(narration) is marked, narration
    assert [float(d["start"]) for d in draft] == sorted(float(d["start"]) for d in draft)
    for d in draft:
        seconds = parse_time(d["end"]) - parse_time(d["start"])
        assert d["voiceover"].startswith("REWRITE: ") and len(d["voiceover"].split()) <= seconds * 2.5
    assert placeholder("a b c d", 1.2) == "REWRITE: a b…" and placeholder("a b", 1.2) == "REWRITE: a b"
    assert placeholder("a b c", 1.19) == "REWRITE: a…"
    assert placeholder("a b c", 0.4) == "REWRITE: a…"


def test_the_commands_and_the_api_through_a_running_service(tmp_path, services, monkeypatch, capsys):
    import vantor
    from vantor.cli import main

    monkeypatch.setenv("VANTOR_CACHE_DIR", str(tmp_path / "cache"))
    draft = tmp_path / "segments.json"
    with Site({"/p.html": body(page(True), "text/html"), "/en.vtt": body(VTT, "text/vtt")}) as site:
        url = site.base_url + "/p.html"
        assert main(["transcript", url, "--services", services]) == 0
        assert capsys.readouterr().out == "[00:01] The keeper saves it.\n[00:03] What a match!\n"
        assert main(["transcript", url, "--services", services, "--vtt", "-q"]) == 0
        assert capsys.readouterr().out.startswith("WEBVTT\n\n00:00:01.000 --> 00:00:03.000\nThe keeper saves it.\n")
        assert main(["suggest", url, "--services", services, "--count", "2", "--length", "3", "--include-ends",
                     "-o", str(draft)]) == 0
        shown = capsys.readouterr().out
        assert main(["suggest", url, "--services", services, "-o", str(draft)]) == 1  # kept without --force
        assert "exists" in capsys.readouterr().err
        assert [s.text for s in vantor.suggest(url, services=services, count=1, length=10, include_ends=True)] == [
            "The keeper saves it. What a match!"]
        assert vantor.transcript(url, services=services).words[0].text == "The"
    assert "speech density" in shown and "draft written to" in shown
    assert [(d["start"], d["end"]) for d in json.loads(draft.read_text())] == [("0.700", "3.500"), ("3.500", "5.700")]
    assert main(["check", str(draft)]) == 1  # the draft as it is: its narrations are the video's own words
    assert [line.split(":")[1] for line in capsys.readouterr().out.splitlines()[:2]] == [" segment 1 'voiceover'",
                                                                                        " segment 2 'voiceover'"]
    with pytest.raises(TypeError, match="transcript: url must be a str"):
        vantor.transcript(b"http://x")
    with pytest.raises(TypeError, match="suggest: count must be an int"):
        vantor.suggest("http://x", count="2")


def test_a_long_unpunctuated_run_is_cut_at_its_longest_pauses():
    # 60 s of automatic captions without a second's pause: a word every 0.5 s, longer pauses at 20 s and 41 s.
    times = [n * 0.5 + (0.6 if n >= 40 else 0) + (0.7 if n >= 82 else 0) for n in range(120)]
    transcript = Transcript(tuple(Word(t, t + 0.4, f"w{n}") for n, t in enumerate(times)), "captions", None)
    found = sorted(suggest(transcript, count=3, length=25.0, include_ends=True), key=lambda s: s.start)
    assert [s.text.split()[0] for s in found] == ["w0", "w40", "w82"]
    assert all(s.end - s.start <= 25.0 + PAD_BEFORE + PAD_AFTER for s in found)


def test_the_same_video_is_known_by_its_key_and_only_a_fixed_sites_key_spans_hosts(tmp_path, recognitions,
                                                                                 monkeypatch):
    from vantor.services.captions import video_key
    from vantor.services.client import CaptionWords, ServicesClient
    from vantor.transcripts.store import StoredTranscript, TranscriptStore

    youtube = {"extractor_key": "Youtube", "id": "dQw4w9WgXcQ"}
    assert video_key(youtube, "https://youtu.be/dQw4w9WgXcQ") == video_key(youtube, "https://www.youtube.com/watch?v=dQw4w9WgXcQ")
    assert video_key(youtube, "http://evil.example/embed.html") != video_key(youtube, "https://youtu.be/dQw4w9WgXcQ")
    hosted = {"extractor_key": "PeerTube", "id": "9c9d"}
    assert video_key(hosted, "https://evil.example/w/9c9d") != video_key(hosted, "https://framatube.org/w/9c9d")
    assert video_key({"extractor_key": "Generic", "id": "page"}, "https://a.example/page") is None
    # A video known by its key is not recognised again when another address names it.
    key = video_key(youtube, "https://youtu.be/dQw4w9WgXcQ")
    said = Transcript((Word(0.5, 1.0, "Known"), Word(1.1, 1.6, "words.")), "captions", "en")
    TranscriptStore(tmp_path / "t").put("https://youtu.be/dQw4w9WgXcQ", None, StoredTranscript(said, 10.0, key))
    monkeypatch.setattr(ServicesClient, "captions",
                        lambda self, url, language=None: CaptionWords(key, 10.0, None, None, None, "no captions"))
    found = video_words("https://www.youtube.com/watch?v=dQw4w9WgXcQ", services_url="http://127.0.0.1:9",
                        cache_dir=tmp_path / "t")
    assert found.transcript == said and recognitions == []
    assert TranscriptStore(tmp_path / "t").by_video(video_key(youtube, "http://evil.example/embed.html"), None) is None


def test_a_run_of_sentences_exactly_the_length_asked_is_one_range():
    said = [Word(0.0, 4.0, "First"), Word(4.5, 10.0, "sentence."), Word(10.5, 14.0, "Second"), Word(14.5, 20.0, "one.")]
    transcript = Transcript(tuple(said), "captions", "en")
    both = suggest(transcript, count=1, length=20.0, include_ends=True)  # 0 to 20 s: fits exactly
    assert (both[0].start, both[0].text) == (0.0, "First sentence. Second one.")  # padded past 20 s
    apart = suggest(transcript, count=2, length=19.99, include_ends=True)
    assert sorted(s.text for s in apart) == ["First sentence.", "Second one."]
