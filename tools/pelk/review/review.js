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
  // "1 frame", "3 frames".
  const counted = (n, one, many) => n + " " + (n === 1 ? one : many || one + "s");

  function header() {
    document.title = "pelk review: " + data.clip;
    $("title").textContent = "Review of " + data.clip;
    const overlapFrames = data.frame_status.filter((s) => s & 1).length;
    const vanishedFrames = data.frame_status.filter((s) => s & 2).length;
    $("summary").textContent = counted(data.frames, "frame") + ", " + counted(data.boxes.length, "box", "boxes") + "; " +
      counted(overlapFrames, "frame") + " with masks lying on each other, " + counted(vanishedFrames, "frame") +
      " with a vanished mask; " + counted(data.flagged.length, "flagged frame") + " shown";
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
      mark.addEventListener("click", () => goTo(frame));
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
    if (typeof frame !== "undefined" && frame !== f.frame && proof.length) { frame = f.frame; drawFrame(); renderCards(); }
    drawFlagged();
    heat($("flagged-heat"), f.heat);
    $("flagged-position").textContent = "frame " + f.frame + " (" + (current + 1) + " of " + data.flagged.length + ")";
    $("flagged-position").setAttribute("data-current-frame", f.frame);
    $("flagged-notes").textContent = f.notes;
    document.querySelectorAll(".mark.current").forEach((m) => m.classList.remove("current"));
    const mark = document.querySelector('.mark[data-frame="' + f.frame + '"]');
    if (mark) mark.classList.add("current");
  }

  // matplotlib's "Reds" at 0, 25, 50, 75 and 100 %, interpolated.
  const reds = [[255, 245, 240], [252, 187, 161], [251, 106, 74], [203, 24, 29], [103, 0, 13]];
  function redOf(percent) {
    const t = Math.max(0, Math.min(1, (percent || 0) / 100)) * (reds.length - 1);
    const i = Math.min(reds.length - 2, Math.floor(t)), u = t - i;
    return "rgb(" + reds[i].map((c, k) => Math.round(c + (reds[i + 1][k] - c) * u)).join(",") + ")";
  }

  // A frame's intersections table as a heat map: cell r, c is the share of
  // mask r covered by mask c, in percent.
  function heat(table, h) {
    table.textContent = "";
    if (!h) return;
    const head = table.insertRow();
    head.appendChild(document.createElement("th"));
    for (const key of h.keys) {
      const th = document.createElement("th");
      th.textContent = key;
      head.appendChild(th);
    }
    h.values.forEach((row, r) => {
      const tr = table.insertRow();
      const th = document.createElement("th");
      th.textContent = h.keys[r];
      tr.appendChild(th);
      for (const v of row) {
        const td = tr.insertCell();
        td.textContent = v === null ? "n/a" : v.toFixed(2);
        td.style.background = redOf(v);
        td.style.color = v > 60 ? "#fff" : "#000";
      }
    });
  }

  // The flagged frame's masks over its frame image, drawn from the outlines
  // as proofreading draws them; a picture file only where the page cannot
  // reach the frame image.
  function drawFlagged() {
    const f = data.flagged[current];
    if (!f) return;
    const picture = $("flagged-annotated"), canvas = $("flagged-canvas");
    picture.hidden = !f.annotated;
    canvas.hidden = !!f.annotated;
    if (f.annotated) {
      picture.src = f.annotated;
    } else {
      draw(canvas, f.frame);
    }
  }

  // The day chain's boundary verdict and the repair's, as their manifests say them.
  function identityChanges() {
    const changes = data.identity_changes || [];
    if (!changes.length) return;
    $("changes-section").hidden = false;
    const list = $("changes-list");
    changes.forEach((c) => {
      const item = document.createElement("li");
      item.textContent = c.kind + (c.applied ? "" : " (unfinished)") + ": " + c.description + " (" +
        counted(c.files, "file") + "; undo: " + c.undo + ")";
      list.appendChild(item);
    });
  }

  function measures() {
    const m = data.measures;
    if (!m) return;
    const pct = (v) => (v === null || v === undefined ? "n/a" : (100 * v).toFixed(1) + "%");
    $("measures-section").hidden = false;
    $("measures-summary").textContent = "HOTA " + pct(m.hota) + " (DetA " + pct(m.deta) + ", AssA " + pct(m.assa) +
      "), IDF1 " + pct(m.idf1) + " (ID precision " + pct(m.idp) + ", ID recall " +
      pct(m.idr) + "), MOTA " + pct(m.mota) + ", " + counted(m.switches, "identity switch", "identity switches") + ", " +
      counted(m.misses, "miss", "misses") + ", " + counted(m.false_positives, "false positive") + ", mean mask IoU " +
      (m.mean_iou === null ? "n/a" : m.mean_iou.toFixed(3)) + " over " + counted(m.frames, "frame") + ".";
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

  // ---- Proofreading: every frame drawn from its outlines, the repair's
  // verdicts as decisions to accept or override, exchanges by hand, all kept
  // in the browser and exported as a corrections file for
  // `pelk repair ANN --apply corrections.json`.
  const proof = data.proof || [];
  // Okabe-Ito colours (told apart with the common colour-vision
  // deficiencies), then two more; every outline also carries its key.
  const palette = ["#E69F00", "#56B4E9", "#009E73", "#F0E442", "#0072B2", "#D55E00", "#CC79A7", "#000000", "#999999", "#882255"];
  const colourOf = (key) => palette[Math.max(0, data.boxes.indexOf(key)) % palette.length];
  const storageKey = "pelk-proofreading:" + data.fingerprint;
  let frame = 0;
  let decisions = [];
  const images = {};
  try { decisions = JSON.parse(window.localStorage.getItem(storageKey) || "[]"); } catch (e) { decisions = []; }
  const cards = (data.verdicts || data.episodes.map((e) => ({
    boxes: e.pair.split("-").sort(), kind: "overlap", first: e.first, last: e.last, before: e.first - 1, after: e.last + 1,
    verdict: "unclear", reason: "no verdict: run pelk review --resolve for the repair's verdicts", keep_cost: null, swap_cost: null,
  }))).filter((c, i, all) => all.findIndex((o) => o.first === c.first && o.boxes.join() === c.boxes.join()) === i);

  function save() {
    try { window.localStorage.setItem(storageKey, JSON.stringify(decisions)); } catch (e) { /* storage off: kept for this visit */ }
    renderDecisions();
    drawFrame();
    renderCards();
  }

  // The key each stored box is shown under at frame f: exchanges from
  // their frame on, in frame order (as the corrected files will hold them).
  function labels(f) {
    const label = {};
    data.boxes.forEach((b) => { label[b] = b; });
    decisions.filter((d) => d.action === "exchange" && d.frame <= f).sort((x, y) => x.frame - y.frame).forEach((d) => {
      const [a, b] = d.boxes;
      for (const k of Object.keys(label)) {
        if (label[k] === a) label[k] = b; else if (label[k] === b) label[k] = a;
      }
    });
    return label;
  }

  function imageOf(f) {
    const src = proof[f] && proof[f].image;
    if (!src) return null;
    if (!images[src]) {
      images[src] = new Image();
      images[src].onload = () => { drawFrame(); renderCards(); drawFlagged(); };
      images[src].src = src;
    }
    return images[src].complete && images[src].naturalWidth > 0 ? images[src] : null;
  }

  // Draws frame f into `canvas`; `only` highlights two boxes (the others dimmed).
  function draw(canvas, f, only) {
    const p = proof[f];
    if (!p) return;
    const scale = Math.min(1, (canvas.getAttribute("data-width") || 720) / Math.max(1, p.width));
    canvas.width = Math.max(1, Math.round(p.width * scale));
    canvas.height = Math.max(1, Math.round(p.height * scale));
    const g = canvas.getContext("2d");
    g.fillStyle = "#555";
    g.fillRect(0, 0, canvas.width, canvas.height);
    const picture = imageOf(f);
    if (picture) g.drawImage(picture, 0, 0, canvas.width, canvas.height);
    canvas.setAttribute("data-frame", f);
    canvas.setAttribute("data-picture", picture ? "frame image" : "none");
    const label = labels(f);
    for (const [box, polygons] of Object.entries(p.boxes)) {
      const shown = label[box] || box;
      const dim = only && !only.includes(shown);
      g.globalAlpha = dim ? 0.15 : 1;
      g.strokeStyle = g.fillStyle = colourOf(shown);
      g.lineWidth = only && !dim ? 3 : 2;
      let minX = Infinity, minY = Infinity, maxX = -Infinity;
      for (const poly of polygons) {
        g.beginPath();
        for (let i = 0; i < poly.length; i += 2) {
          const x = poly[i] * scale, y = poly[i + 1] * scale;
          if (i === 0) g.moveTo(x, y); else g.lineTo(x, y);
          minX = Math.min(minX, x); minY = Math.min(minY, y); maxX = Math.max(maxX, x);
        }
        g.closePath();
        g.globalAlpha = dim ? 0.05 : 0.3;
        g.fill();
        g.globalAlpha = dim ? 0.15 : 1;
        g.stroke();
      }
      if (minX < Infinity) {
        g.font = "bold 13px 'Liberation Sans', Arial, sans-serif";
        const w = g.measureText(shown).width + 6;
        g.fillStyle = "#fff";
        g.fillRect((minX + maxX) / 2 - w / 2, minY, w, 16);
        g.fillStyle = "#000";
        g.fillText(shown, (minX + maxX) / 2 - w / 2 + 3, minY + 12);
      }
    }
    g.globalAlpha = 1;
  }

  function drawFrame() {
    if (!proof.length) return;
    draw($("proof-canvas"), frame);
    $("proof-frame").textContent = "frame " + frame + " of " + (proof.length - 1) +
      (data.frame_status[frame] ? " (flagged)" : "");
    $("proof-frame").setAttribute("data-frame", frame);
    $("scrubber").value = frame;
  }

  // Goes to frame f: the drawing, the scrubber, and the flagged pictures
  // when f is a pictured flagged frame.
  function goTo(f) {
    frame = Math.max(0, Math.min(f, Math.max(proof.length, data.frames) - 1));
    drawFrame();
    const i = data.flagged.findIndex((x) => x.frame === frame);
    if (i >= 0) show(i);
    else {
      $("flagged-position").textContent = "frame " + frame + " is not a pictured flagged frame";
      $("flagged-position").setAttribute("data-current-frame", frame);
    }
    renderCards();
  }

  // Frames worth a stop: flagged frames and episode starts.
  function stops() {
    const s = new Set(cards.map((c) => c.first));
    data.frame_status.forEach((v, f) => { if (v) s.add(f); });
    return Array.from(s).sort((a, b) => a - b);
  }

  function currentCard() {
    let best = -1;
    cards.forEach((c, i) => { if (c.first <= frame + 0 && (best < 0 || c.first >= cards[best].first)) best = i; });
    return best >= 0 ? best : (cards.length ? 0 : -1);
  }

  function decisionOf(card) {
    return decisions.find((d) => d.source === "verdict" && d.frame === card.last + 1 && d.boxes.join() === card.boxes.join());
  }

  function decide(i, action) {
    const card = cards[i];
    if (!card) return;
    decisions = decisions.filter((d) => d !== decisionOf(card));
    decisions.push({ frame: card.last + 1, boxes: card.boxes.slice(), action: action, source: "verdict" });
    save();
  }

  function renderCards() {
    const root = $("episode-cards");
    root.textContent = "";
    const active = currentCard();
    cards.forEach((c, i) => {
      const card = document.createElement("div");
      card.className = "card" + (i === active ? " active" : "");
      card.setAttribute("data-card", c.boxes.join("-") + "@" + c.first);
      const title = document.createElement("h3");
      title.textContent = c.boxes.join(" and ") + ": " + c.kind + ", frames " + c.first + " to " + c.last;
      title.addEventListener("click", () => goTo(c.first));
      const sides = document.createElement("div");
      sides.className = "sides";
      for (const f of [c.before, c.after]) {
        const canvas = document.createElement("canvas");
        canvas.setAttribute("data-width", 220);
        if (f !== null && f !== undefined && proof[f]) draw(canvas, f, c.boxes);
        canvas.title = f === null || f === undefined ? "no frame" : "frame " + f;
        sides.appendChild(canvas);
      }
      const verdict = document.createElement("p");
      verdict.textContent = "Verdict: " + c.verdict + ". " + c.reason;  // the reason names the cues and costs
      const chosen = decisionOf(c);
      card.setAttribute("data-decided", chosen ? chosen.action : "");
      const buttons = document.createElement("p");
      const button = (text, action) => {
        const b = document.createElement("button");
        b.type = "button";
        b.textContent = text;
        b.addEventListener("click", () => decide(i, action));
        buttons.appendChild(b);
      };
      if (c.verdict !== "unclear") button("accept: " + c.verdict + " (a)", c.verdict === "exchanged" ? "exchange" : "keep");
      button("kept (k)", "keep");
      button("exchanged (x)", "exchange");
      const state = document.createElement("span");
      state.className = "decided";
      state.textContent = chosen ? " decided: " + (chosen.action === "exchange" ? "exchange" : "keep") : " not decided";
      buttons.appendChild(state);
      card.append(title, sides, verdict, buttons);
      root.appendChild(card);
    });
  }

  function renderDecisions() {
    const list = $("decision-list");
    list.textContent = "";
    decisions.slice().sort((a, b) => a.frame - b.frame).forEach((d) => {
      const item = document.createElement("li");
      item.textContent = (d.action === "exchange" ? "exchange " : "keep ") + d.boxes.join(" and ") + " from frame " + d.frame +
        (d.source === "hand" ? " (by hand)" : " (episode)") + " ";
      const remove = document.createElement("button");
      remove.type = "button";
      remove.textContent = "remove";
      remove.addEventListener("click", () => { decisions = decisions.filter((x) => x !== d); save(); });
      item.appendChild(remove);
      list.appendChild(item);
    });
    $("decision-count").textContent = "(" + decisions.length + ")";
    $("decision-count").setAttribute("data-count", decisions.length);
  }

  function exchangeByHand() {
    const a = $("swap-a").value, b = $("swap-b").value;
    if (!a || !b || a === b) { $("swap-note").textContent = "pick two different boxes"; return; }
    const boxes = [a, b].sort();
    if (decisions.some((d) => d.frame === frame && d.boxes.join() === boxes.join())) {
      $("swap-note").textContent = "already decided at this frame";
      return;
    }
    $("swap-note").textContent = "";
    decisions.push({ frame: frame, boxes: boxes, action: "exchange", source: "hand" });
    save();
  }

  function corrections() {
    return JSON.stringify({ format: "pelk corrections", version: 1, clip: data.clip, fingerprint: data.fingerprint,
      frames: data.frames, decisions: decisions.map((d) => ({ frame: d.frame, boxes: d.boxes, action: d.action, source: d.source })) }, null, 1);
  }

  function exportCorrections() {
    const text = corrections();
    $("corrections-json").value = text;
    const link = $("export-link");
    link.href = URL.createObjectURL(new Blob([text], { type: "application/json" }));
    link.hidden = false;
    link.click();
  }

  function proofreading() {
    if (!proof.length) { $("proof-section").hidden = true; return; }
    $("scrubber").max = proof.length - 1;
    $("scrubber").addEventListener("input", () => goTo(Number($("scrubber").value)));
    $("proof-prev").addEventListener("click", () => goTo(frame - 1));
    $("proof-next").addEventListener("click", () => goTo(frame + 1));
    for (const id of ["swap-a", "swap-b"]) {
      for (const box of data.boxes) {
        const option = document.createElement("option");
        option.value = option.textContent = box;
        $(id).appendChild(option);
      }
    }
    if (data.boxes.length > 1) $("swap-b").value = data.boxes[1];
    $("swap-here").addEventListener("click", exchangeByHand);
    $("export").addEventListener("click", exportCorrections);
    $("help-close").addEventListener("click", () => { $("help").hidden = true; });
    renderDecisions();
  }

  document.addEventListener("keydown", (event) => {
    const tag = event.target && event.target.tagName;
    if (tag === "SELECT" || tag === "TEXTAREA" || (tag === "INPUT" && event.target.type !== "range")) return;
    const key = event.key;
    if (key === "ArrowRight" || key === "ArrowLeft") {
      if (tag === "INPUT") return;  // the scrubber moves itself
      goTo(frame + (key === "ArrowRight" ? 1 : -1));
    } else if (key === "PageDown" || key === "PageUp") {
      const s = stops();
      const next = key === "PageDown" ? s.find((f) => f > frame) : s.slice().reverse().find((f) => f < frame);
      if (next !== undefined) goTo(next);
    } else if (key === "a" || key === "k" || key === "x") {
      const i = currentCard();
      if (i < 0) return;
      const c = cards[i];
      if (key === "a" && c.verdict === "unclear") return;
      decide(i, key === "k" ? "keep" : key === "x" ? "exchange" : c.verdict === "exchanged" ? "exchange" : "keep");
    } else if (key === "e") {
      exchangeByHand();
    } else if (key === "s") {
      exportCorrections();
    } else if (key === "?") {
      $("help").hidden = !$("help").hidden;
    } else if (key === "Escape") {
      $("help").hidden = true;
    } else {
      return;
    }
    event.preventDefault();
  });
  // The plots of pelk behaviour over the recording, when the page was given them.
  function behaviour() {
    const b = data.behaviour;
    if (!b) return;
    $("behaviour-section").hidden = false;
    $("behaviour-summary").textContent = "From " + b.from + " (the recording's clips measured together). ";
    for (const f of b.files) {
      const a = document.createElement("a");
      a.href = f.src;
      a.textContent = f.src.replace("behaviour/", "");
      $("behaviour-summary").appendChild(a);
    }
    for (const p of b.plots) {
      const figure = document.createElement("figure");
      const img = document.createElement("img");
      img.src = p.src;
      img.alt = p.caption;
      const caption = document.createElement("figcaption");
      caption.textContent = p.caption;
      figure.appendChild(img);
      figure.appendChild(caption);
      $("behaviour-plots").appendChild(figure);
    }
  }

  $("prev").addEventListener("click", () => show(current - 1));
  $("next").addEventListener("click", () => show(current + 1));

  header();
  timeline();
  areas();
  show(0);
  proofreading();
  goTo(data.flagged.length ? data.flagged[0].frame : 0);
  identityChanges();
  measures();
  behaviour();
  resolution();
  report();
  document.body.setAttribute("data-ready", "true");
})();
