"""The download service's captions: the forms sites publish, the choice of
track, and hostile caption files (a redirect to an internal port, a huge
file, a malformed one). Pages are served on loopback; 127.0.0.2 plays the
public internet and 127.0.0.1 the internal network."""

from __future__ import annotations

import re
import threading
import time

import pytest

from hostile_site import Site, body, drip, redirect, silent
from vantor.services import caption_forms, source_guard
from vantor.services.caption_forms import CaptionsMalformed, parse_captions
from vantor.services.captions import CaptionFetcher, choose_track
from vantor.services.client import DownloadError, ServicesClient
from vantor.services.server import InProcessServer, Services, new_token
from vantor.services.ytdlp_backend import DownloadFailed

PUBLIC = "127.0.0.2"
# YouTube's automatic WebVTT: word stamps, a 10 ms cue repeating the line,
# and each cue's first line repeating the one before.
ROLLING_VTT = b"""WEBVTT
Kind: captions
Language: en

00:00:00.160 --> 00:00:02.070 align:start position:0%
\x20
we<00:00:00.480><c> are</c><00:00:00.640><c> here</c>

00:00:02.070 --> 00:00:02.080 align:start position:0%
we are here
\x20

00:00:02.080 --> 00:00:04.000 align:start position:0%
we are here
today<00:00:02.500><c> to</c><00:00:02.900><c> win</c>
"""


def page(*tracks: str) -> bytes:
    listed = "".join(f'<track kind="captions" srclang="{lang}" src="{src}">' for lang, src in tracks)
    return f'<html><body><video controls><source src="/v.mp4" type="video/mp4">{listed}</video></body></html>'.encode()


def words(found: list) -> list[tuple[float, float, str]]:
    return [(w.start, w.end, w.text) for w in found]


def test_each_form_gives_word_times_tags_and_repeats_stripped():
    assert [w.text for w in parse_captions(ROLLING_VTT, "vtt")] == ["we", "are", "here", "today", "to", "win"]
    assert words(parse_captions(ROLLING_VTT, "vtt"))[:2] == [(0.16, 0.48, "we"), (0.48, 0.64, "are")]
    json3 = (b'{"events":[{"tStartMs":0,"dDurationMs":5000},{"tStartMs":1000,"dDurationMs":3000,"segs":'
             b'[{"utf8":"hello"},{"utf8":" world","tOffsetMs":600}]},{"tStartMs":2000,"segs":[{"utf8":"\\n"}]}]}')
    assert words(parse_captions(json3, "json3")) == [(1.0, 1.6, "hello"), (1.6, 4.0, "world")]
    srv3 = b'<timedtext format="3"><body><p t="1000" d="2000"><s>one</s><s t="500">two</s></p></body></timedtext>'
    assert words(parse_captions(srv3, "srv3")) == [(1.0, 1.5, "one"), (1.5, 3.0, "two")]
    ttml = (b'<tt xmlns="http://www.w3.org/ns/ttml"><body><div><p begin="00:00:01.000" end="00:00:02.000">'
            b'Hi<br/>all</p></div></body></tt>')
    assert words(parse_captions(ttml, "ttml")) == [(1.0, 1.4, "Hi"), (1.4, 2.0, "all")]
    srt = "1\n00:00:01,000 --> 00:00:03,000\n<i>Tom &amp; Ann</i> [Music]\n\n2\n00:00:03,000 --> 00:00:04,000\n¡Sí!\n"
    assert words(parse_captions(srt.encode(), "srt")) == [(1.0, 2.0, "Tom"), (2.0, 3.0, "Ann"), (3.0, 4.0, "¡Sí!")]
    # Rolling cues: two or more repeated first words go, one only with its whole cue; a later cue is no repeat.
    rolling = "".join(f"{n}\n00:00:{a},000 --> 00:00:{b},000\n{text}\n\n" for n, (a, b, text) in enumerate(
        [("01", "02", "one two three"), ("02", "03", "two three four"), ("03", "04", "four score"),
         ("04", "05", "score"), ("09", "10", "score")], 1))
    assert [w.text for w in parse_captions(rolling.encode(), "srt")] == ["one", "two", "three", "four", "four", "score",
                                                                         "score"]


