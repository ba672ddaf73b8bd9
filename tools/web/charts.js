// Charts of bio-stream's page and bio-tune's report, drawn with uPlot: the score timeline with the
// var_min line and the touch marks, and the score histogram. The touches arrive computed (from the
// page's server, or in the report's data): nothing here decides what a touch is.
"use strict";

const bioCharts = (() => {
  const KINDS = [
    { outcome: "published", label: "published", colour: "#15803d" },
    { outcome: "early", label: "early publication", colour: "#d97706" },
    { outcome: "dropped", label: "dropped brush", colour: "#b91c1c" },
    { outcome: "open", label: "touch in progress", colour: "#6b7280" },
  ];
  const LINE_COLOUR = "#2563eb";
  const FLAG_COLOUR = "#9ca3af";
  const TRUTH_COLOURS = [null, "#d1d5db", "#15803d"];  // by truth: unknown, no contact, contact
  const TRUTH_PIXELS = 6;
  const GRAB_PIXELS = { mouse: 8, pen: 12, touch: 20 };

  // The frame a touch is marked at: the one that decided it, or for a touch still open its last
  // frame (an open touch's frames follow each other from its first).
  function markIndex(touch) {
    return touch.decided === null ? touch.first + touch.frames - 1 : touch.decided;
  }

  function markSeries(kind) {
    return {
      label: kind.label,
      stroke: kind.colour,
      width: 0,
      paths: () => null,
      points: { show: true, size: 11, width: 2, stroke: kind.colour, fill: kind.colour },
    };
  }

  // A draw hook for the dashed var_min line: horizontal on a score axis "y", vertical on "x".
  function lineHook(value, axis) {
    return (u) => {
      const v = value();
      if (v === null || !Number.isFinite(v)) return;
      const ctx = u.ctx;
      const pos = u.valToPos(v, axis, true);
      const r = window.devicePixelRatio || 1;
      ctx.save();
      ctx.strokeStyle = LINE_COLOUR;
      ctx.lineWidth = 2 * r;
      ctx.setLineDash([8 * r, 4 * r]);
      ctx.beginPath();
      if (axis === "y") {
        ctx.moveTo(u.bbox.left, pos);
        ctx.lineTo(u.bbox.left + u.bbox.width, pos);
      } else {
        ctx.moveTo(pos, u.bbox.top);
        ctx.lineTo(pos, u.bbox.top + u.bbox.height);
      }
      ctx.stroke();
      ctx.restore();
    };
  }

  // A draw hook for the truth marks: a strip along the bottom of the plot, grey under frames the
  // sensor says had no contact, green under those it says touched, nothing where truth is unknown.
  function truthHook(truth) {
    return (u) => {
      const marks = truth();
      const xs = u.data[0];
      if (!marks || !marks.some((t) => t > 0)) return;
      const ctx = u.ctx;
      const r = window.devicePixelRatio || 1;
      const top = u.bbox.top + u.bbox.height - TRUTH_PIXELS * r;
      ctx.save();
      for (let i = 0; i < xs.length; i += 1) {
        const colour = TRUTH_COLOURS[marks[i] ?? 0];
        if (!colour) continue;
        const left = u.valToPos(xs[i], "x", true);
        const right = i + 1 < xs.length ? u.valToPos(xs[i + 1], "x", true) : left + r;
        ctx.fillStyle = colour;
        ctx.fillRect(left, top, Math.max(right - left, r), TRUTH_PIXELS * r);
      }
      ctx.restore();
    };
  }

  // A range that holds the data and var_min, with a little room above.
  function rangeWith(value, min, max) {
    let low = Math.min(min ?? 0, 0);
    let high = Math.max(max ?? 1, 1);
    if (value !== null && Number.isFinite(value)) {
      low = Math.min(low, value);
      high = Math.max(high, value);
    }
    return [low, high + (high - low) * 0.05];
  }

  // The score of every frame over x (seconds or frame index), the var_min line (draggable when
  // onVarMin is given, with a mouse, a pen or a finger) and one mark per touch at the height of its
  // best score. With `flagged`, a series of hollow points marks the frames not received whole;
  // onPick(position) is told of a click on the plot, with the position of the nearest point.
  class Timeline {
    constructor(element, { width, height, xLabel, varMin, onVarMin, flagged, onPick }) {
      this.varMin = varMin;
      const flags = flagged
        ? [{ label: "cut short or lost", stroke: FLAG_COLOUR, width: 0, paths: () => null,
          points: { show: true, size: 9, width: 2, stroke: FLAG_COLOUR, fill: "#fff" } }]
        : [];
      this.plot = new uPlot(
        {
          width,
          height,
          series: [
            { label: xLabel },
            { label: "score", stroke: "#111827", width: 1, points: { show: false } },
            ...KINDS.map(markSeries),
            ...flags,
          ],
          scales: { x: { time: false }, y: { range: (u, min, max) => rangeWith(this.varMin, min, max) } },
          axes: [{ label: xLabel }, { label: "score", size: 70 }],
          cursor: { drag: { x: false, y: false, setScale: false } },
          hooks: { draw: [lineHook(() => this.varMin, "y"), truthHook(() => this.truth)] },
        },
        [[], [], [], [], [], [], ...flags.map(() => [])],
        element,
      );
      this.flagged = flags.length > 0;
      this.dragged = false;
      if (onVarMin) this.enableDrag(onVarMin);
      if (onPick) {
        this.plot.over.addEventListener("click", (e) => {
          if (this.dragged || this.plot.data[0].length === 0) return;
          onPick(this.plot.posToIdx(e.offsetX));
        });
      }
    }

    // xs and scores of equal length (a null score is a break in the line); touches index the full
    // sequence, of which these are the entries from `offset` on, plotted at positionOf[i] (at i
    // when none is given); flags: the score to mark as not received whole at each position, or null;
    // truth: the sensor's truth at each position (0 unknown, 1 no contact, 2 contact), marked under
    // the plot when any is known.
    setData(xs, scores, touches, offset, positionOf, flags, truth) {
      this.truth = truth;
      const marks = KINDS.map(() => new Array(xs.length).fill(null));
      for (const touch of touches) {
        const i = markIndex(touch) - offset;
        const at = positionOf ? positionOf[i] : i;
        const kind = KINDS.findIndex((k) => k.outcome === touch.outcome);
        if (kind >= 0 && at >= 0 && at < xs.length) marks[kind][at] = touch.best;
      }
      this.plot.setData([xs, scores, ...marks, ...(this.flagged ? [flags ?? xs.map(() => null)] : [])]);
    }

    setSize(width) {
      this.plot.setSize({ width, height: this.plot.height });
    }

    setVarMin(value) {
      this.varMin = value;
      this.plot.setData(this.plot.data);
    }

    // Pointer events: the same drag with a mouse, a pen or a finger (the plot then does not scroll
    // the page under a finger: touch-action none).
    enableDrag(onVarMin) {
      const over = this.plot.over;
      over.style.touchAction = "none";
      const near = (e) => Math.abs(e.offsetY - this.plot.valToPos(this.varMin, "y")) <=
        (GRAB_PIXELS[e.pointerType] ?? GRAB_PIXELS.mouse);
      let dragging = null;
      over.addEventListener("pointerdown", (e) => {
        this.dragged = false;
        if (!near(e)) return;
        dragging = e.pointerId;
        over.setPointerCapture(e.pointerId);
        e.preventDefault();
        e.stopPropagation();
      }, true);
      over.addEventListener("pointermove", (e) => {
        if (dragging === null) {
          over.style.cursor = near(e) ? "ns-resize" : "";
          return;
        }
        if (e.pointerId !== dragging) return;
        this.dragged = true;
        const top = over.getBoundingClientRect().top;
        const value = Math.round(this.plot.posToVal(e.clientY - top, "y"));
        this.setVarMin(value);
        onVarMin(value);
      });
      const release = (e) => {
        if (e.pointerId === dragging) dragging = null;
      };
      over.addEventListener("pointerup", release);
      over.addEventListener("pointercancel", release);
    }
  }

  // Counts of the scores in about `bins` equal bins of whole scores: {starts, counts}.
  function binScores(scores, bins) {
    if (scores.length === 0) return { starts: [], counts: [] };
    let low = Infinity;
    let high = -Infinity;
    for (const s of scores) {
      if (s < low) low = s;
      if (s > high) high = s;
    }
    const width = Math.max(1, Math.ceil((high - low + 1) / bins));
    const n = Math.floor((high - low) / width) + 1;
    const counts = new Array(n).fill(0);
    for (const s of scores) counts[Math.floor((s - low) / width)] += 1;
    return { starts: counts.map((_, i) => low + i * width), counts };
  }

  // Frames per score bin, with the var_min line across the scores; on a log scale of frames when
  // asked (the few frames between glass and finger next to the thousands of glass).
  class Histogram {
    constructor(element, { width, height, varMin, log }) {
      this.varMin = varMin;
      this.log = Boolean(log);
      this.scores = [];
      this.plot = new uPlot(
        {
          width,
          height,
          series: [
            { label: "score from" },
            {
              label: "frames",
              stroke: "#3b82f6",
              fill: "#93c5fd",
              points: { show: false },
              paths: uPlot.paths.bars({ size: [1, Infinity], align: 1 }),
            },
          ],
          scales: {
            x: { time: false, range: (u, min, max) => rangeWith(this.varMin, min, max) },
            y: this.log
              ? { distr: 3, range: (u, min, max) => [0.5, Math.max(10, max ?? 10) * 2] }
              : { range: (u, min, max) => [0, Math.max(1, max ?? 1) * 1.1] },
          },
          axes: [{ label: "score" }, { label: "frames", size: 60 }],
          cursor: { drag: { x: false, y: false, setScale: false } },
          hooks: { draw: [lineHook(() => this.varMin, "x")] },
        },
        [[], []],
        element,
      );
    }

    setScores(scores) {
      this.scores = scores;
      const { starts, counts } = binScores(scores, 80);
      // An empty bin has no height on a log scale: left out.
      this.plot.setData([starts, this.log ? counts.map((c) => (c > 0 ? c : null)) : counts]);
    }

    setSize(width) {
      this.plot.setSize({ width, height: this.plot.height });
    }

    setVarMin(value) {
      this.varMin = value;
      this.plot.setData(this.plot.data);
    }
  }

  return { KINDS, Timeline, Histogram, binScores };
})();
