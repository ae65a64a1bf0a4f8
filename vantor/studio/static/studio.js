// vantor studio: the page. Plain script, no build step. Every address is
// relative to the page's own, which carries the session's token.
"use strict";

const $ = (id) => document.getElementById(id);
const DRAFT_KEY = "vantor-studio-draft";
const RUN_KEY = "vantor-studio-run";
const FIT_DELAY_MS = 400;
const UNDO_LIMIT = 200;

const state = {
  url: "",             // the loaded (or loading) video address
  ranges: [],          // {id, start, end, voiceover, voice}: times as the engine reads them
  selected: -1,
  duration: 0,
  frameRate: 25,
  voice: "en-US-GuyNeural",
  speed: 1,
  captions: "off",     // off, burn or track
  captionStyle: "clean", // clean, bold, boxed, karaoke or pop
  captionPosition: "bottom", captionSize: "medium",  // see caption_look.js
  frame: "smart",      // smart, center, blur or fit
  aspect: "9:16",      // the recap's shape: 9:16, 4:5, 1:1 or 16:9
  sourceAudio: "duck", // duck, mix or off
  fit: "extend",       // extend, range or narration
  voices: [],
  undo: [],
  run: null,           // the recap being made: its id
};
// How long things took in this page (the studio's measurements read them).
window.studioTimings = {};
let nextRangeId = 1;

// ---- times -----------------------------------------------------------
// Seconds for the forms the engine accepts: 90, 1.5, MM:SS[.f], HH:MM:SS[.f].
function parseTime(text) {
  const t = String(text).trim();
  let m = /^(\d+)(?:\.(\d*))?$/.exec(t);
  if (m) return Number(m[1]) + Number("0." + (m[2] || "0"));
  m = /^(?:(\d{1,4}):)?(\d{1,2}):(\d{1,2})(?:\.(\d*))?$/.exec(t);
  if (!m || Number(m[2]) > 59 || Number(m[3]) > 59) return null;
  return Number(m[1] || 0) * 3600 + Number(m[2]) * 60 + Number(m[3]) + Number("0." + (m[4] || "0"));
}

function formatTime(seconds) {
  const ms = Math.max(0, Math.round(seconds * 1000));
  const pad = (n, w) => String(n).padStart(w, "0");
  return `${pad(Math.floor(ms / 3600000), 2)}:${pad(Math.floor(ms / 60000) % 60, 2)}:` +
         `${pad(Math.floor(ms / 1000) % 60, 2)}.${pad(ms % 1000, 3)}`;
}

// ---- requests --------------------------------------------------------
async function post(path, body) {
  const answer = await fetch(path, {
    method: "POST", headers: { "content-type": "application/json" }, body: JSON.stringify(body),
  });
  if (!answer.ok) {
    let message = `${answer.status}`;
    try { const data = await answer.json(); message = data.error || message; } catch (e) { /* not JSON */ }
    throw new Error(message);
  }
  return answer;
}

// Follows an activity's events until its end; `handlers[type](event)`.
function follow(id, handlers) {
  const source = new EventSource(`api/events/${id}`);
  source.onmessage = (message) => {
    const event = JSON.parse(message.data);
    if (["ready", "done", "failed", "cancelled"].includes(event.type)) source.close();
    (handlers[event.type] || (() => {}))(event);
  };
  return source;
}

function say(id, text, isError = false) {
  const element = $(id);
  element.textContent = text;
  element.classList.toggle("error", isError);
}

// ---- draft, undo -----------------------------------------------------
function plainRanges() {
  return state.ranges.map(({ start, end, voiceover, voice, frame }) => ({ start, end, voiceover, voice, frame }));
}

function saveDraft() {
  try {
    localStorage.setItem(DRAFT_KEY, JSON.stringify({
      url: $("url").value, ranges: plainRanges(), voice: state.voice, speed: state.speed, captions: state.captions,
      captionStyle: state.captionStyle, aspect: state.aspect,
    }));
  } catch (e) { /* storage full or refused: the draft is a convenience */ }
}

function checkpoint() {
  const snapshot = JSON.stringify(plainRanges());
  if (state.undo[state.undo.length - 1] !== snapshot) {
    state.undo.push(snapshot);
    if (state.undo.length > UNDO_LIMIT) state.undo.shift();
  }
}

function undo() {
  const now = JSON.stringify(plainRanges());
  while (state.undo.length) {
    const snapshot = state.undo.pop();
    if (snapshot !== now) {
      setRanges(JSON.parse(snapshot));
      return;
    }
  }
  say("save-status", "Nothing to undo.");
}

function setRanges(ranges) {
  state.ranges = ranges.map((r) => ({
    id: nextRangeId++, start: String(r.start ?? ""), end: String(r.end ?? ""),
    voiceover: String(r.voiceover ?? ""), voice: state.voice,  // one voice for every range
    frame: OWN_FRAMES.includes(r.frame) ? r.frame : "auto",
  }));
  state.selected = Math.min(state.selected, state.ranges.length - 1);
  renderRanges();
  changed();
}

