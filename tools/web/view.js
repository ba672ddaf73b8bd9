// bio-stream's page: follows the live feed, shows the latest frame, plots the scores and marks the
// touches that the server's replay of the detector finds at the var_min, img_num and min_img_num
// entered here.
"use strict";

(() => {
  const WINDOW_SECONDS = 30;
  const HISTOGRAM_EVERY_MS = 1000;
  const el = (id) => document.getElementById(id);

  const inputs = { var_min: el("var-min"), img_num: el("img-num"), min_img_num: el("min-img-num") };
  const defaults = { var_min: 300, img_num: 5, min_img_num: 2 };
  const query = new URLSearchParams(location.search);
  for (const [name, input] of Object.entries(inputs)) input.value = query.get(name) ?? defaults[name];
  el("rules").addEventListener("submit", (e) => e.preventDefault());
  const rules = () => {
    const r = {};
    for (const [name, input] of Object.entries(inputs)) r[name] = Number(input.value);
    return r;
  };
  const rulesValid = (r) => Object.values(r).every((v) => Number.isInteger(v) && Math.abs(v) < 2 ** 31);

  // The scores the server keeps (the latest of them all), in the order it logged them; all.score[i]
  // is the score at index base + i of the server's log.
  const all = { number: [], seconds: [], score: [] };
  let base = 0;
  // The touches from the server: indices into its log.
  let touches = [];

  const timeline = new bioCharts.Timeline(el("timeline"), {
    width: 900,
    height: 320,
    xLabel: "seconds",
    varMin: rules().var_min,
    onVarMin: (value) => {
      inputs.var_min.value = value;
      rulesChanged();
    },
  });
  const histogram = new bioCharts.Histogram(el("histogram"), { width: 900, height: 220, varMin: rules().var_min });

  let renderPending = false;
  let histogramDrawn = 0;
  function scheduleRender() {
    if (renderPending) return;
    renderPending = true;
    requestAnimationFrame(render);
  }
  function render() {
    renderPending = false;
    const end = all.seconds.length;
    const last = end > 0 ? all.seconds[end - 1] : 0;
    let start = end;
    while (start > 0 && all.seconds[start - 1] > last - WINDOW_SECONDS) start -= 1;
    timeline.setData(all.seconds.slice(start), all.score.slice(start), touches, base + start);
    const now = performance.now();
    if (now - histogramDrawn >= HISTOGRAM_EVERY_MS) {
      histogramDrawn = now;
      histogram.setScores(all.score);
    }
  }

  // The touches at the entered values: one request at a time; values changed meanwhile ask again.
  let touchesBusy = false;
  let touchesStale = false;
  function requestTouches() {
    touchesStale = true;
    if (touchesBusy) return;
    const r = rules();
    if (!rulesValid(r)) {
      el("touch-summary").textContent = "var_min, img_num and min_img_num must be whole numbers";
      return;
    }
    touchesBusy = true;
    touchesStale = false;
    fetch(`touches?var_min=${r.var_min}&img_num=${r.img_num}&min_img_num=${r.min_img_num}`, { cache: "no-store" })
      .then((response) => response.json())
      .then((body) => {
        touches = body.touches;
        showSummary(body);
        render(); // at once: the marks and the summary always tell of the same values
      })
      // Unreachable server: the next scores from the feed ask again.
      .catch(() => {})
      .finally(() => {
        touchesBusy = false;
        if (touchesStale) setTimeout(requestTouches, 200);
      });
  }

  function showSummary(body) {
    const r = body.rules;
    const c = body.counts;
    const summary = el("touch-summary");
    summary.dataset.rules = `${r.var_min}/${r.img_num}/${r.min_img_num}`;
    summary.dataset.scores = body.scores;
    summary.innerHTML = "";
    const part = (text, cls, id) => {
      const span = document.createElement("span");
      span.textContent = text;
      if (cls) span.className = cls;
      if (id) span.id = id;
      summary.appendChild(span);
    };
    part(`At var_min ${r.var_min}, img_num ${r.img_num}, min_img_num ${r.min_img_num}: `);
    part(String(c.published), "published", "touches-published");
    part(" published, ");
    part(String(c.early), "early", "touches-early");
    part(" early, ");
    part(String(c.dropped), "dropped", "touches-dropped");
    part(" dropped brushes");
    part(c.open > 0 ? ", 1 touch in progress" : "", null, "touches-open");
    part(` (over ${body.scores < body.window ? "" : "the latest "}${body.scores} frames` +
      `${body.touches_left_out > 0 ? `; marks on the latest ${body.touches.length} touches` : ""})`);
  }

  function rulesChanged() {
    const r = rules();
    if (Number.isInteger(r.var_min)) {
      timeline.setVarMin(r.var_min);
      histogram.setVarMin(r.var_min);
    }
    requestTouches();
  }
  for (const input of Object.values(inputs)) input.addEventListener("input", rulesChanged);

  // The latest frame: fetched when the feed names a newer one and none is on its way, so a slow
  // page skips frames rather than queueing them. It comes as one grey byte per pixel, drawn 1:1.
  const canvas = el("frame");
  let frameBusy = false;
  let frameWanted = 0;
  let frameAsked = 0;
  function draw(bytes, width, height) {
    if (canvas.width !== width || canvas.height !== height) {
      canvas.width = width;
      canvas.height = height;
    }
    const context = canvas.getContext("2d");
    const image = context.createImageData(width, height);
    for (let i = 0; i < width * height; i += 1) {
      const v = bytes[i];
      image.data[4 * i] = v;
      image.data[4 * i + 1] = v;
      image.data[4 * i + 2] = v;
      image.data[4 * i + 3] = 255;
    }
    context.putImageData(image, 0, 0);
  }
  function requestFrame() {
    if (frameBusy || frameWanted === frameAsked) return;
    frameBusy = true;
    frameAsked = frameWanted;
    fetch(`frame?n=${frameAsked}`, { cache: "no-store" })
      .then(async (response) => {
        if (!response.ok) return;
        const header = (name) => response.headers.get(name);
        const width = Number(header("X-Frame-Width"));
        const height = Number(header("X-Frame-Height"));
        const bytes = new Uint8Array(await response.arrayBuffer());
        if (bytes.length !== width * height) return;
        draw(bytes, width, height);
        canvas.dataset.number = header("X-Frame-Number");
        el("frame-caption").textContent = `frame ${header("X-Frame-Number")}, score ${header("X-Frame-Score")}`;
      })
      .catch(() => {})
      .finally(() => {
        frameBusy = false;
        requestFrame();
      });
  }

  function showCounts(counts) {
    el("count-frames").textContent = counts.frames;
    el("count-cut-short").textContent = counts.cut_short;
    el("count-stray").textContent = counts.stray;
    el("count-foreign").textContent = counts.foreign;
    el("count-fps").textContent = counts.fps.toFixed(1);
  }

  const feed = new EventSource("events");
  feed.onopen = () => {
    el("connection").textContent = "live";
  };
  feed.onerror = () => {
    el("connection").textContent = "connection lost, trying again";
  };
  feed.onmessage = (message) => {
    const event = JSON.parse(message.data);
    // A new connection starts again from the oldest score kept: keep what is already here. A gap
    // (this page fell behind the server's ring) starts the page afresh.
    const end = base + all.score.length;
    if (event.first !== end) {
      const keep = event.first >= base && event.first < end ? event.first - base : 0;
      for (const list of Object.values(all)) list.length = keep;
      if (keep === 0) base = event.first;
    }
    for (const [number, seconds, score] of event.scores) {
      all.number.push(number);
      all.seconds.push(seconds);
      all.score.push(score);
    }
    // Scores the server no longer keeps leave the page too, and the page says so.
    if (event.oldest > base) {
      const gone = Math.min(event.oldest - base, all.score.length);
      for (const list of Object.values(all)) list.splice(0, gone);
      base += gone;
      const note = el("scores-dropped");
      note.hidden = false;
      note.textContent = `Scores before frame ${all.number[0]} were dropped: bio-stream keeps the latest ${event.kept}.`;
    }
    showCounts(event.counts);
    if (event.latest && event.latest.kind !== "header") {
      frameWanted = event.latest.number;
      requestFrame();
    }
    if (event.scores.length > 0) {
      requestTouches();
      scheduleRender();
    }
  };
  // For a look from the browser's console (and for the browser test).
  window.bioView = { timeline, histogram, all };
  rulesChanged();
})();
