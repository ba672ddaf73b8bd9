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
