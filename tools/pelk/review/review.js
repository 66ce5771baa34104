// The review page: everything it shows comes from data.js (window.PELK_REVIEW)
// and the images beside it; it makes no network request.
(function () {
  "use strict";
  const data = window.PELK_REVIEW;
  const svgNs = "http://www.w3.org/2000/svg";
  const $ = (id) => document.getElementById(id);
  const svg = (tag, attrs) => {
    const e = document.createElementNS(svgNs, tag);
    for (const [k, v] of Object.entries(attrs || {})) e.setAttribute(k, v);
    return e;
  };
  let current = 0;

  function header() {
    document.title = "pelk review: " + data.clip;
    $("title").textContent = "Review of " + data.clip;
    const overlapFrames = data.frame_status.filter((s) => s & 1).length;
    const vanishedFrames = data.frame_status.filter((s) => s & 2).length;
    $("summary").textContent = data.frames + " frames, " + data.boxes.length + " boxes; " + overlapFrames +
      " frames with masks lying on each other, " + vanishedFrames + " frames with a vanished mask; " +
      data.flagged.length + " flagged frames shown";
  }

  function timeline() {
    const width = Math.max(data.frames, 1);
    const rows = data.episodes.length;
    const height = 24 + rows * 12;
    const root = svg("svg", { viewBox: "0 0 " + width + " " + height, preserveAspectRatio: "none", height: 40 + rows * 14 });
    data.frame_status.forEach((status, frame) => {
      const mark = svg("rect", { x: frame, y: 0, width: 1, height: 20, class: "mark mark-" + status, "data-frame": frame });
      const title = svg("title");
      title.textContent = "frame " + frame;
      mark.appendChild(title);
      mark.addEventListener("click", () => {
        const i = data.flagged.findIndex((f) => f.frame === frame);
        if (i >= 0) show(i);
      });
      root.appendChild(mark);
    });
    data.episodes.forEach((e, i) => {
      const bar = svg("rect", { x: e.first, y: 24 + i * 12, width: e.last - e.first + 1, height: 9, class: "episode",
                                "data-episode": e.pair });
      const title = svg("title");
      title.textContent = e.pair + ": frames " + e.first + " to " + e.last;
      bar.appendChild(title);
      root.appendChild(bar);
    });
    $("timeline").appendChild(root);
  }

  function areas() {
    for (const box of data.boxes) {
      const values = data.areas[box];
      const max = Math.max(1, ...values);
      const row = document.createElement("div");
      row.className = "strip";
      row.setAttribute("data-box", box);
      const label = document.createElement("span");
      label.textContent = box;
      const chart = svg("svg", { viewBox: "0 0 " + Math.max(values.length - 1, 1) + " 30", preserveAspectRatio: "none", height: 30 });
      chart.appendChild(svg("polyline", { points: values.map((v, i) => i + "," + (29 - 28 * v / max)).join(" "),
                                          "vector-effect": "non-scaling-stroke" }));
      values.forEach((v, i) => { if (v === 0) chart.appendChild(svg("rect", { x: i, y: 0, width: 1, height: 30, class: "zero" })); });
      row.append(label, chart);
      $("areas").appendChild(row);
    }
  }

  function show(i) {
    if (data.flagged.length === 0) {
      $("flagged-position").textContent = "no flagged frame";
      return;
    }
    current = Math.max(0, Math.min(i, data.flagged.length - 1));
    const f = data.flagged[current];
    $("flagged-annotated").src = f.annotated;
    $("flagged-heatmap").src = f.heatmap;
    $("flagged-position").textContent = "frame " + f.frame + " (" + (current + 1) + " of " + data.flagged.length + ")";
    $("flagged-position").setAttribute("data-current-frame", f.frame);
    $("flagged-notes").textContent = f.notes;
    document.querySelectorAll(".mark.current").forEach((m) => m.classList.remove("current"));
    const mark = document.querySelector('.mark[data-frame="' + f.frame + '"]');
    if (mark) mark.classList.add("current");
  }

  function measures() {
    const m = data.measures;
    if (!m) return;
    const pct = (v) => (v === null || v === undefined ? "n/a" : (100 * v).toFixed(1) + "%");
    $("measures-section").hidden = false;
    $("measures-summary").textContent = "IDF1 " + pct(m.idf1) + " (ID precision " + pct(m.idp) + ", ID recall " +
      pct(m.idr) + "), MOTA " + pct(m.mota) + ", " + m.switches + " identity switches, " + m.misses + " misses, " +
      m.false_positives + " false positives, mean mask IoU " + (m.mean_iou === null ? "n/a" : m.mean_iou.toFixed(3)) + " over " + m.frames + " frames.";
    const table = $("measures-table");
    const head = table.insertRow();
    ["Truth", "Frames", "Tracked", "As", "Under own identity", "Under another", "Which"].forEach((t) => {
      const th = document.createElement("th");
      th.textContent = t;
      head.appendChild(th);
    });
    for (const r of m.identities) {
      const row = table.insertRow();
      r.forEach((v) => { row.insertCell().textContent = v; });
      if (r[5] > 0) row.className = "other-identity";
    }
  }

  function resolution() {
    const r = data.resolution;
    if (!r) return;
    $("resolution-section").hidden = false;
    $("resolution-summary").textContent = r.box
      ? "Episode from frame " + r.test_frame + ", compared with frame " + r.reference_frame + ": " + r.box +
        " most likely carries the identity error."
      : "No box could be voted: " + r.message;
    const table = $("resolution-table");
    const head = table.insertRow();
    ["Frame"].concat(r.boxes).forEach((t) => { const th = document.createElement("th"); th.textContent = t; head.appendChild(th); });
    for (const f of r.frames) {
      const row = table.insertRow();
      row.insertCell().textContent = f.frame;
      f.scores.forEach((s, i) => {
        const cell = row.insertCell();
        cell.textContent = s === null ? "inf" : s.toFixed(3);
        if (r.boxes[i] === f.worst) cell.className = "worst";
      });
    }
  }

  function report() {
    const table = $("report-table");
    const headRow = table.tHead.insertRow();
    data.columns.forEach((name, c) => {
      const th = document.createElement("th");
      th.textContent = name;
      th.addEventListener("click", () => sortBy(c, th));
      headRow.appendChild(th);
    });
    const body = table.tBodies[0];
    for (const values of data.rows) {
      const row = body.insertRow();
      const boxes = [values[1], values[6]].filter(Boolean).join("-").split("-");
      row.setAttribute("data-boxes", " " + boxes.join(" ") + " ");
      values.forEach((v) => { row.insertCell().textContent = v === null ? "" : v; });
    }
    for (const box of data.boxes) {
      const option = document.createElement("option");
      option.value = option.textContent = box;
      $("box-filter").appendChild(option);
    }
    $("box-filter").addEventListener("change", filter);
    for (const name of data.downloads) {
      const a = document.createElement("a");
      a.href = name;
      a.download = name;
      a.textContent = "download " + name;
      $("downloads").appendChild(a);
    }
    filter();
  }

  function filter() {
    const box = $("box-filter").value;
    let shown = 0;
    for (const row of $("report-table").tBodies[0].rows) {
      const visible = !box || row.getAttribute("data-boxes").includes(" " + box + " ");
      row.classList.toggle("hidden", !visible);
      shown += visible;
    }
    $("row-count").textContent = shown + " of " + data.rows.length + " rows";
    $("row-count").setAttribute("data-shown", shown);
  }

  function sortBy(column, th) {
    const body = $("report-table").tBodies[0];
    const ascending = !th.classList.contains("sorted-asc");
    document.querySelectorAll("#report-table th").forEach((h) => h.classList.remove("sorted-asc", "sorted-desc"));
    th.classList.add(ascending ? "sorted-asc" : "sorted-desc");
    const key = (row) => {
      const text = row.cells[column].textContent;
      const number = Number(text);
      return text !== "" && !Number.isNaN(number) ? number : text;
    };
    const rows = Array.from(body.rows).sort((a, b) => {
      const x = key(a), y = key(b);
      const order = x < y ? -1 : x > y ? 1 : 0;
      return ascending ? order : -order;
    });
    rows.forEach((r) => body.appendChild(r));
  }

  document.addEventListener("keydown", (event) => {
    if (event.target && event.target.tagName === "SELECT") return;
    if (event.key === "ArrowRight") show(current + 1);
    if (event.key === "ArrowLeft") show(current - 1);
  });
  $("prev").addEventListener("click", () => show(current - 1));
  $("next").addEventListener("click", () => show(current + 1));

  header();
  timeline();
  areas();
  show(0);
  measures();
  resolution();
  report();
  document.body.setAttribute("data-ready", "true");
})();