function changed() {
  saveDraft();
  renderTimeline();
  askFraming();
}

// ---- the ranges list -------------------------------------------------
const fitTimers = new Map();   // range id -> pending timer
const fitAsked = new Map();    // range id -> number of the latest question

function renderRanges() {
  const list = $("ranges");
  list.replaceChildren();
  state.ranges.forEach((range, index) => list.append(rangeItem(range, index)));
  $("no-ranges").hidden = state.ranges.length > 0;
  state.ranges.forEach((range) => askFit(range, 0));
}

function rangeItem(range, index) {
  const item = $("range-template").content.firstElementChild.cloneNode(true);
  const field = (name) => item.querySelector(`.${name}`);
  item.dataset.id = range.id;
  item.classList.toggle("selected", index === state.selected);
  field("number").textContent = index + 1;
  field("start").value = range.start;
  field("end").value = range.end;
  field("text").value = range.voiceover;
  for (const [name, member] of [["start", "start"], ["end", "end"], ["text", "voiceover"]]) {
    field(name).addEventListener("input", (e) => {
      range[member] = e.target.value;
      if (member !== "voiceover") showTimes(range);
      askFit(range);
      changed();
    });
  }
  item.addEventListener("focusin", () => { checkpoint(); select(state.ranges.indexOf(range), false); });
  field("up").addEventListener("click", () => move(range, -1));
  field("down").addEventListener("click", () => move(range, 1));
  field("delete").addEventListener("click", () => remove(range));
  field("speak").addEventListener("click", () => speak(range, item));
  field("up").disabled = index === 0;
  field("down").disabled = index === state.ranges.length - 1;
  queueMicrotask(() => showTimes(range));
  framingRow(range, item);
  return item;
}

function itemOf(range) {
  return $("ranges").querySelector(`[data-id="${range.id}"]`);
}

function showTimes(range) {
  const item = itemOf(range);
  if (!item) return;
  const start = parseTime(range.start), end = parseTime(range.end);
  item.querySelector(".start").setAttribute("aria-invalid", String(start === null));
  item.querySelector(".end").setAttribute("aria-invalid", String(end === null || (start !== null && end <= start)));
  item.querySelector(".length").textContent =
    start !== null && end !== null && end > start ? `${(end - start).toFixed(2)} s` : "";
}

function select(index, scroll = true) {
  state.selected = index;
  document.querySelectorAll("#ranges .range").forEach((item, i) => item.classList.toggle("selected", i === index));
  if (scroll && index >= 0) $("ranges").children[index]?.scrollIntoView({ block: "nearest" });
  // Marked in place: drawing the timeline anew would drop a grip being dragged.
  timeline.querySelectorAll(".segment").forEach((box) => box.classList.toggle("selected", Number(box.dataset.index) === index));
}

function move(range, step) {
  checkpoint();
  const from = state.ranges.indexOf(range), to = from + step;
  if (to < 0 || to >= state.ranges.length) return;
  state.ranges.splice(from, 1);
  state.ranges.splice(to, 0, range);
  state.selected = to;
  renderRanges();
  changed();
  itemOf(range)?.querySelector(step < 0 ? ".up" : ".down")?.focus();
}

function remove(range) {
  checkpoint();
  state.ranges.splice(state.ranges.indexOf(range), 1);
  state.selected = -1;
  renderRanges();
  changed();
  say("save-status", "Range deleted; Ctrl+Z or Undo brings it back.");
}

// ---- narrations: fit and speak ---------------------------------------
// How a suggested range's narration is marked until it is rewritten (the
// segments check refuses it too).
const DRAFT_MARKER = "REWRITE:";
const isDraft = (text) => text.trimStart().slice(0, DRAFT_MARKER.length).toUpperCase() === DRAFT_MARKER;

function askFit(range, delay = FIT_DELAY_MS) {
  clearTimeout(fitTimers.get(range.id));
  fitTimers.set(range.id, setTimeout(() => fit(range), delay));
  window.studioTimings.fitTyped = performance.now();
}

