// vantor studio: the transcript panel. Loaded after studio.js, whose names
// (state, player, $, post, follow, formatTime, checkpoint, renderRanges,
// changed, select, nextRangeId) it uses. Every word the site sent is shown as
// text, never as markup.
"use strict";

// A range made from words starts a little before the first and ends a little
// after the last, so no syllable is clipped.
const WORD_LEAD_S = 0.3;
const WORD_TAIL_S = 0.7;

const transcript = {
  url: "",          // the address whose words are shown (or asked for)
  id: null,         // the activity that found them: suggestions are asked of it
  words: [],        // {start, end, text}, in time order
  elements: [],     // the word's <span>, by index
  current: -1,      // the word under the playhead
  sentences: [],    // {start, end, first_word, word_count}
  sentenceOf: [],   // word index -> its sentence's index
  hits: [],         // index of each hit's first word
  hitLength: 0,
  hit: -1,          // the hit shown
  anchor: null,     // the word a drag started on
  asked: 0,         // a newer request's answers win over an older one's
};

function transcriptSay(text, isError = false) {
  say("transcript-status", text, isError);
}

function videoLength() {
  return Number.isFinite(player.duration) && player.duration > 0 ? player.duration : 0;
}

// Seconds bounded by the video: 0 .. its length (when known).
function withinVideo(seconds) {
  const length = videoLength();
  return Math.max(0, length ? Math.min(length, seconds) : seconds);
}

// Added as the page's own marks add a range: undoable, selected, drawn.
// Words past the film's end (captions longer than the film) make none.
function addTranscriptRange(start, end, voiceover) {
  if (!(end > start)) {
    say("save-status", "Those words are past the end of the video; no range was made.", true);
    return false;
  }
  checkpoint();
  state.ranges.push({
    id: nextRangeId++, start: formatTime(start), end: formatTime(end), voiceover, voice: state.voice,
  });
  state.selected = state.ranges.length - 1;
  renderRanges();
  changed();
  select(state.selected);
  return true;
}

// ---- asking for the words --------------------------------------------
function askTranscript(url) {
  const mine = ++transcript.asked;
  transcript.url = url;
  transcript.id = null;
  showWords({ words: [], sentences: [] });
  showSuggestions([]);
  transcriptSay("Looking for the video's words…");
  post("api/transcript", { url }).then((answer) => answer.json()).then(({ id }) => {
    if (mine !== transcript.asked) return;
    transcript.id = id;
    $("transcript-cancel").hidden = false;
    follow(id, {
      progress(event) {
        if (mine !== transcript.asked) return;
        $("transcript-progress").hidden = false;
        $("transcript-progress").value = event.fraction;
        const doing = { captions: "Reading the site's captions", downloading: "Fetching the sound",
                        transcribing: "Transcribing" }[event.stage] || "Working";
        transcriptSay(`${doing}: ${Math.floor(event.fraction * 100)}%`);
      },
      async ready(event) {
        if (mine !== transcript.asked) return;
        ended();
        let data;
        try {
          const answer = await fetch(`api/transcript/${id}`);
          data = await answer.json();
          if (!answer.ok) throw new Error(data.error || answer.status);
        } catch (error) {
          if (mine === transcript.asked) transcriptSay(`No transcript: ${error.message}`, true);
          return;
        }
        if (mine !== transcript.asked) return;
        showWords(data);
        const from = data.source === "captions" ? "the site's captions" : "recognition";
        transcriptSay(`${data.words.length} words, from ${from}.`);
        if (transcript.words.length) askSuggestions();
      },
      failed(event) {
        if (mine !== transcript.asked) return;
        ended();
        // No words is a state of the video, not a fault: said in the panel.
        transcriptSay(event.unavailable ? event.error : `No transcript: ${event.error}`, !event.unavailable);
      },
      cancelled() {
        if (mine !== transcript.asked) return;
        ended();
        transcriptSay("Stopped; load the video again to ask for its words.");
      },
    });
  }).catch((error) => {
    if (mine !== transcript.asked) return;
    ended();
    transcriptSay(`No transcript: ${error.message}`, true);
  });
  function ended() {
    $("transcript-progress").hidden = true;
    $("transcript-cancel").hidden = true;
  }
}

$("transcript-cancel").addEventListener("click", async () => {
  if (!transcript.id) return;
  $("transcript-cancel").hidden = true;
  try {
    await post(`api/cancel/${transcript.id}`, {});
  } catch (error) {
    transcriptSay(`Stop: ${error.message}`, true);
  }
});

// The player's new film (a Load) asks for its words; the same film played
// again (its address renewed) keeps them. Loaded again by hand, a film
// without words (stopped, failed) is asked for anew.
player.addEventListener("loadedmetadata", () => {
  if (state.url && state.url !== transcript.url) askTranscript(state.url);
});
$("load-form").addEventListener("submit", () => {
  if (!transcript.words.length) transcript.url = "";
});

// ---- the words -------------------------------------------------------
function clockText(seconds) {
  return formatTime(seconds).replace(/^00:/, "").replace(/\.\d+$/, "");
}