@pytest.mark.parametrize("content, form, said", [
    (b"not json", "json3", "not JSON"), (b'{"events": 3}', "json3", "no list of events"),
    (b'{"events":[{"tStartMs":"x","segs":[{"utf8":"a"}]}]}', "json3", "not a time"),
    (b'{"events":[{"tStartMs":100,"segs":[{"utf8":"a","tOffsetMs":-200}]}]}', "json3", "not in a video"),
    (b"00:00:01.000 --> 00:00:02.000\nhi\n", "vtt", "starts with WEBVTT"),
    (b"WEBVTT\n\n00:00:01.000 --> soon\nhi\n", "vtt", "not a cue's times"),
    (b"WEBVTT\n\n00:00:03.000 --> 00:00:02.000\nhi\n", "vtt", "not in a video"),
    (b"WEBVTT\n\n100:00:00.000 --> 100:00:00.001\nhi\n", "vtt", "not in a video"),
    (b"1\nhello\n", "srt", "not a SubRip cue"),
    (b'<!DOCTYPE x [<!ENTITY a "aaaa">]><tt><p begin="1s" end="2s">&a;</p></tt>', "ttml", "declares entities"),
    (b"<tt><p", "ttml", "not XML"), (b"\xff\xfe", "srt", "not UTF-8"), (b"x", "sbv", "not read"),
])
def test_malformed_captions_are_refused_in_one_line(content, form, said):
    with pytest.raises(CaptionsMalformed, match=said):
        parse_captions(content, form)


def test_bounds_on_cues_and_words(monkeypatch):
    edges = b"WEBVTT\n\n00:00:00.000 --> 00:00:00.500\nhi\n\n100:00:00.000 --> 100:00:00.000\nbye\n"
    assert words(parse_captions(edges, "vtt")) == [(0.0, 0.5, "hi"), (360000.0, 360000.0, "bye")]
    cues = "WEBVTT\n\n" + "".join(f"00:00:{i:02d}.000 --> 00:00:{i:02d}.500\nw{i} x\n\n" for i in range(3))
    monkeypatch.setattr(caption_forms, "MAX_CUES", 3)
    assert len(parse_captions(cues.encode(), "vtt")) == 6
    monkeypatch.setattr(caption_forms, "MAX_WORDS", 5)
    with pytest.raises(CaptionsMalformed, match="more than 5 words"):
        parse_captions(cues.encode(), "vtt")
    monkeypatch.setattr(caption_forms, "MAX_CUES", 2)
    with pytest.raises(CaptionsMalformed, match="more than 2 cues"):
        parse_captions(cues.encode(), "vtt")


def test_the_caption_limits_are_8_mib_and_100000_cues():
    note = b"WEBVTT\n\nNOTE "
    assert parse_captions(note + b"x" * (8 * 1024 * 1024 - len(note)), "vtt") == []
    with pytest.raises(CaptionsMalformed, match="larger than 8388608 bytes"):
        parse_captions(note + b"x" * (8 * 1024 * 1024 + 1 - len(note)), "vtt")
    cues = lambda count: ('{"events":[' + ",".join(['{"tStartMs":0,"segs":[{"utf8":""}]}'] * count)  # noqa: E731
                          + "]}").encode()
    assert parse_captions(cues(100_000), "json3") == []
    with pytest.raises(CaptionsMalformed, match="more than 100000 cues"):
        parse_captions(cues(100_001), "json3")


def test_words_show_no_controls_no_timing_arrow_and_keep_within_the_video():
    from vantor.recap.captions.cues import Cue, to_srt
    from vantor.services.caption_forms import CaptionWord, within_video
    from vantor.transcripts.formats import as_srt
    from vantor.transcripts.model import Transcript, Word

    hidden = "\u202eevil\u202c pa\u200bss\ufeff \u2066x\u2069 a--->b -->"
    srt = f"1\n00:00:01,000 --> 00:00:02,000\n{hidden}\n".encode()
    assert [w.text for w in parse_captions(srt, "srt")] == ["evil", "pass", "x", "a->b"]
    written = to_srt([Cue(0.0, 1.0, "a--->b ---> c\u202e")]) + as_srt(Transcript((Word(0, 1, "x---->y."),), "captions", "en"))
    assert [line for line in written.splitlines() if "-->" in line and not line[0].isdigit()] == []
    assert "\u202e" not in written and "a->b -> c" in written and "x->y." in written
    words = [CaptionWord(1.0, 2.0, "in"), CaptionWord(9.5, 10.5, "across"), CaptionWord(10.0, 11.0, "past")]
    assert within_video(words, 10.0) == [words[0], CaptionWord(9.5, 10.0, "across")]
    assert within_video(words, None) == words