async function fit(range) {
  const item = itemOf(range);
  if (!item) return;
  const box = item.querySelector(".fit");
  const words = item.querySelector(".fit-words");
  const start = parseTime(range.start), end = parseTime(range.end);
  item.querySelector(".draft-badge").hidden = !isDraft(range.voiceover);
  if (isDraft(range.voiceover)) {  // the film's own words, which a recap would say over the film saying them
    box.dataset.verdict = "draft";
    showClip(item, {});
    words.textContent = `draft: write your own narration in place of "${DRAFT_MARKER} …"; a recap refuses it as it is`;
    return;
  }
  if (!range.voiceover.trim() || start === null || end === null || end <= start) {
    box.dataset.verdict = "";
    showClip(item, {});
    words.textContent = range.voiceover.trim() ? "Give the range a start and an end to see the fit."
                                               : "Write a narration to see its fit.";
    return;
  }
  const asked = (fitAsked.get(range.id) || 0) + 1;
  fitAsked.set(range.id, asked);
  words.textContent = "Measuring the narration…";
  try {
    const answer = await (await post("api/fit", {
      text: range.voiceover, voice: state.voice, start: range.start, end: range.end, fit: state.fit,
    })).json();
    if (fitAsked.get(range.id) !== asked) return;  // a newer question is on its way
    box.dataset.verdict = answer.verdict;
    showClip(item, answer);
    item.querySelector(".bar").style.width =
      `${Math.min(100, 50 * answer.narration_seconds / answer.range_seconds)}%`;
    words.textContent = answer.words;
    window.studioTimings.fitShown = performance.now();
  } catch (error) {
    if (fitAsked.get(range.id) !== asked) return;
    box.dataset.verdict = "";
    showClip(item, {});
    words.textContent = `No fit: ${error.message}`;
  }
}

let speaking = null;  // the narration playing now: a new Speak stops it

async function speak(range, item) {
  const button = item.querySelector(".speak");
  button.disabled = true;
  try {
    const blob = await (await post("api/speak", { text: range.voiceover, voice: state.voice })).blob();
    drawWave(item.querySelector(".wave"), blob);
    speaking?.pause();
    const audio = speaking = new Audio(URL.createObjectURL(blob));
    audio.addEventListener("ended", () => URL.revokeObjectURL(audio.src));
    await audio.play();
  } catch (error) {
    say("save-status", `Speak: ${error.message}`, true);
  } finally {
    button.disabled = false;
  }
}

// ---- the player and the marks ----------------------------------------
const player = $("player");

let loads = 0;  // a newer load's events win over an older one's
// The service's file address lapses 10 minutes after its last use: a player
// that fails to read after a while asks for the video again (a cache hit,
// a new address) and goes on where it was.
let loadedAt = 0;
let resumeAt = null;
player.addEventListener("error", () => {
  if (!state.url || resumeAt !== null || performance.now() - loadedAt < 60000) return;
  resumeAt = player.currentTime;
  load(state.url);
});

function load(url) {
  url = url.trim();
  if (!url) return;
  const mine = ++loads;
  state.url = url;
  $("url").value = url;
  saveDraft();
  const started = performance.now();
  window.studioTimings.loadAsked = started;
  $("load-progress").hidden = false;
  $("load-progress").value = 0;
  say("load-status", "Asking the download service…");
  post("api/load", { url }).then((answer) => answer.json()).then(({ id }) => follow(id, {
    progress(event) {
      if (mine !== loads) return;
      $("load-progress").value = event.per_mille;
      const figures = event.figures || "";
      // The service's rewrite of a non-MP4 download says so, with its own percentage.
      say("load-status", figures.startsWith("converting ") ? figures[0].toUpperCase() + figures.slice(1)
        : `Downloading: ${Math.floor(event.per_mille / 10)}% ${figures}`);
    },
    ready(event) {
      if (mine !== loads) return;
      $("load-progress").hidden = true;
      // The studio's own copy of the film, behind the page's session.
      state.frameRate = event.frame_rate || 25;
      player.src = event.video;
      framingFor(id);
      // The film's thumbnails under the player, made by the studio from the loaded file.
      $("timeline").style.backgroundImage = event.thumbnails ? `url("${event.thumbnails}")` : "";
      player.focus();  // the page's keys (I, O, Space) work at once, not typed into the address
      loadedAt = performance.now();
      if (resumeAt !== null) {
        const at = resumeAt;
        resumeAt = null;
        player.addEventListener("loadedmetadata", () => { player.currentTime = at; }, { once: true });
      } else {
        player.addEventListener("playing", () => {
          window.studioTimings.firstFrame = performance.now() - started;
        }, { once: true });
        player.play().catch(() => { /* the user presses play */ });
      }
      say("load-status", `Loaded${event.duration ? ` (${formatTime(event.duration)})` : ""}.`);
    },
    failed(event) {
      if (mine !== loads) return;
      resumeAt = null;
      $("load-progress").hidden = true;
      say("load-status", `Could not load the video: ${event.error}`, true);
    },
  })).catch((error) => {
    $("load-progress").hidden = true;
    say("load-status", `Could not load the video: ${error.message}`, true);
  });
}

function step(seconds) {
  if (!player.duration) return;
  player.pause();
  player.currentTime = Math.min(player.duration, Math.max(0, player.currentTime + seconds));
}

