"""The module as the host sees it: loading, namespace, function objects,
argument binding and its messages, name lookups at use, the tempo chain."""

import ctypes
import functools
import gc
import importlib.util
import inspect
import json
import math
import pathlib
import subprocess
import sys
import textwrap
import weakref
from types import SimpleNamespace

import pytest

from vantor import _service_settings as settings

ROOT = pathlib.Path(__file__).resolve().parent.parent
OPS = ("_download_video", "_generate_tts", "_build_atempo_chain", "run_recap")
FACILITIES = ("json", "subprocess", "requests", "base64", "re", "time", "os", "quote")
RECAP_DOC = "\n" + "".join(f"    {line}\n" for line in (
    "Main recap processing engine.", "", "1. Download YouTube video", "2. Load segments.json",
    "3. Generate TTS for each segment", "4. Cut video clips", "5. Merge clips with audio", "6. Concatenate all clips",
    "7. Convert to 9:16 vertical + apply speed", "8. Cleanup temp files", "", "Returns path to FINAL_RECAP.mp4")) + "    "
EXPECTED = {  # docstring, signature, __defaults__
    "_download_video": (f"Download YouTube video via {settings.DOWNLOAD_API_HOST} API.",
                        "(url: 'str', output_file: 'str') -> 'None'", None),
    "_generate_tts": (f"Generate TTS audio using {settings.TTS_HOST} API.",
                      "(text: 'str', output_file: 'str', voice: 'str') -> 'None'", None),
    "_build_atempo_chain": ("\n    Build ffmpeg atempo filter chain.\n    atempo is limited to 0.5-2.0 range per filter,"
                            " so we chain for higher speeds.\n    ", "(speed: 'float') -> 'str'", None),
    "run_recap": (RECAP_DOC, "(youtube_url: 'str', segments_file: 'str', speed_factor: 'float', tts_voice: 'str', "
                  "output_dir: 'str' = '.') -> 'str'", (".",)),
}
Index = type("Index", (), {"__init__": lambda s, n: setattr(s, "n", n), "__index__": lambda s: s.n})
Floaty = type("Floaty", (), {"__init__": lambda s, x: setattr(s, "x", x), "__float__": lambda s: s.x})
BadFloat = type("BadFloat", (), {"__float__": lambda s: "x"})
LongName = type("N" * 300, (), {})
Named = type("Named", (str,), {})
Sentinel = type("Sentinel", (Exception,), {})
A = ("a", "b", "c", "d", "e", "f")
VECTORCALL = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t,
                               ctypes.py_object)(("PyObject_Vectorcall", ctypes.pythonapi))