def test_a_rolling_caption_is_read_in_linear_time_within_the_deadline(service):
    from vantor.services.caption_forms import CaptionsTooSlow

    # 320 KB: each cue's first words against the tail before it, quadratic when every length is compared.
    size = 80_000
    first, second = " ".join(["w"] * size), " ".join(["x"] + ["w"] * (size - 1))
    rolling = f"WEBVTT\n\n00:00:00.000 --> 00:00:10.000\n{first}\n\n00:00:10.000 --> 00:00:20.000\n{second}\n"
    routes = {"/ok.html": body(page()), "/page.html": body(page(("en", "/en.vtt")), "text/html"),
              "/en.vtt": body(rolling.encode(), "text/vtt")}
    with Site(routes) as site:
        service.captions(site.base_url + "/ok.html")  # yt-dlp loads its extractors once: not what is timed
        started = time.monotonic()
        answered = service.captions(site.base_url + "/page.html")
        took = time.monotonic() - started
    assert len(answered.words) == 2 * size and took < 6  # seconds: 12 or more when quadratic, about 1 when linear
    many = "WEBVTT\n\n" + "".join(f"00:00:{i % 60:02d}.000 --> 00:00:{i % 60:02d}.500\nw{i}\n\n" for i in range(2048))
    with pytest.raises(CaptionsTooSlow, match="deadline"):
        parse_captions(many.encode(), "vtt", until=time.monotonic() - 1)


def test_the_track_chosen():
    def entry(*forms: str) -> list[dict]:
        return [{"ext": form, "url": f"https://x/{form}"} for form in forms]

    manual = {"fr": entry("srt"), "de": entry("vtt"), "live_chat": entry("json3")}
    automatic = {"en": entry("vtt", "json3", "srv3"), "fr": entry("json3"), "de-DE": entry("json3")}
    pick = lambda **kw: (lambda t: t and (t.language, t.kind, t.form))(choose_track(manual, automatic, **kw))
    assert pick(wanted="fr", video_language="de") == ("fr", "subtitles", "srt")  # a person's over automatic
    assert pick(wanted=None, video_language="de") == ("de", "subtitles", "vtt")
    assert pick(wanted="de-DE", video_language=None) == ("de-DE", "automatic", "json3")
    assert pick(wanted=None, video_language=None) == ("en", "automatic", "json3")  # word times first
    assert pick(wanted="ja", video_language=None) == ("en", "automatic", "json3")
    assert pick(wanted="de", video_language=None) == ("de", "subtitles", "vtt")
    assert choose_track({}, {"de-AT": entry("vtt"), "pt-BR": entry("vtt")}, wanted="pt",
                        video_language=None).language == "pt-BR"
    assert choose_track({"de-AT": entry("vtt"), "pt": [{"ext": "vtt", "url": "https://x/l.m3u8", "protocol": "m3u8_native"}]},
                        {}, wanted="pt", video_language="de-DE").language == "de-AT"
    assert choose_track({"live_chat": entry("json3")}, {"ja": [{"ext": "json3", "url": "file:///etc/passwd"}]},
                        wanted=None, video_language=None) is None
    assert choose_track({"ja": entry("sbv"), "ko": entry("srt")}, None, wanted=None,
                        video_language=None).language == "ko"


@pytest.fixture
def service(tmp_path):
    server = InProcessServer(Services(tmp_path / "cache", token=new_token(), private_sources="direct"))
    yield ServicesClient(server.base_url)
    server.close()


def test_a_page_with_caption_tracks_through_the_service(service):
    vtt = b"WEBVTT\n\n00:00:01.000 --> 00:00:03.000\nHello <b>there</b> &amp; you.\n"
    routes = {"/page.html": body(page(("fr", "/fr.srt"), ("en", "/en.vtt")), "text/html"),
              "/en.vtt": body(vtt, "text/vtt"), "/fr.srt": body(b"1\n00:00:00,500 --> 00:00:01,000\nBonjour\n"),
              "/none.html": body(b"<html><video src='/v.mp4'></video></html>", "text/html"),
              "/bad.html": body(page(("en", "/bad.vtt")), "text/html"), "/bad.vtt": body(b"not a caption file")}
    with Site(routes) as site:
        english = service.captions(site.base_url + "/page.html")
        french = service.captions(site.base_url + "/page.html", "fr")
        none = service.captions(site.base_url + "/none.html")
        bad = service.captions(site.base_url + "/bad.html")
        with pytest.raises(DownloadError):
            service.captions(site.base_url + "/missing.html")
    assert (english.language, english.kind, english.video_key) == ("en", "subtitles", None)
    assert [w[2] for w in english.words] == ["Hello", "there", "you."] and english.words[0][0] == 1.0
    assert french.words == [(0.5, 1.0, "Bonjour")]
    assert none.words is None and none.reason == "the video has no captions"
    assert bad.words is None and bad.reason.startswith("the site's captions could not be read: ") and "WEBVTT" in bad.reason