function markIn() {
  const at = formatTime(player.currentTime);
  checkpoint();
  const current = state.ranges[state.selected];
  if (current && !current.end.trim()) {
    current.start = at;  // the range still open takes the new start
  } else {
    state.ranges.push({ id: nextRangeId++, start: at, end: "", voiceover: "", voice: state.voice, frame: "auto" });
    state.selected = state.ranges.length - 1;
  }
  renderRanges();
  changed();
  select(state.selected);
}

function markOut() {
  const current = state.ranges[state.selected];
  if (!current) {
    say("save-status", "Press I first to start a range.", true);
    return;
  }
  const start = parseTime(current.start);
  if (start !== null && player.currentTime <= start) {
    say("save-status", "The end must come after the range's start.", true);
    return;
  }
  checkpoint();
  current.end = formatTime(player.currentTime);
  renderRanges();
  changed();
  select(state.selected);
}

function isTyping(target) {
  return target instanceof HTMLInputElement || target instanceof HTMLTextAreaElement ||
         target instanceof HTMLSelectElement || target?.isContentEditable || target?.getAttribute?.("role") === "slider";
}

window.addEventListener("keydown", (e) => {
  if (e.altKey || e.metaKey || isTyping(e.target)) return;
  if (e.ctrlKey) {
    if (e.key === "z" || e.key === "Z") { e.preventDefault(); undo(); }
    return;
  }
  const onButton = e.target instanceof HTMLButtonElement || e.target instanceof HTMLAnchorElement;
  switch (e.key) {
    case " ":
      if (onButton) return;  // a focused button's own Space
      e.preventDefault();
      if (player.paused) player.play().catch(() => {}); else player.pause();
      break;
    case "i": case "I": e.preventDefault(); markIn(); break;
    case "o": case "O": e.preventDefault(); markOut(); break;
    case "ArrowLeft": e.preventDefault(); step(e.shiftKey ? -1 : -1 / state.frameRate); break;
    case "ArrowRight": e.preventDefault(); step(e.shiftKey ? 1 : 1 / state.frameRate); break;
    default: return;
  }
}, true);

player.addEventListener("timeupdate", showPlayhead);
player.addEventListener("timeupdate", showCaptionPreview);
player.addEventListener("seeked", showCaptionPreview);
player.addEventListener("seeked", showPlayhead);
player.addEventListener("loadedmetadata", () => { state.duration = player.duration; renderTimeline(); });

function showPlayhead() {
  $("clock").textContent = formatTime(player.currentTime);
  if (state.duration) $("playhead").style.left = `${100 * player.currentTime / state.duration}%`;
}

// ---- the timeline ----------------------------------------------------
const timeline = $("timeline");

function timeAt(clientX) {
  const box = timeline.getBoundingClientRect();
  const fraction = Math.min(1, Math.max(0, (clientX - box.left) / box.width));
  return Math.round(fraction * state.duration * state.frameRate) / state.frameRate;
}

function renderTimeline() {
  timeline.querySelectorAll(".segment").forEach((e) => e.remove());
  if (!state.duration) return;
  state.ranges.forEach((range, index) => {
    const start = parseTime(range.start), end = parseTime(range.end);
    if (start === null || end === null || end <= start) return;
    const box = document.createElement("div");
    box.className = "segment" + (index === state.selected ? " selected" : "");
    box.dataset.index = index;
    box.style.left = `${100 * start / state.duration}%`;
    box.style.width = `${100 * (Math.min(end, state.duration) - start) / state.duration}%`;
    const label = document.createElement("span");
    label.className = "label";
    label.textContent = index + 1;
    box.append(label, handle(range, index, "start"), handle(range, index, "end"));
    box.addEventListener("pointerdown", (e) => {
      if (e.target.classList.contains("handle")) return;
      e.stopPropagation();
      select(index);
      player.currentTime = start;
    });
    timeline.append(box);
  });
}

function handle(range, index, member) {
  const grip = document.createElement("div");
  grip.className = `handle ${member}`;
  grip.tabIndex = 0;
  grip.setAttribute("role", "slider");
  grip.setAttribute("aria-label", `Range ${index + 1} ${member}`);
  grip.setAttribute("aria-valuemin", "0");
  grip.setAttribute("aria-valuemax", String(state.duration));
  grip.setAttribute("aria-valuenow", String(parseTime(range[member])));
  grip.setAttribute("aria-valuetext", range[member]);
  const setTo = (seconds) => {
    const other = parseTime(range[member === "start" ? "end" : "start"]);
    const gap = 1 / state.frameRate;
    seconds = member === "start" ? Math.min(seconds, other - gap) : Math.max(seconds, other + gap);
    seconds = Math.min(state.duration, Math.max(0, seconds));
    range[member] = formatTime(seconds);
    const field = itemOf(range)?.querySelector(`.${member}`);
    if (field) field.value = range[member];
    showTimes(range);
    askFit(range);
    player.currentTime = seconds;
    const box = grip.parentElement, start = parseTime(range.start), end = parseTime(range.end);
    box.style.left = `${100 * start / state.duration}%`;
    box.style.width = `${100 * (Math.min(end, state.duration) - start) / state.duration}%`;
  };
  grip.addEventListener("pointerdown", (e) => {
    e.stopPropagation();
    checkpoint();
    select(index);
    grip.setPointerCapture(e.pointerId);
    const moveTo = (m) => setTo(timeAt(m.clientX));
    grip.addEventListener("pointermove", moveTo);
    grip.addEventListener("pointerup", () => {
      grip.removeEventListener("pointermove", moveTo);
      changed();
    }, { once: true });
  });
  grip.addEventListener("keydown", (e) => {
    if (e.key !== "ArrowLeft" && e.key !== "ArrowRight") return;
    e.preventDefault();
    checkpoint();
    const by = (e.shiftKey ? 1 : 1 / state.frameRate) * (e.key === "ArrowLeft" ? -1 : 1);
    setTo(parseTime(range[member]) + by);
    changed();
    timeline.querySelector(`[aria-label="Range ${index + 1} ${member}"]`)?.focus();  // drawn anew
  });
  return grip;
}