BINDING = [
    ("_download_video", A[:3], {}, "_download_video() takes exactly 2 positional arguments (3 given)"),
    ("_download_video", (), {"output_file": "o"}, "_download_video() takes exactly 2 positional arguments (0 given)"),
    ("_generate_tts", A[:2], {}, "_generate_tts() takes exactly 3 positional arguments (2 given)"),
    ("_generate_tts", A[:4], {"voice": "v"}, "_generate_tts() takes exactly 3 positional arguments (4 given)"),
    ("_generate_tts", (), {"text": "t", "voice": "v"}, "_generate_tts() takes exactly 3 positional arguments (1 given)"),
    ("_build_atempo_chain", (), {}, "_build_atempo_chain() takes exactly 1 positional argument (0 given)"),
    ("_build_atempo_chain", (1, 2), {}, "_build_atempo_chain() takes exactly 1 positional argument (2 given)"),
    ("run_recap", A[:3], {}, "run_recap() takes at least 4 positional arguments (3 given)"),
    ("run_recap", A, {}, "run_recap() takes at most 5 positional arguments (6 given)"),
    ("run_recap", A, {"tts_voice": "v"}, "run_recap() takes at most 5 positional arguments (6 given)"),
    ("run_recap", (), {"youtube_url": "u", "speed_factor": 1, "tts_voice": "v"},
     "run_recap() takes at least 4 positional arguments (1 given)"),
    ("run_recap", A[:2], {"tts_voice": "v"}, "run_recap() takes at least 4 positional arguments (2 given)"),
    ("run_recap", (), {"output_dir": "."}, "run_recap() takes at least 4 positional arguments (0 given)"),
    ("_generate_tts", A[:3], {"voice": "v"}, "_generate_tts() got multiple values for keyword argument 'voice'"),
    ("_build_atempo_chain", (1.0,), {"speed": 2.0}, "_build_atempo_chain() got multiple values for keyword argument 'speed'"),
    ("_generate_tts", A[:3], {"speed": 1}, "_generate_tts() got an unexpected keyword argument 'speed'"),
    ("_generate_tts", A[:3], {"text": "x", "speed": 1}, "_generate_tts() got multiple values for keyword argument 'text'"),
    ("_generate_tts", A[:3], {"speed": 1, "text": "x"}, "_generate_tts() got an unexpected keyword argument 'speed'"),
    ("_generate_tts", (), {"bogus": 1}, "_generate_tts() got an unexpected keyword argument 'bogus'"),
    ("_download_video", ("u",), {"f\u00e9": 1}, "_download_video() got an unexpected keyword argument 'f\u00e9'"),
    ("_generate_tts", (None, "b", "c"), {}, "Argument 'text' has incorrect type (expected str, got NoneType)"),
    ("_generate_tts", (1, 2, 3), {}, "Argument 'text' has incorrect type (expected str, got int)"),
    ("_generate_tts", ("a", b"b", 3), {}, "Argument 'output_file' has incorrect type (expected str, got bytes)"),
    ("_generate_tts", ("a", "b"), {"voice": 3}, "Argument 'voice' has incorrect type (expected str, got int)"),
    ("_download_video", ("u", None), {}, "Argument 'output_file' has incorrect type (expected str, got NoneType)"),
    ("_download_video", (LongName(), "o"), {}, f"Argument 'url' has incorrect type (expected str, got {'N' * 200})"),
    ("run_recap", (1, 2, 1.0, 3, 4), {}, "Argument 'youtube_url' has incorrect type (expected str, got int)"),
    ("run_recap", ("u", 2, 1.0, 3), {}, "Argument 'segments_file' has incorrect type (expected str, got int)"),
    ("run_recap", ("u", "s", 1.0, 3), {}, "Argument 'tts_voice' has incorrect type (expected str, got int)"),
    ("run_recap", ("u", "s", 1.0, "v", None), {}, "Argument 'output_dir' has incorrect type (expected str, got NoneType)"),
    ("_generate_tts", (Named("t"), "o", "v"), {}, "Argument 'text' has incorrect type (expected str, got Named)"),
    ("run_recap", ("u", "s", 2, "v", Named(".")), {}, "Argument 'output_dir' has incorrect type (expected str, got Named)"),
]


class Trap:
    """Stands in for a module or a function: records its first use, then raises."""

    def __init__(self):
        self.uses = []

    def __getattr__(self, attr):
        self.uses.append(attr)
        raise Sentinel(attr)

    def __call__(self, *args, **kwargs):
        self.uses.append("()")
        raise Sentinel("()")


def fake_world(engine, tmp_path):
    """Quiet recording fakes for services, pauses, tools and building blocks;
    returns the real operations, the log and a driver for each of three."""
    real, log = {name: getattr(engine, name) for name in OPS}, []

    def answer(data):
        return SimpleNamespace(status_code=200, raise_for_status=lambda: None, json=lambda: data)

    def get(url, headers=None, timeout=None):
        log.append(("get", url))
        if "boom" in url:
            raise Sentinel(url)
        if "/ajax/download.php" in url:
            return answer({"success": True, "id": 1, "progress_url": "http://127.0.0.1:9/p"})
        return answer({"progress": 1000, "success": True, "download_url": "http://127.0.0.1:9/f.mp4"})

    engine.requests = SimpleNamespace(get=get, post=lambda url, json=None, headers=None, timeout=None: log.append(
        ("post", json)) or answer({"audio_data": "data:audio/mpeg;base64,SUQz"}))
    engine.time = SimpleNamespace(sleep=lambda seconds: log.append(("sleep", seconds)))
    engine.subprocess = SimpleNamespace(run=lambda argv, **kw: log.append(("run", argv)) or SimpleNamespace(returncode=0))
    engine._download_video = lambda url, out: log.append(("download", url, out))
    engine._generate_tts = lambda text, out, voice: log.append(("tts", text, out, voice))
    engine._build_atempo_chain = lambda speed: log.append(("chain", speed)) or "atempo=1.0"
    segments = tmp_path / "s.json"
    segments.write_text('[{"start": "0", "end": "1", "voiceover": "hi"}]', encoding="utf-8")
    return real, log, {
        "download": lambda: real["_download_video"]("https://youtu.be/x", str(tmp_path / "movie.mp4")),
        "tts": lambda: real["_generate_tts"]("hi", str(tmp_path / "v.mp3"), "Brian"),
        "recap": lambda: real["run_recap"]("https://youtu.be/x", str(segments), 2.0, "Brian", str(tmp_path)),
    }


