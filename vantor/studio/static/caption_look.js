// vantor studio: the drawn captions' look. A still per style, drawn by the
// studio with the recap's own filters over the first range's first frame
// (a neutral grey before a video is loaded), picks the style; the position
// and size go with the recap. Uses studio.js's state, framing and $.
"use strict";

(function captionLook() {
  const LOOK_KEY = "vantor-studio-caption-look";
  const POSITIONS = ["bottom", "middle", "top"], SIZES = ["small", "medium", "large"];
  const choice = $("caption-style"), stills = $("caption-stills");
  let saved = {};
  try { saved = JSON.parse(localStorage.getItem(LOOK_KEY) || "{}") || {}; } catch (e) { /* no look kept */ }
  state.captionPosition = POSITIONS.includes(saved.position) ? saved.position : "bottom";
  state.captionSize = SIZES.includes(saved.size) ? saved.size : "medium";
  $("caption-position").value = state.captionPosition;
  $("caption-size").value = state.captionSize;

  for (const option of choice.options) {
    const button = document.createElement("button");
    button.type = "button";
    button.className = "caption-still";
    button.dataset.style = option.value;
    const image = new Image();
    image.alt = `Captions in the ${option.value} style`;
    const name = document.createElement("span");
    name.textContent = option.value;
    button.append(image, name);
    button.addEventListener("click", () => {
      choice.value = option.value;
      choice.dispatchEvent(new Event("change"));  // studio.js keeps the style and its player preview
    });
    stills.append(button);
  }

  // The stills' addresses follow the look, the aspect and the first range's frame as the recap frames it.
  function showStills() {
    const look = { position: state.captionPosition, size: state.captionSize, aspect: state.aspect || "9:16" };
    const first = state.ranges.find((range) => timesOf(range));
    if (framing.video && first) {
      const at = timesOf(first)[0], framed = framingAt(first, at);
      Object.assign(look, { video: framing.video, at: at.toFixed(3), layout: framed.layout,
                            centre: framed.centre.toFixed(4) });
    }
    for (const button of stills.children) {
      button.setAttribute("aria-pressed", String(button.dataset.style === choice.value));
      const image = button.querySelector("img");
      const wanted = `api/caption-still?${new URLSearchParams({ style: button.dataset.style, ...look })}`;
      if (image.dataset.wanted !== wanted) Object.assign(image.dataset, { wanted, tries: "0" });
    }
    $("caption-preview").dataset.position = state.captionPosition;
    loadNext();
  }

  // One still at a time (the studio makes few at once and says "busy" past them); a refused one is asked
  // again a moment later, three times at most.
  let loading = false;
  function loadNext() {
    const image = [...stills.querySelectorAll("img")].find((i) => i.getAttribute("src") !== i.dataset.wanted &&
                                                                  Number(i.dataset.tries) < 3);
    if (loading || !image) return;
    loading = true;
    image.dataset.tries = String(Number(image.dataset.tries) + 1);
    const settled = (ok) => {
      loading = false;
      if (!ok) image.removeAttribute("src");
      setTimeout(loadNext, ok ? 0 : 1000);
    };
    image.onload = () => settled(true);
    image.onerror = () => settled(false);
    image.src = image.dataset.wanted;
  }

  function keep(name, member) {
    $(name).addEventListener("change", () => {
      state[member] = $(name).value;
      try {
        localStorage.setItem(LOOK_KEY, JSON.stringify({ position: state.captionPosition, size: state.captionSize }));
      } catch (e) { /* storage full or refused: the look is a convenience */ }
      showStills();
    });
  }
  keep("caption-position", "captionPosition");
  keep("caption-size", "captionSize");
  choice.addEventListener("change", showStills);
  // Ranges and the loaded video change in many places: the addresses are compared each second
  // (an unchanged one asks nothing again).
  setInterval(showStills, 1000);
  showStills();
})();