timeline.addEventListener("pointerdown", (e) => {
  if (state.duration) player.currentTime = timeAt(e.clientX);
});

// ---- the segments file -----------------------------------------------
function engineSegments() {
  return state.ranges.map(({ start, end, voiceover, frame }) =>
    (frame && frame !== "auto" ? { start, end, voiceover, frame } : { start, end, voiceover }));
}

function refusal(error) {
  return error.message;
}

$("save").addEventListener("click", async () => {
  try {
    const answer = await (await post("api/save", { segments: engineSegments() })).json();
    say("save-status", `Saved ${answer.path}` + (answer.warnings.length ? ` (${answer.warnings.join("; ")})` : "."));
  } catch (error) {
    say("save-status", `Not saved: ${refusal(error)}`, true);
  }
});

$("download").addEventListener("click", () => {
  const blob = new Blob([JSON.stringify(engineSegments(), null, 2) + "\n"], { type: "application/json" });
  const link = document.createElement("a");
  link.href = URL.createObjectURL(blob);
  link.download = "segments.json";
  link.click();
  setTimeout(() => URL.revokeObjectURL(link.href), 1000);
});

function openSegments(text, from) {
  let segments;
  try {
    segments = JSON.parse(text);
    if (!Array.isArray(segments)) throw new Error("not an array of segments");
  } catch (error) {
    say("save-status", `Cannot open ${from}: ${error.message}`, true);
    return;
  }
  checkpoint();
  setRanges(segments.map((s) => ({ ...s, voice: state.voice })));
  say("save-status", `Opened ${from}: ${segments.length} range(s).`);
}

$("open-file").addEventListener("change", async (e) => {
  const file = e.target.files[0];
  if (file) openSegments(await file.text(), file.name);
  e.target.value = "";
});

$("open-project").addEventListener("click", async () => {
  const answer = await fetch("api/segments");
  if (!answer.ok) {
    say("save-status", (await answer.json()).error, true);
    return;
  }
  openSegments(await answer.text(), "the project's segments file");
});

// ---- make ------------------------------------------------------------
// One voice, chosen once, for Speak, the fit meter and Make.
$("voice").addEventListener("change", () => {
  state.voice = $("voice").value;
  for (const range of state.ranges) { range.voice = state.voice; askFit(range, 0); }
  saveDraft();
});

// The narration's waveform, drawn from the audio Speak fetched.
async function drawWave(canvas, blob) {
  if (!canvas || !window.AudioContext) return;
  const context = new AudioContext();
  try {
    const samples = (await context.decodeAudioData(await blob.arrayBuffer())).getChannelData(0);
    const paint = canvas.getContext("2d");
    const { width, height } = canvas;
    paint.clearRect(0, 0, width, height);
    paint.fillStyle = "#2b6cb0";
    const per = Math.max(1, Math.floor(samples.length / width));
    for (let x = 0; x < width; x++) {
      let peak = 0;
      for (let i = x * per; i < (x + 1) * per && i < samples.length; i++) peak = Math.max(peak, Math.abs(samples[i]));
      const h = Math.max(1, peak * height);
      paint.fillRect(x, (height - h) / 2, 1, h);
    }
    canvas.dataset.drawn = "1";
  } catch (error) {
    canvas.dataset.drawn = "";  // audio the browser cannot decode: no waveform
  } finally {
    context.close();
  }
}
$("speed").addEventListener("input", () => { state.speed = Number($("speed").value); saveDraft(); });
$("captions").addEventListener("change", () => { state.captions = $("captions").value; saveDraft(); });
$("frame").addEventListener("change", () => { state.frame = $("frame").value; showFraming(); });
$("aspect").addEventListener("change", () => {
  state.aspect = $("aspect").value;
  saveDraft();
  framing.paths.clear();  // each path is the crop's for one shape
  showFraming();
});
$("source-audio").addEventListener("change", () => { state.sourceAudio = $("source-audio").value; });
$("fit").addEventListener("change", () => { state.fit = $("fit").value; });