def test_loading_in_a_fresh_interpreter():
    script = """
        import gc, importlib, importlib.util, json, sys, urllib.parse, vantor
        out = []
        def attempt():
            try:
                importlib.import_module("vantor.vantor")
            except ImportError as error:  # nothing may be left behind
                out.append([type(error).__name__, "vantor.vantor" in sys.modules, hasattr(vantor, "vantor")])
        sys.modules["requests"], quote = None, urllib.parse.quote
        attempt()
        del sys.modules["requests"], urllib.parse.quote
        attempt()
        urllib.parse.quote = quote
        import vantor.vantor as m
        out += [list(vars(m)), [m.quote is urllib.parse.quote] + [getattr(m, n) is sys.modules[n] for n in
                                                                ("json", "subprocess", "requests", "base64", "re", "time", "os")]]
        m.quote, kind = "marker", type(m.run_recap)  # a second initialisation would rebind quote
        def reimport():
            del sys.modules["vantor.vantor"]
            return importlib.import_module("vantor.vantor") is m
        before = sys.getrefcount(kind)
        out.append([reimport() for _ in range(5)])
        gc.collect()
        out.append([sys.getrefcount(kind) - before, m.quote, m._build_atempo_chain(3)])
        if importlib.util.find_spec("_interpreters"):
            import _interpreters
            for config in ("isolated", "legacy"):
                sub = _interpreters.create(config)
                failure = _interpreters.run_string(sub, "import vantor.vantor")
                _interpreters.destroy(sub)
                out.append(failure and failure.type.__name__)
        print(json.dumps(out))
    """
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], cwd=ROOT, capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    no_requests, no_quote, names, identities, same, after, *other_interpreters = json.loads(done.stdout)
    assert no_requests == ["ModuleNotFoundError", False, False] and no_quote == ["ImportError", False, False]
    assert names[-12:] == [*FACILITIES, *OPS] and all(n.startswith("__") for n in names[:-12])
    assert all(identities) and same == [True] * 5 and after == [0, "marker", "atempo=2.0,atempo=1.5000"]
    assert other_interpreters == (["ImportError"] * 2 if importlib.util.find_spec("_interpreters") else [])


@pytest.mark.parametrize("name", OPS)
def test_function_attributes(engine, name):
    fn, signature = getattr(engine, name), inspect.signature(getattr(engine, name))
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (name, name, "vantor.vantor")
    assert (fn.__doc__, str(signature), fn.__defaults__) == EXPECTED[name]
    assert repr(fn).startswith(f"<function {name} at 0x") and repr(fn).endswith(">")
    assert {p.kind for p in signature.parameters.values()} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    expected = {p.name: p.annotation for p in signature.parameters.values()} | {"return": signature.return_annotation}
    assert list(fn.__annotations__.items()) == list(expected.items())
    assert {type(v) for v in fn.__annotations__.values()} == {str}


def test_functions_are_weakly_referenceable_and_outlive_the_collectors_clear():
    script = """
        import ctypes, gc, inspect, json, weakref, vantor.vantor as m
        get_slot = ctypes.pythonapi.PyType_GetSlot
        get_slot.restype, get_slot.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_int]
        out, freed, refs = [], [], []
        for name in ("_build_atempo_chain", "run_recap"):
            fn = getattr(m, name)
            refs.append(weakref.ref(fn, lambda r, name=name: freed.append(name)))
            out.append([refs[-1]() is fn, fn in weakref.WeakSet([fn])])
        # The collector's clear, run by hand on a live function: it must still show, bind and run.
        fn = m._build_atempo_chain
        clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(type(fn), 51))  # Py_tp_clear
        out.append([clear(fn), repr(fn).split(" at 0x")[0], fn.__name__, fn.__qualname__, fn(speed=3),
                    str(inspect.signature(fn))])
        # A cycle through __annotations__ is collected, and weak references see the function go.
        m.run_recap.__annotations__["self"] = m.run_recap
        del m.run_recap, m._build_atempo_chain, fn
        gc.collect()
        out.append([sorted(freed), [ref() for ref in refs]])
        print(json.dumps(out))
    """
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], cwd=ROOT, capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == [
        [True, True], [True, True],
        [0, "<function _build_atempo_chain", "_build_atempo_chain", "_build_atempo_chain", "atempo=2.0,atempo=1.5000",
         "(speed) -> 'str'"],
        [["_build_atempo_chain", "run_recap"], [None, None]]]