function showWords(data) {
  const box = $("transcript-words");
  transcript.words = data.words;
  transcript.elements = [];
  transcript.current = -1;
  transcript.sentences = data.sentences;
  transcript.sentenceOf = [];
  const paragraphs = data.sentences.map((sentence, number) => {
    const paragraph = document.createElement("p");
    paragraph.className = "sentence";
    const at = document.createElement("span");
    at.className = "at";
    at.textContent = clockText(sentence.start);
    at.dataset.i = sentence.first_word;
    paragraph.append(at);
    for (let i = sentence.first_word; i < sentence.first_word + sentence.word_count; i++) {
      const word = document.createElement("span");
      word.className = "word";
      word.dataset.i = i;
      word.textContent = data.words[i].text;
      transcript.elements[i] = word;
      transcript.sentenceOf[i] = number;
      paragraph.append(" ", word);
    }
    return paragraph;
  });
  box.replaceChildren(...paragraphs);
  const some = transcript.words.length > 0;
  for (const id of ["transcript-search", "transcript-previous", "transcript-next", "suggest"]) $(id).disabled = !some;
  $("transcript-sentence").disabled = true;
  search();
  followPlayhead();
}

// The last word started by `seconds` (binary search: the words are in time order).
function wordAt(seconds) {
  let low = 0, high = transcript.words.length - 1, found = -1;
  while (low <= high) {
    const middle = (low + high) >> 1;
    if (transcript.words[middle].start <= seconds) { found = middle; low = middle + 1; } else high = middle - 1;
  }
  return found;
}

// The box that scrolls the words: their own on a phone, the right column on a laptop.
function wordsScroller() {
  for (let box = $("transcript-words"); box; box = box.parentElement) {
    if (["auto", "scroll"].includes(getComputedStyle(box).overflowY) && box.scrollHeight > box.clientHeight) return box;
  }
  return null;
}

// Scrolls so `element` is in view, when the words are being looked at (in
// view at all) and no narration is being written.
function keepInView(element) {
  const box = wordsScroller();
  if (!box || document.activeElement?.closest?.("#ranges")) return;
  const outer = box.getBoundingClientRect(), words = $("transcript-words").getBoundingClientRect();
  if (box.id !== "transcript-words" && (words.bottom < outer.top || words.top > outer.bottom)) return;
  const inner = element.getBoundingClientRect();
  if (inner.top < outer.top || inner.bottom > outer.bottom) {
    box.scrollTop += inner.top - outer.top - outer.height / 3;
  }
}

function followPlayhead() {
  const now = wordAt(player.currentTime);
  if (now === transcript.current) return;
  transcript.elements[transcript.current]?.classList.remove("current");
  transcript.elements[transcript.current]?.parentElement.classList.remove("current-sentence");
  transcript.current = now;
  const element = transcript.elements[now];
  $("transcript-sentence").disabled = !element;
  if (!element) return;
  element.classList.add("current");
  element.parentElement.classList.add("current-sentence");
  if (transcript.anchor === null) keepInView(element);  // not while a drag is choosing words
}

player.addEventListener("timeupdate", followPlayhead);
player.addEventListener("seeked", followPlayhead);

// ---- click to seek, drag to make a range -----------------------------
function wordIndex(target) {
  const word = target?.closest?.("#transcript-words .word, #transcript-words .at");
  return word ? Number(word.dataset.i) : null;
}

function markDrag(from, to) {
  const [first, last] = from <= to ? [from, to] : [to, from];
  transcript.elements.forEach((element, i) => element.classList.toggle("dragged", i >= first && i <= last));
}

$("transcript-words").addEventListener("pointerdown", (e) => {
  const index = wordIndex(e.target);
  if (index === null || e.button !== 0) return;
  e.preventDefault();
  transcript.anchor = index;
  markDrag(index, index);
});

$("transcript-words").addEventListener("pointerover", (e) => {
  const index = wordIndex(e.target);
  if (transcript.anchor !== null && index !== null) markDrag(transcript.anchor, index);
});

window.addEventListener("pointerup", (e) => {
  const from = transcript.anchor;
  if (from === null) return;
  transcript.anchor = null;
  markDrag(-1, -1);
  const to = wordIndex(e.target);
  if (to === null) return;  // let go outside the words: nothing is made
  if (to === from) {
    player.currentTime = transcript.words[from].start;
    return;
  }
  rangeOfWords(from, to);
});

// A range of the words `from` to `to` (either way round), snapped to them.
function rangeOfWords(from, to) {
  const [first, last] = from < to ? [from, to] : [to, from];
  const words = transcript.words.slice(first, last + 1);
  const start = withinVideo(words[0].start - WORD_LEAD_S);
  const end = withinVideo(words[words.length - 1].end + WORD_TAIL_S);
  if (addTranscriptRange(start, end, "")) {
    say("save-status", `Range ${state.ranges.length} made from the words “${words.map((w) => w.text).join(" ")}”.`);
  }
}