$("make").addEventListener("click", async () => {
  $("stages").replaceChildren();
  $("result").hidden = true;
  say("make-status", "Starting…");
  let id;
  try {
    ({ id } = await (await post("api/make", {
      url: state.url || $("url").value, segments: engineSegments(), voice: state.voice, speed: state.speed,
      captions: state.captions, caption_style: state.captionStyle, frame: state.frame, aspect: state.aspect,
      caption_position: state.captionPosition, caption_size: state.captionSize,
      source_audio: state.sourceAudio, fit: state.fit, music: state.music,
      timeline: $("editor-timeline").value || null,
    })).json());
  } catch (error) {
    say("make-status", `Not started: ${error.message}`, true);
    return;
  }
  watchRun(id);
});

let leaving = false;
window.addEventListener("beforeunload", () => { leaving = true; });

// Shows a recap's events from its first; a reload of the tab finds its run
// again (sessionStorage is the tab's own) and replays them.
function watchRun(id) {
  const stages = $("stages");
  stages.replaceChildren();
  state.run = id;
  sessionStorage.setItem(RUN_KEY, id);
  $("make").disabled = true;
  $("cancel").disabled = false;
  const ended = (text, isError, known = true) => {
    state.run = null;
    if (known) sessionStorage.removeItem(RUN_KEY);  // a reload asks again when it is not
    $("make").disabled = false;
    $("cancel").disabled = true;
    say("make-status", text, isError);
  };
  const source = follow(id, {
    stage(event) {
      // A percentage replaces the one before it: "Making the vertical video: 45%".
      const label = event.update ? event.text.replace(/: \d+%$/, "") : "";
      const last = stages.lastElementChild;
      const line = label && last?.dataset.update === label ? last : document.createElement("li");
      line.textContent = event.text;
      line.dataset.update = label;
      stages.append(line);
      stages.scrollTop = stages.scrollHeight;
      say("make-status", "Making the recap…");
    },
    done(event) {
      const timeline = event.timeline ? ` Timeline for an editor: ${event.timeline}` : "";
      ended(`Done: ${event.path} (${formatTime(event.duration)}).${timeline}`);
      showResult(event);
      $("result-download").href = `${event.url}?download=1`;
      $("result").hidden = false;
    },
    failed(event) { ended(`Failed: ${event.error}`, true); },
    cancelled() { ended("Cancelled; nothing was kept."); },
  });
  source.onerror = () => {
    // A page being left closes its stream too (even before "beforeunload"):
    // that is no news about the run, so the tab keeps asking after it.
    if (!leaving && source.readyState === EventSource.CLOSED && state.run === id) {
      ended("The connection to the studio was lost; reload the page to follow the recap.", true, false);
    }
  };
}

// The recap with the captions its run wrote: shown at once when they are a
// track; when they are drawn into the picture the track is there to turn on.
function showResult(event) {
  const video = $("result-video");
  video.querySelectorAll("track").forEach((old) => old.remove());
  video.preload = "auto";
  // Its first frame instead of black until played.
  video.addEventListener("loadeddata", () => { if (video.currentTime === 0) video.currentTime = 0.001; }, { once: true });
  video.src = event.url;
  if (event.captions_url) {
    const track = document.createElement("track");
    Object.assign(track, { kind: "captions", label: "Captions", srclang: "en", src: event.captions_url });
    track.default = event.captions === "track";
    video.append(track);
  }
}

$("cancel").addEventListener("click", async () => {
  if (!state.run) return;
  $("cancel").disabled = true;
  say("make-status", "Cancelling…");
  try {
    await post(`api/cancel/${state.run}`, {});
  } catch (error) {
    say("make-status", `Cancel: ${error.message}`, true);
  }
});

$("undo").addEventListener("click", undo);
$("mark-in").addEventListener("click", markIn);
$("mark-out").addEventListener("click", markOut);
$("load-form").addEventListener("submit", (e) => { e.preventDefault(); load($("url").value); });

