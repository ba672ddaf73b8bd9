// bio-tune's report: what needs a script. The verdict and the tables are in the page already;
// here the thumbnails of the frames that decide the threshold, and for every bsize/step pair the
// score histogram with its var_min and the scores frame by frame with the touches of each replay
// (frames lost are gaps in the line).
"use strict";

(() => {
  const data = JSON.parse(document.getElementById("report-data").textContent);
  const main = document.getElementById("report");
  const add = (parent, tag, text) => {
    const node = document.createElement(tag);
    if (text !== undefined) node.textContent = text;
    parent.appendChild(node);
    return node;
  };

  const thumbnails = document.getElementById("thumbnails");
  if (data.thumbnails.length === 0) add(thumbnails, "p", "No suggestion: no frame decides a threshold.");
  for (const t of data.thumbnails) {
    const figure = add(thumbnails, "figure");
    figure.className = "thumbnail";
    const canvas = add(figure, "canvas");
    canvas.width = t.width;
    canvas.height = t.height;
    const image = canvas.getContext("2d").createImageData(t.width, t.height);
    const bytes = atob(t.pixels);
    for (let i = 0; i < bytes.length; i++) {
      const v = bytes.charCodeAt(i);
      image.data.set([v, v, v, 255], 4 * i);
    }
    canvas.getContext("2d").putImageData(image, 0, 0);
    const quality = t.quality === undefined ? "" : `, quality ${t.quality.figure}`;
    add(figure, "figcaption", `${t.label}: score ${t.score}${quality}`);
    figure.title = `${t.recording}, record ${t.position + 1}`;
  }

  // Touches detected against false touches, one line per pair, as var_min falls from above every
  // score (nothing detected) to the lowest (the whole recording one touch); the ring marks the
  // suggested var_min.
  const roc = document.getElementById("roc");
  if (roc) {
    const colours = ["#2563eb", "#15803d", "#d97706", "#b91c1c", "#7c3aed", "#0891b2", "#4b5563"];
    const canvas = add(roc, "canvas");
    canvas.width = 900;
    canvas.height = 380;
    const ctx = canvas.getContext("2d");
    const lines = data.pairs.filter((pair) => pair.roc.length > 0);
    const touches = Math.max(1, data.verdict.truth ? data.verdict.truth.touches : 1,
      ...lines.flatMap((pair) => pair.roc.map((q) => q.detected)));
    const falses = Math.max(1, ...lines.flatMap((pair) => pair.roc.map((q) => q.false)));
    const box = { left: 70, top: 20, width: 620, height: 300 };
    const x = (v) => box.left + (v / falses) * box.width;
    const y = (v) => box.top + box.height - (v / touches) * box.height;
    ctx.font = "13px system-ui, sans-serif";
    ctx.strokeStyle = "#9ca3af";
    ctx.strokeRect(box.left, box.top, box.width, box.height);
    ctx.fillStyle = "#111827";
    ctx.fillText("false touches", box.left + box.width / 2 - 40, box.top + box.height + 40);
    ctx.fillText(`0`, box.left - 4, box.top + box.height + 16);
    ctx.fillText(`${falses}`, box.left + box.width - 10, box.top + box.height + 16);
    ctx.fillText(`${touches}`, box.left - 30, box.top + 10);
    ctx.fillText("0", box.left - 16, box.top + box.height);
    ctx.save();
    ctx.translate(box.left - 40, box.top + box.height / 2 + 50);
    ctx.rotate(-Math.PI / 2);
    ctx.fillText("touches detected", 0, 0);
    ctx.restore();
    lines.forEach((pair, i) => {
      const colour = colours[i % colours.length];
      const points = [...pair.roc].sort((a, b) => b.var_min - a.var_min);
      ctx.strokeStyle = colour;
      ctx.fillStyle = colour;
      ctx.lineWidth = 2;
      ctx.beginPath();
      points.forEach((q, k) => (k ? ctx.lineTo(x(q.false), y(q.detected)) : ctx.moveTo(x(q.false), y(q.detected))));
      ctx.stroke();
      for (const q of points) ctx.fillRect(x(q.false) - 3, y(q.detected) - 3, 6, 6);
      if (pair.suggested) {
        ctx.beginPath();
        ctx.arc(x(pair.suggested.false), y(pair.suggested.detected), 9 + 3 * i, 0, 2 * Math.PI);
        ctx.stroke();
      }
      ctx.fillText(`bsize ${pair.bsize}, step ${pair.step}: var_min ${pair.var_min}`, box.left + box.width + 20,
        box.top + 20 + 22 * i);
    });
    canvas.dataset.lines = String(lines.length);
  }

  data.pairs.forEach((pair, p) => {
    const section = add(main, "section");
    section.className = "pair";
    section.id = `pair-${p}`;
    add(section, "h2", `bsize ${pair.bsize}, step ${pair.step}`);
    add(section, "pre", pair.text.join("\n"));
    const varMin = pair.var_min;

    add(section, "h3", "Scores of all frames");
    const histogram = new bioCharts.Histogram(add(section, "div"), { width: 900, height: 220, varMin });
    histogram.setScores(pair.scores.filter((s) => s !== null));

    add(section, "h3", "Scores frame by frame, with the touches");
    const label = add(section, "label", "Touches for ");
    const choice = add(label, "select");
    pair.replays.forEach((replay, r) => {
      const option = add(choice, "option", `img_num ${replay.rules.img_num}, min_img_num ${replay.rules.min_img_num}`);
      option.value = String(r);
    });
    const timeline = new bioCharts.Timeline(add(section, "div"), { width: 900, height: 320, xLabel: "record", varMin });
    const xs = pair.scores.map((_, i) => i);
    const show = () => {
      const replay = pair.replays[Number(choice.value)];
      timeline.setData(xs, pair.scores, replay ? replay.touches : [], 0);
    };
    choice.addEventListener("change", show);
    show();
  });
})();