@pytest.mark.parametrize("op, args, kwargs, message", BINDING)
def test_binding_messages(engine, op, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(engine, op)(*args, **kwargs)
    assert str(info.value) == message
    notes = getattr(info.value, "__notes__", [])
    if "got Named" in message:  # a str subclass is refused with a note saying why
        assert len(notes) == 1 and "subclass" in notes[0].lower()
    else:
        assert notes == []


@pytest.mark.parametrize("op", OPS)
def test_keywords_must_be_strings(engine, op):
    fn = getattr(engine, op)
    with pytest.raises(TypeError, match="keywords must be strings"):
        fn(**{1: 2})
    stack = (ctypes.py_object * 1)("x")  # straight through vectorcall, where nothing in front checks names
    with pytest.raises(TypeError, match=rf"^{op}\(\) keywords must be strings$"):
        VECTORCALL(fn, ctypes.cast(stack, ctypes.c_void_p), 0, (1,))


@pytest.mark.parametrize("value", ["2", None, b"1", 1j, 10**400, BadFloat()])
def test_float_conversion_is_the_hosts_and_comes_first(engine, value):
    with pytest.raises(Exception) as host:
        math.copysign(value, 1.0)  # the host's own float conversion
    for call in (lambda: engine._build_atempo_chain(value), lambda: engine.run_recap(None, None, value, None)):
        with pytest.raises(Exception) as info:
            call()
        assert (info.type, str(info.value)) == (host.type, str(host.value))


@pytest.mark.parametrize("speed, expected", [
    (1.0, "atempo=1.0"), (1.5, "atempo=1.5"), (2.0, "atempo=2.0"), (0.5, "atempo=0.5"), (0.25, "atempo=0.25"),
    (0.0, "atempo=0.0"), (-1.0, "atempo=-1.0"), (-0.0, "atempo=-0.0"), (1e-05, "atempo=1e-05"),
    (2.5e-07, "atempo=2.5e-07"), (0.0001, "atempo=0.0001"), (-1e16, "atempo=-1e+16"), (-math.inf, "atempo=-inf"),
    (math.nan, "atempo=nan"), (2.5, "atempo=2.0,atempo=1.2500"), (3.0, "atempo=2.0,atempo=1.5000"),
    (3.3, "atempo=2.0,atempo=1.6500"), (4.0, "atempo=2.0,atempo=2.0000"),
    (5.0, "atempo=2.0,atempo=2.0,atempo=1.2500"), (8.0, "atempo=2.0,atempo=2.0,atempo=2.0000"),
    (10.0, "atempo=2.0,atempo=2.0,atempo=2.0,atempo=1.2500"), (100.0, "atempo=2.0," * 6 + "atempo=1.5625"),
    (2.0000001, "atempo=2.0,atempo=1.0000"), (1e16, "atempo=2.0," * 53 + "atempo=1.1102"),
    (3, "atempo=2.0,atempo=1.5000"), (True, "atempo=1.0"), (Index(4), "atempo=2.0,atempo=2.0000"),
    (Floaty(2.5), "atempo=2.0,atempo=1.2500"),
])
def test_atempo_chain(engine, speed, expected):
    assert engine._build_atempo_chain(speed) == expected == engine._build_atempo_chain(speed=speed)


def test_infinite_speed_is_refused(engine):
    with pytest.raises(ValueError, match="finite|infinite"):
        engine._build_atempo_chain(math.inf)


@pytest.mark.parametrize("name, driver, first_use", [
    ("quote", "download", "()"), ("requests", "download", "get"), ("time", "download", "sleep"),
    ("subprocess", "download", "run"), ("re", "tts", "sub"), ("base64", "tts", "b64decode"),
    ("os", "recap", "path"), ("json", "recap", "load"), ("_download_video", "recap", "()"),
    ("_generate_tts", "recap", "()"), ("_build_atempo_chain", "recap", "()")])
def test_each_use_looks_the_name_up(engine, tmp_path, name, driver, first_use):
    _, _, drivers = fake_world(engine, tmp_path)
    drivers[driver]()  # the fakes alone carry the call through
    for _ in range(2):  # a second rebinding is honoured as well: nothing is cached
        trap = Trap()
        setattr(engine, name, trap)
        with pytest.raises(Sentinel):
            drivers[driver]()
        assert trap.uses == [first_use]
    delattr(engine, name)
    with pytest.raises(NameError, match=f"^name '{name}' is not defined$"):
        drivers[driver]()


class ClosingFails:
    """A file as open() returns it, whose close() fails."""

    def __init__(self, *args, **kwargs):
        self.written = []

    def write(self, data):
        self.written.append(data)

    def close(self):
        raise OSError("close failed")


@pytest.mark.parametrize("decoding_fails", [True, False])
def test_a_failed_close_is_raised_with_the_pending_error_as_its_context(engine, tmp_path, decoding_fails):
    real, _, _ = fake_world(engine, tmp_path)
    engine.open = ClosingFails

    def b64decode(text):
        if decoding_fails:
            raise Sentinel("decode")
        return b"ID3"

    engine.base64 = SimpleNamespace(b64decode=b64decode)
    with pytest.raises(OSError, match="^close failed$") as info:  # as `with open(...)` would leave
        real["_generate_tts"]("hi", str(tmp_path / "v.mp3"), "Brian")
    context = info.value.__context__
    assert (type(context), str(context)) == ((Sentinel, "decode") if decoding_fails else (type(None), "None"))
    assert sys.exc_info() == (None, None, None)  # the error being handled is put back

@pytest.mark.parametrize("speed, seen", [(2, 2.0), (Index(3), 3.0), (Floaty(1.5), 1.5), (True, 1.0)])
def test_calls_by_keyword_and_converted_speed(engine, tmp_path, monkeypatch, speed, seen):
    real, log, _ = fake_world(engine, tmp_path)
    monkeypatch.chdir(tmp_path)
    assert real["run_recap"]("u", "s.json", speed, "Brian") == "./FINAL_RECAP.mp4"
    assert ("download", "u", "./movie.mp4") in log and ("tts", "hi", "./voice_0.mp3", "Brian") in log
    assert [(e, type(e[1])) for e in log if e[0] == "chain"] == [(("chain", seen), float)]
    assert real["run_recap"](tts_voice="Brian", output_dir="", speed_factor=speed, segments_file="s.json",
                             youtube_url="u") == "FINAL_RECAP.mp4"
    assert real["_generate_tts"](voice="Brian", output_file="v.mp3", text="hi") is None
    assert (tmp_path / "v.mp3").read_bytes() == b"ID3" and log[-1] == ("post", {"text": "hi", "voice": "Brian"})
    assert real["_download_video"](output_file="m.mp4", url="u") is None
    wget = log[-1][1]
    assert wget[0] == "wget" and wget[-1] == "http://127.0.0.1:9/f.mp4" and "m.mp4" in wget


def test_calls_do_not_leak(engine, tmp_path, monkeypatch):
    real, log, drivers = fake_world(engine, tmp_path)
    monkeypatch.setattr(sys, "stdout", SimpleNamespace(write=len, flush=lambda: None))
    url, voice, idx = "".join(["https://", "youtu.be/x"]), Named("Brian"), Index(5)
    calls = [functools.partial(real[op], *args, **kwargs) for op, args, kwargs, _ in BINDING] + [
        lambda: real["_build_atempo_chain"](idx), lambda: real["_build_atempo_chain"](math.inf),
        lambda: real["_generate_tts"](url, "o", voice), lambda: real["run_recap"](url, url, idx, None),
        lambda: real["run_recap"](url, url, url, url), lambda: real["_download_video"]("boom", url), *drivers.values()]

    def repeat(call, times):
        for _ in range(times):
            try:
                call()
            except (TypeError, ValueError, Sentinel):
                pass
            log.clear()
        gc.collect()
        return sys.getallocatedblocks()

    def blocks_kept(call):  # by 300 calls, at the quietest of three tries once caches have filled
        repeat(call, 300)
        return min(-sys.getallocatedblocks() + repeat(call, 300) for _ in range(3))

    kept = [blocks_kept(call) for call in calls]
    assert max(kept) < 100, kept
    refcounts, objects = [sys.getrefcount(a) for a in (url, voice, idx)], len(gc.get_objects())
    for call in calls:
        repeat(call, 100)
    assert abs(len(gc.get_objects()) - objects) < 50
    assert [sys.getrefcount(a) for a in (url, voice, idx)] == refcounts