def test_a_caption_file_redirecting_to_an_internal_port_is_not_fetched(service, monkeypatch):
    real = source_guard.is_public
    monkeypatch.setattr(source_guard, "is_public", lambda address: address == PUBLIC or real(address))
    with Site({"/secret.vtt": body(b"WEBVTT\n\n00:00:01.000 --> 00:00:02.000\nsecret\n")}) as internal, \
            Site({"/page.html": body(page(("en", "/en.vtt")), "text/html"),
                  "/en.vtt": redirect(internal.base_url + "/secret.vtt")}, host=PUBLIC) as attacker:
        with pytest.raises(DownloadError, match="private"):
            service.captions(attacker.base_url + "/page.html")
    assert internal.hits == [] and "/en.vtt" in attacker.hits


def test_the_request_refuses_what_it_cannot_read(service):
    import requests

    for query, said in (("url=file:///etc/passwd", "http:// or https://"), ("url=http://x/&lang=en%20x", "lang")):
        answer = requests.get(f"{service.base_url}/api/captions?{query}", timeout=30)
        assert answer.status_code == 400 and said in answer.json()["error"]
    assert requests.get(service.base_url.rsplit("/", 1)[0] + "/api/captions?url=http://x/", timeout=30).status_code == 404


@pytest.mark.parametrize("length", [True, False])
def test_a_caption_file_over_the_bound_is_refused(tmp_path, length):
    vtt = b"WEBVTT\n\n00:00:01.000 --> 00:00:02.000\n" + b"word " * 200 + b"\n"
    routes = {"/page.html": body(page(("en", "/en.vtt")), "text/html"), "/en.vtt": body(vtt, "text/vtt", length)}
    with Site(routes) as site:
        fits = CaptionFetcher(private_sources="direct", max_bytes=len(vtt))
        over = CaptionFetcher(private_sources="direct", max_bytes=len(vtt) - 1)
        assert len(fits.captions(site.base_url + "/page.html", None, threading.Event()).words) == 200
        refused = over.captions(site.base_url + "/page.html", None, threading.Event())
    assert refused.words is None and f"larger than {len(vtt) - 1} bytes" in refused.reason


def test_a_caption_file_that_stalls_or_never_ends_is_cut():
    stop = threading.Event()
    routes = {"/slow.html": body(page(("en", "/slow.vtt")), "text/html"), "/slow.vtt": drip(stop, 0.2, 1000),
              "/mute.html": body(page(("en", "/mute.vtt")), "text/html"), "/mute.vtt": silent(stop),
              "/ok.html": body(page())}
    try:
        with Site(routes) as site:
            # yt-dlp's first page loads its extractors (seconds on a busy machine): not the time measured here.
            CaptionFetcher(private_sources="direct").captions(site.base_url + "/ok.html", None, threading.Event())
            with pytest.raises(DownloadFailed, match="deadline of 4 s"):
                CaptionFetcher(private_sources="direct", deadline=4).captions(site.base_url + "/slow.html", None,
                                                                              threading.Event())
            with pytest.raises(DownloadFailed, match="the source stalled: no data for 2 s"):
                CaptionFetcher(private_sources="direct", stall_seconds=2).captions(site.base_url + "/mute.html", None,
                                                                                   threading.Event())
            assert {"/slow.vtt", "/mute.vtt"} <= set(site.hits)  # cut while fetching the captions
    finally:
        stop.set()


def test_a_compressed_caption_file_is_read_and_a_short_one_refused():
    import gzip

    vtt = b"WEBVTT\n\n00:00:01.000 --> 00:00:02.000\nhi there\n"

    def sent(data: bytes, length: int, encoding: str | None = None):
        def answer(h):
            h.send_response(200)
            if encoding:
                h.send_header("Content-Encoding", encoding)
            h.send_header("Content-Length", str(length))
            h.end_headers()
            h.wfile.write(data)
        return answer

    packed = gzip.compress(vtt)
    routes = {"/gz.html": body(page(("en", "/gz.vtt")), "text/html"), "/gz.vtt": sent(packed, len(packed), "gzip"),
              "/cut.html": body(page(("en", "/cut.vtt")), "text/html"), "/cut.vtt": sent(vtt, len(vtt) + 1)}
    with Site(routes) as site:
        fetcher = CaptionFetcher(private_sources="direct")
        packed_words = fetcher.captions(site.base_url + "/gz.html", None, threading.Event()).words
        assert [w.text for w in packed_words] == ["hi", "there"]
        cut = fetcher.captions(site.base_url + "/cut.html", None, threading.Event())
    assert cut.words is None and re.search(rf"ended after \d+ of its {len(vtt) + 1} bytes$", cut.reason)