// ---- start -----------------------------------------------------------
(async function start() {
  const answer = await (await fetch("api/state")).json();
  state.voices = answer.voices;
  state.voice = answer.voice;
  state.voiceGroups = answer.voice_groups || [{ title: "", voices: answer.voices.map((name) => ({ name, mark: "" })) }];
  $("project").textContent = answer.project;
  showMusic(answer.music || []);
  let draft = null;
  try { draft = JSON.parse(localStorage.getItem(DRAFT_KEY) || "null"); } catch (e) { /* no draft */ }
  if (draft && state.voices.includes(draft.voice)) state.voice = draft.voice;
  if (draft && Number(draft.speed) >= 0.5) state.speed = Number(draft.speed);
  if (["off", "burn", "track"].includes(draft?.captions)) state.captions = draft.captions;
  $("captions").value = state.captions;
  if ([...$("caption-style").options].some((o) => o.value === draft?.captionStyle)) state.captionStyle = draft.captionStyle;
  $("caption-style").value = state.captionStyle;
  showVoices();
  if (["9:16", "4:5", "1:1", "16:9"].includes(draft?.aspect)) state.aspect = draft.aspect;
  $("aspect").value = state.aspect;
  $("speed").value = state.speed;
  setRanges(draft?.ranges || []);
  const first = new URLSearchParams(location.search).get("url") || answer.url || draft?.url || "";
  if (first) load(first);
  const running = sessionStorage.getItem(RUN_KEY);
  if (running) watchRun(running);
})();

// The voices by the engine that speaks them, each with its mark ("the same
// voice as ...", "espeak-ng, not neural").
function showVoices() {
  const select = $("voice");
  select.replaceChildren();
  for (const group of state.voiceGroups) {
    const box = document.createElement("optgroup");
    box.label = group.title;
    for (const { name, mark } of group.voices) {
      const option = new Option(mark ? `${name} (${mark})` : name, name, false, name === state.voice);
      box.append(option);
    }
    select.append(box);
  }
}

// ---- the caption style's preview ---------------------------------------
// The narration of the range under the playhead, three words at a time, in
// the chosen style; its words are spread over the range by their letters (an
// estimate: the recap itself uses the voice's real timings).
function showCaptionPreview() {
  const box = $("caption-preview");
  box.className = `cue ${state.captionStyle}`;
  const at = player.currentTime;
  const range = state.ranges.find((r) => parseTime(r.start) !== null && parseTime(r.end) !== null &&
    parseTime(r.start) <= at && at < parseTime(r.end));
  const words = range ? range.voiceover.split(/\s+/).filter(Boolean) : [];
  box.hidden = state.captions === "off" || words.length === 0;
  if (box.hidden) return;
  const start = parseTime(range.start), end = parseTime(range.end);
  const letters = words.map((w) => w.length + 1);
  const total = letters.reduce((a, b) => a + b, 0);
  let spoken = 0, reached = (at - start) / (end - start) * total;
  while (spoken < words.length - 1 && reached >= letters[spoken]) reached -= letters[spoken++];
  const first = spoken - (spoken % 3);
  const line = document.createElement("span");
  words.slice(first, first + 3).forEach((word, i) => {
    const item = document.createElement("span");
    item.textContent = (i ? " " : "") + word;
    if (first + i === spoken) item.className = "lit";
    line.append(item);
  });
  box.replaceChildren(line);
}

$("caption-style").addEventListener("change", () => {
  state.captionStyle = $("caption-style").value;
  saveDraft();
  showCaptionPreview();
});

// ---- the framing: the recap's window over the player, each range's own, its still ----
// The studio asks for each range's smart camera path (in the video's own
// time) once its times are known, and draws where the recap's picture (of
// the chosen shape) falls.
const OWN_FRAMES = ["auto", "left", "centre", "right", "blur"];
const FIXED_CENTRES = { left: 0, centre: 0.5, right: 1 };
const RECAP_SIZES = { "9:16": [1080, 1920], "4:5": [1080, 1350], "1:1": [1080, 1080], "16:9": [1920, 1080] };
const FRAMING_DELAY_MS = 600;
const framing = { video: null, paths: new Map(), timer: null };  // paths: "start|end" -> the range's path

function framingFor(video) {
  framing.video = video;
  framing.paths.clear();
  askFraming(0);
}

function askFraming(delay = FRAMING_DELAY_MS) {
  clearTimeout(framing.timer);
  framing.timer = setTimeout(fetchFraming, delay);
}

function timesOf(range) {
  const start = parseTime(range.start), end = parseTime(range.end);
  return start !== null && end !== null && end > start ? [start, end] : null;
}

const pathKey = (range) => String(timesOf(range));

async function fetchFraming() {
  const video = framing.video, aspect = state.aspect;
  if (!video) return;
  const wanted = state.ranges.filter((r) => timesOf(r) && !framing.paths.has(pathKey(r)));
  if (wanted.length && state.frame === "smart") {
    try {
      const answer = await (await post(`api/framing/${video}`, {
        segments: wanted.map(({ start, end }) => ({ start, end })), aspect: state.aspect,
      })).json();
      if (video !== framing.video || aspect !== state.aspect) return;
      answer.ranges.forEach((path, i) => framing.paths.set(pathKey(wanted[i]), path));
    } catch (error) {
      say("save-status", `Framing: ${error.message}`, true);
    }
  }
  showFraming();
}

function showFraming() {
  drawFrameWindow();
  state.ranges.forEach(showStill);
  if (state.frame === "smart" && state.ranges.some((r) => timesOf(r) && !framing.paths.has(pathKey(r)))) askFraming();
}