// The sentence lit under the playhead (after a click, a search hit, or
// while playing), as a range: the keyboard's way to what a drag does.
$("transcript-sentence").addEventListener("click", () => {
  // The playhead's own time: a seek still under way counts.
  const sentence = transcript.sentences[transcript.sentenceOf[wordAt(player.currentTime)]];
  if (sentence) rangeOfWords(sentence.first_word, sentence.first_word + sentence.word_count - 1);
});

// ---- search ----------------------------------------------------------
function plainWord(text) {
  return text.toLocaleLowerCase().replace(/[^\p{L}\p{N}']+/gu, "");
}

// Every run of words that holds the query's words in order.
function search() {
  transcript.elements.forEach((element) => element.classList.remove("hit", "current-hit"));
  const wanted = $("transcript-search").value.split(/\s+/).map(plainWord).filter(Boolean);
  const plain = transcript.words.map((w) => plainWord(w.text));
  transcript.hits = [];
  transcript.hitLength = wanted.length;
  transcript.hit = -1;
  if (wanted.length) {
    for (let i = 0; i + wanted.length <= plain.length; i++) {
      if (wanted.every((part, j) => plain[i + j].includes(part))) transcript.hits.push(i);
    }
  }
  for (const first of transcript.hits) {
    for (let i = first; i < first + wanted.length; i++) transcript.elements[i].classList.add("hit");
  }
  $("transcript-hits").textContent = !wanted.length ? "" : transcript.hits.length ? `${transcript.hits.length} found`
                                                                                 : "not found";
}

function showHit(step) {
  if (!transcript.hits.length) return;
  const count = transcript.hits.length;
  const old = transcript.hits[transcript.hit];
  if (old !== undefined) {
    for (let i = old; i < old + transcript.hitLength; i++) transcript.elements[i].classList.remove("current-hit");
  }
  transcript.hit = transcript.hit < 0 && step < 0 ? count - 1 : (transcript.hit + step + count) % count;
  const first = transcript.hits[transcript.hit];
  for (let i = first; i < first + transcript.hitLength; i++) transcript.elements[i].classList.add("current-hit");
  keepInView(transcript.elements[first]);
  player.currentTime = transcript.words[first].start;
  $("transcript-hits").textContent = `${transcript.hit + 1} of ${count}`;
}

$("transcript-search").addEventListener("input", search);
$("transcript-search").addEventListener("keydown", (e) => {
  if (e.key === "Escape") {  // back to the player, where the page's keys work
    e.preventDefault();
    player.focus({ preventScroll: true });
    return;
  }
  if (e.key !== "Enter") return;
  e.preventDefault();
  showHit(e.shiftKey ? -1 : 1);
});
$("transcript-next").addEventListener("click", () => showHit(1));
$("transcript-previous").addEventListener("click", () => showHit(-1));

// ---- suggestions -----------------------------------------------------
async function askSuggestions() {
  if (!transcript.id) return;
  const mine = transcript.asked;
  say("suggest-status", "Drafting ranges…");
  try {
    const { suggestions } = await (await post("api/suggest", {
      id: transcript.id, count: Number($("suggest-count").value), length: Number($("suggest-length").value),
    })).json();
    if (mine !== transcript.asked) return;
    showSuggestions(suggestions);
    say("suggest-status", suggestions.length ? "Accept adds the range with its words as a narration to rewrite."
                                             : "No range to suggest in these words.");
  } catch (error) {
    if (mine !== transcript.asked) return;
    say("suggest-status", `No suggestions: ${error.message}`, true);
  }
}

$("suggest").addEventListener("click", askSuggestions);

function showSuggestions(suggestions) {
  say("suggest-status", "");
  $("suggestions").replaceChildren(...suggestions.map((suggestion) => {
    const item = document.createElement("li");
    item.className = "suggestion";
    const when = document.createElement("button");
    when.type = "button";
    when.className = "when";
    const start = withinVideo(suggestion.start), end = withinVideo(suggestion.end);
    when.textContent = `${clockText(start)} to ${clockText(end)} (${Math.round(end - start)} s)`;
    when.title = "Play from here";
    when.addEventListener("click", () => { player.currentTime = suggestion.start; });
    const said = document.createElement("q");
    said.textContent = suggestion.text;
    const reasons = document.createElement("ul");
    reasons.className = "reasons";
    for (const reason of suggestion.reasons) {
      const line = document.createElement("li");
      line.textContent = reason;
      reasons.append(line);
    }
    const accept = document.createElement("button");
    accept.type = "button";
    accept.className = "accept";
    accept.textContent = "Accept";
    accept.addEventListener("click", () => {
      // The film's words, marked as the draft's until they are rewritten.
      if (addTranscriptRange(start, end, `${DRAFT_MARKER} ${suggestion.text}`)) item.remove();
    });
    const dismiss = document.createElement("button");
    dismiss.type = "button";
    dismiss.className = "dismiss";
    dismiss.textContent = "Dismiss";
    dismiss.addEventListener("click", () => item.remove());
    const row = document.createElement("div");
    row.className = "row";
    row.append(when, accept, dismiss);
    item.append(row, said, reasons);
    return item;
  }));
}
