// bio-stream's page: follows the live feed, shows the latest frame (or one picked on the plot),
// plots the scores with the frames lost as breaks, marks the touches that the server's replay of the
// detector finds at the var_min, img_num and min_img_num entered here, and shows the var_min the
// scores suggest.
"use strict";

(() => {
  const WINDOW_SECONDS = 30;
  const HISTOGRAM_EVERY_MS = 1000;
  // Scores the page holds (about 1.9 hours at 30 frames per second), whatever the server keeps.
  const MAX_SCORES = 200000;
  // No frame for this long: the stream has stopped (the module sends every frame it captures).
  const STOPPED_AFTER_SECONDS = 2;
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

  // Errors of the page's own requests, shown until the next one succeeds.
  const errors = new Map();
  function showError(what, text) {
    if (text) errors.set(what, text);
    else errors.delete(what);
    el("error").hidden = errors.size === 0;
    el("error").textContent = [...errors.values()].join("; ");
  }
  // The answer of `url`, refused unless it is a success: the server's words say why.
  async function ask(url) {
    const response = await fetch(url, { cache: "no-store" });
    if (!response.ok) {
      const why = (await response.text()).trim();
      throw new Error(`${response.status} ${response.statusText}${why ? `: ${why}` : ""}`);
    }
    return response;
  }

  // The scores the page holds (the latest of them all), in the order the server logged them;
  // all.score[i] is the score at index base + i of the server's log. state: 0 whole, 1 cut short,
  // 2 payload lost; missing: frames lost just before it; truth: the sensor's, 0 unknown, 1 no
  // contact, 2 contact.
  const all = { number: [], seconds: [], score: [], state: [], missing: [], truth: [] };
  let base = 0;
  // The touches from the server: indices into its log.
  let touches = [];
  // How the stream's scores were measured, when bio-stream was told.
  let scoring = { bsize: null, step: null };
  // What the plot shows: log index of each point (null at a break).
  let plotted = { indexAt: [] };

  const timeline = new bioCharts.Timeline(el("timeline"), {
    width: plotWidth(),
    height: 320,
    xLabel: "seconds",
    varMin: rules().var_min,
    flagged: true,
    onVarMin: (value) => {
      inputs.var_min.value = value;
      rulesChanged();
    },
    onPick: pick,
  });
  let histogram = null;
  function makeHistogram() {
    if (histogram) histogram.plot.destroy();
    histogram = new bioCharts.Histogram(el("histogram"), {
      width: plotWidth(), height: 220, varMin: rules().var_min, log: el("log-scale").checked,
    });
    window.bioView.histogram = histogram;
    histogram.setScores(all.score);
  }
  function plotWidth() {
    return Math.max(320, Math.min(1200, el("scores").clientWidth));
  }
  window.addEventListener("resize", () => {
    timeline.setSize(plotWidth());
    histogram.setSize(plotWidth());
  });

  let paused = false;
  let renderPending = false;
  let histogramDrawn = -Infinity;
  let histogramTimer = null;
  function scheduleRender() {
    if (renderPending || paused) return;
    renderPending = true;
    requestAnimationFrame(render);
  }
  // The last 30 s of scores, with a break (a point of no score) where frames were lost and the
  // frames not received whole marked.
  function render() {
    renderPending = false;
    const end = all.seconds.length;
    const last = end > 0 ? all.seconds[end - 1] : 0;
    let start = end;
    while (start > 0 && all.seconds[start - 1] > last - WINDOW_SECONDS) start -= 1;
    const xs = [];
    const scores = [];
    const flags = [];
    const truth = [];
    const positionOf = [];
    const indexAt = [];
    for (let i = start; i < end; i += 1) {
      if (all.missing[i] > 0 && i > start) {
        xs.push((all.seconds[i - 1] + all.seconds[i]) / 2);
        scores.push(null);
        flags.push(null);
        truth.push(0);
        indexAt.push(null);
      }
      positionOf.push(xs.length);
      indexAt.push(base + i);
      xs.push(all.seconds[i]);
      scores.push(all.score[i]);
      flags.push(all.state[i] !== 0 ? all.score[i] : null);
      truth.push(all.truth[i]);
    }
    plotted = { indexAt };
    timeline.setData(xs, scores, touches, base + start, positionOf, flags, truth);
    drawHistogram();
  }
  // At most once a second, and always after the last scores: a page opened once the stream stopped
  // gets all its scores at once and no more events with scores.
  function drawHistogram() {
    const wait = histogramDrawn + HISTOGRAM_EVERY_MS - performance.now();
    if (wait > 0) {
      if (histogramTimer === null) {
        histogramTimer = setTimeout(() => {
          histogramTimer = null;
          if (!paused) drawHistogram();
        }, wait);
      }
      return;
    }
    histogramDrawn = performance.now();
    histogram.setScores(all.score);
  }

  el("pause").addEventListener("click", () => {
    paused = !paused;
    el("pause").textContent = paused ? "Resume" : "Pause";
    if (!paused) {
      for (const event of held.splice(0)) take(event);
      heldScores = 0;
      requestTouches();
      scheduleRender();
      requestFrame();
    }
  });
  el("log-scale").addEventListener("change", makeHistogram);

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
    ask(`touches?var_min=${r.var_min}&img_num=${r.img_num}&min_img_num=${r.min_img_num}`)
      .then((response) => response.json())
      .then((body) => {
        showError("touches", null);
        touches = body.touches;
        showSummary(body);
        showSuggestion(body.suggestion);
        render(); // at once: the marks and the summary always tell of the same values
      })
      .catch((error) => showError("touches", `the touches: ${error.message}`))
      .finally(() => {
        touchesBusy = false;
        if (touchesStale) setTimeout(requestTouches, 200);
      });
  }

  // "bsize 16, step 4, " when bio-stream was told them.
  const scoringLabel = () => (scoring.bsize ? `bsize ${scoring.bsize}, step ${scoring.step}, ` : "");

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
    part(`At ${scoringLabel()}var_min ${r.var_min}, img_num ${r.img_num}, min_img_num ${r.min_img_num}: `);
    part(String(c.published), "published", "touches-published");
    part(" published, ");
    part(String(c.early), "early", "touches-early");
    part(" early, ");
    part(String(c.dropped), "dropped", "touches-dropped");
    part(" dropped brushes");
    part(c.open > 0 ? ", 1 touch in progress" : "", null, "touches-open");
    part(c.interrupted > 0 ? `, ${c.interrupted} interrupted by lost frames` : "", null, "touches-interrupted");
    part(` (over ${body.scores < body.window ? "" : "the latest "}${body.scores} frames` +
      `${body.touches_left_out > 0 ? `; marks on the latest ${body.touches.length} touches` : ""})`);
  }

  // The var_min the scores suggest (split where glass and finger separate best, a third of the way
  // up the gap from the glass), its margins, and the keys to copy.
  function showSuggestion(s) {
    const box = el("suggestion");
    box.hidden = !s;
    if (!s) return;
    if (s.refused) {
      el("suggestion-text").textContent = `No var_min to suggest: ${s.refused}.`;
      el("suggestion-keys").textContent = "";
      return;
    }
    el("suggestion-text").textContent = `Suggested ${scoringLabel()}var_min ${s.var_min}: ` +
      `${s.margin_glass} above the highest glass score (${s.glass.high}, ${s.glass.frames} frames), ` +
      `${s.margin_finger} below the lowest finger score (${s.finger.low}, ${s.finger.frames} frames)` +
      `${s.notes.length > 0 ? `. ${s.notes.join("; ")}` : ""}.`;
    const keys = scoring.bsize ? [`bsize=${scoring.bsize}`, `step=${scoring.step}`] : [];
    el("suggestion-keys").textContent = [...keys, `var_min=${s.var_min}`].join("\n");
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

  // The frame shown: the latest, fetched when the feed names a newer one and none is on its way (a
  // slow page skips frames rather than queueing them); or one picked on the plot, kept until the
  // user goes back to the latest. It comes as one grey byte per pixel, scaled to fit or at 1:1.
  const canvas = el("frame");
  canvas.addEventListener("click", () => canvas.classList.toggle("actual"));
  let frameBusy = false;
  let frameWanted = 0;
  let frameAsked = 0;
  let picked = null; // frame number picked on the plot, and why
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
    const wanted = picked ? picked.number : frameWanted;
    if (frameBusy || wanted === frameAsked || (paused && !picked)) return;
    frameBusy = true;
    frameAsked = wanted;
    const label = picked ? picked.label : "";
    ask(`frame?n=${wanted}`)
      .then(async (response) => {
        const header = (name) => response.headers.get(name);
        const width = Number(header("X-Frame-Width"));
        const height = Number(header("X-Frame-Height"));
        const bytes = new Uint8Array(await response.arrayBuffer());
        if (bytes.length !== width * height) throw new Error(`${bytes.length} bytes for ${width} x ${height}`);
        draw(bytes, width, height);
        canvas.dataset.number = header("X-Frame-Number");
        const quality = header("X-Frame-Quality") === null ? "" : `, quality ${header("X-Frame-Quality")}`;
        el("frame-caption").textContent = `frame ${header("X-Frame-Number")}, score ${header("X-Frame-Score")}${label}${quality}`;
      })
      .catch((error) => {
        el("frame-caption").textContent = `frame ${wanted}: ${error.message}`;
      })
      .finally(() => {
        frameBusy = false;
        requestFrame();
      });
  }
  // A click on the plot: a mark shows its touch's best frame (the one the detector publishes), any
  // other point its own frame.
  function pick(position) {
    const index = plotted.indexAt[position];
    if (index === null || index === undefined || index < base) return;
    const touch = touches.find((t) => (t.decided ?? t.first + t.frames - 1) === index);
    const shown = touch && touch.best_index !== null ? touch.best_index : index;
    if (shown < base) return;
    const label = touch ? `, the best of a touch (${touch.outcome})` : "";
    picked = { number: all.number[shown - base], label };
    el("frame-title").textContent = touch ? "Best frame of the touch" : "Frame picked";
    el("frame-latest").hidden = false;
    requestFrame();
  }
  el("frame-latest").addEventListener("click", () => {
    picked = null;
    el("frame-title").textContent = "Latest frame";
    el("frame-latest").hidden = true;
    requestFrame();
  });

  function showCounts(counts) {
    for (const name of ["frames", "cut_short", "payload_lost", "missing", "kernel_dropped", "stray", "foreign"]) {
      el(`count-${name.replace("_", "-")}`).textContent = counts[name] ?? 0;
    }
    el("count-fps").textContent = counts.fps.toFixed(1);
  }

  // Live, or stopped since the time of its last frame.
  let lastFrameAt = null;
  function showStream(stream) {
    scoring = { bsize: stream.bsize, step: stream.step };
    el("settings").textContent = scoring.bsize
      ? `scores measured with bsize ${scoring.bsize}, step ${scoring.step}` : "";
    const state = el("stream-state");
    if (stream.since_last === null) {
      state.textContent = "waiting for frames";
      return;
    }
    lastFrameAt = new Date(Date.now() - stream.since_last * 1000);
    const stopped = stream.since_last > STOPPED_AFTER_SECONDS;
    state.className = stopped ? "status stopped" : "status";
    state.textContent = stopped ? `stream stopped: last frame at ${lastFrameAt.toLocaleTimeString()}` : "frames arriving";
  }

  // Takes one event of the feed into the page's scores.
  function take(event) {
    // A new connection starts again from the oldest score kept: keep what is already here. A gap
    // (this page fell behind the server's ring) starts the page afresh.
    const end = base + all.score.length;
    if (event.first !== end) {
      const keep = event.first >= base && event.first < end ? event.first - base : 0;
      for (const list of Object.values(all)) list.length = keep;
      if (keep === 0) base = event.first;
    }
    if (event.latest && event.latest.kind !== "header") frameWanted = event.latest.number;
    for (const [number, seconds, score, state, missing, truth] of event.scores) {
      all.number.push(number);
      all.seconds.push(seconds);
      all.score.push(score);
      all.state.push(state ?? 0);
      all.missing.push(missing ?? 0);
      all.truth.push(truth ?? 0);
    }
    // Scores the server no longer keeps, or beyond what the page holds, leave the page; it says so.
    const gone = Math.min(Math.max(event.oldest - base, all.score.length - MAX_SCORES, 0), all.score.length);
    if (gone > 0) {
      for (const list of Object.values(all)) list.splice(0, gone);
      base += gone;
      const note = el("scores-dropped");
      note.hidden = false;
      note.textContent = `Scores before frame ${all.number[0]} were dropped: bio-stream keeps the latest ` +
        `${event.kept}, the page the latest ${MAX_SCORES}.`;
    }
  }

  // Events that came while paused, taken on resume: at most about MAX_SCORES scores of them (older
  // ones are dropped, and the page then starts afresh from what follows).
  const held = [];
  let heldScores = 0;
  const feed = new EventSource("events");
  feed.onopen = () => {
    el("connection").textContent = "live";
  };
  feed.onerror = () => {
    el("connection").textContent = "connection to bio-stream lost, trying again";
    el("stream-state").className = "status stopped";
    el("stream-state").textContent = lastFrameAt
      ? `stream stopped: last frame at ${lastFrameAt.toLocaleTimeString()}` : "no frame received";
  };
  feed.onmessage = (message) => {
    const event = JSON.parse(message.data);
    el("connection").textContent = "live";
    showCounts(event.counts);
    showStream(event.stream);
    if (paused) {
      held.push(event);
      heldScores += event.scores.length;
      while (heldScores > MAX_SCORES) heldScores -= held.shift().scores.length;
      return;
    }
    take(event);
    requestFrame();
    if (event.scores.length > 0) {
      requestTouches();
      scheduleRender();
    }
  };
  // For a look from the browser's console (and for the browser test).
  window.bioView = { timeline, histogram, all };
  makeHistogram();
  rulesChanged();
})();