// The crop's centre on the path at time t: linear between keys, a step at a cut.
function pathAt(keys, t) {
  if (!keys.length) return 0.5;
  let value = keys[0][1];
  for (let i = 1; i < keys.length; i++) {
    const [t0, x0] = keys[i - 1], [t1, x1] = keys[i];
    if (t1 - t0 < 1e-6) value += t >= t1 ? x1 - x0 : 0;
    else value += (x1 - x0) * Math.min(1, Math.max(0, (t - t0) / (t1 - t0)));
  }
  return value;
}

// How the recap frames time t of `range` (none: outside every range).
function framingAt(range, t) {
  const own = range?.frame || "auto";
  if (own in FIXED_CENTRES) return { layout: "crop", centre: FIXED_CENTRES[own] };
  if (own === "blur") return { layout: "blur", centre: 0.5 };
  if (state.frame === "blur" || state.frame === "fit") return { layout: state.frame, centre: 0.5 };
  const path = range && state.frame === "smart" ? framing.paths.get(pathKey(range)) : null;
  if (!path) return { layout: "crop", centre: 0.5 };
  if (path.whole.some(([a, b]) => a <= t && t < b)) return { layout: "blur", centre: 0.5 };
  return { layout: "crop", centre: pathAt(path.keys, t) };
}

function drawFrameWindow() {
  const box = $("frame-window");
  const w = player.videoWidth, h = player.videoHeight;
  box.hidden = !w || !h;
  if (box.hidden) return;
  const t = player.currentTime;
  const range = state.ranges.find((r) => timesOf(r) && timesOf(r)[0] <= t && t < timesOf(r)[1]);
  const at = framingAt(range, t);
  // The picture inside the player's box (letterboxed), then the window inside the picture.
  const shown = Math.min(player.clientWidth / w, player.clientHeight / h);
  const offsetX = (player.clientWidth - w * shown) / 2, offsetY = (player.clientHeight - h * shown) / 2;
  let x = 0, y = 0, width = w, height = h;
  if (at.layout === "crop") {
    const [W, H] = RECAP_SIZES[state.aspect], scale = Math.max(W / w, H / h), scaled = w * scale;
    width = W / scale;
    height = H / scale;
    x = Math.min(Math.max(at.centre * scaled - W / 2, 0), scaled - W) / scale;
    y = (h - height) / 2;
  }
  Object.assign(box.style, { left: `${offsetX + x * shown}px`, top: `${offsetY + y * shown}px`,
                             width: `${width * shown}px`, height: `${height * shown}px` });
  box.dataset.layout = at.layout;
}

function followFrameWindow() {
  drawFrameWindow();
  if (!player.paused) requestAnimationFrame(followFrameWindow);
}
player.addEventListener("play", () => requestAnimationFrame(followFrameWindow));
for (const name of ["seeked", "timeupdate", "loadedmetadata"]) player.addEventListener(name, drawFrameWindow);
window.addEventListener("resize", drawFrameWindow);

function showStill(range) {
  const image = itemOf(range)?.querySelector(".still");
  const times = timesOf(range);
  if (!image) return;
  image.hidden = !framing.video || !times;
  if (image.hidden) return;
  const at = framingAt(range, times[0]);
  const query = new URLSearchParams({ at: times[0].toFixed(3), layout: at.layout, centre: at.centre.toFixed(4),
                                      aspect: state.aspect });
  const src = `api/still/${framing.video}?${query}`;
  const path = framing.paths.get(pathKey(range));
  image.title = path && !path.found && (range.frame || "auto") === "auto" && state.frame === "smart"
    ? "No subject found in this range: the recap frames it at the centre." : "";
  if (image.getAttribute("src") !== src) image.src = src;
}

function framingRow(range, item) {
  const choice = item.querySelector(".own-frame");
  choice.value = range.frame || "auto";
  choice.addEventListener("change", () => {
    checkpoint();
    range.frame = choice.value;
    saveDraft();
    showFraming();
  });
  queueMicrotask(() => showStill(range));
}

// ---- music and what the chosen fit makes of each range -----------------
// The music beds are the files of the folder the studio was started with,
// offered and sent by name only (the server takes no path from the page).
state.music = "";

function showMusic(names) {
  const select = $("music");
  for (const name of names) select.add(new Option(name, name));
  select.disabled = names.length === 0;
}

$("music").addEventListener("change", () => { state.music = $("music").value; });

// One line per range for the chosen fit: the clip's length, and where it
// runs past the range, the words lost or how much shorter it is.
function showClip(item, answer) {
  const line = item.querySelector(".fit-clip");
  line.textContent = answer.clip_words || "";
  line.dataset.fit = answer.fit || "";
}

$("fit").addEventListener("change", () => { for (const range of state.ranges) askFit(range, 0); });
