// bio-tune's report: for every bsize/step pair, the suggestion as bio-tune printed it, the score
// histogram with the suggested var_min, and the score timeline with the touches of each replay.
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

  data.pairs.forEach((pair, p) => {
    const section = add(main, "section");
    section.className = "pair";
    section.id = `pair-${p}`;
    add(section, "h2", `bsize ${pair.bsize}, step ${pair.step}`);
    add(section, "pre", pair.text.join("\n"));
    const varMin = pair.var_min;

    add(section, "h3", "Scores of all frames");
    const histogram = new bioCharts.Histogram(add(section, "div"), { width: 900, height: 220, varMin });
    histogram.setScores(pair.scores);

    add(section, "h3", "Scores frame by frame, with the touches");
    const label = add(section, "label", "Touches for ");
    const choice = add(label, "select");
    pair.replays.forEach((replay, r) => {
      const option = add(choice, "option", `img_num ${replay.rules.img_num}, min_img_num ${replay.rules.min_img_num}`);
      option.value = String(r);
    });
    const timeline = new bioCharts.Timeline(add(section, "div"), { width: 900, height: 320, xLabel: "frame", varMin });
    const xs = pair.scores.map((_, i) => i);
    const show = () => {
      const replay = pair.replays[Number(choice.value)];
      timeline.setData(xs, pair.scores, replay ? replay.touches : [], 0);
    };
    choice.addEventListener("change", show);
    show();
  });
})();
