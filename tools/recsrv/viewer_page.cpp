#include "viewer_page.h"

namespace vorla::recsrv {

namespace {

constexpr const char* kHead = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Vorla recordings</title>
<style>
:root { --ink: #1d2733; --muted: #5f6b7a; --line: #d8dee6; --paper: #ffffff; --ground: #f1f4f8;
        --seg: #3d7bd9; --seg-off: #9aa7b8; --event: #e07b18; --bad: #b3261e; }
* { box-sizing: border-box; }
body { margin: 0; font: 14px/1.4 system-ui, -apple-system, "Segoe UI", sans-serif; color: var(--ink);
       background: var(--ground); }
header { background: #22303f; color: #fff; padding: 14px 24px; display: flex; align-items: baseline;
         gap: 16px; }
header h1 { font-size: 20px; margin: 0; font-weight: 600; }
header .sub { color: #b9c4d0; font-size: 13px; }
main { padding: 16px 24px 40px; max-width: 1400px; }
h2 { font-size: 16px; margin: 22px 0 8px; }
.card { background: var(--paper); border: 1px solid var(--line); border-radius: 8px; padding: 14px 16px;
        margin-bottom: 16px; }
table { border-collapse: collapse; width: 100%; }
th, td { text-align: left; padding: 4px 10px 4px 0; border-bottom: 1px solid var(--line);
         vertical-align: top; }
th { color: var(--muted); font-weight: 500; font-size: 12px; }
.session-head { display: flex; flex-wrap: wrap; gap: 6px 22px; align-items: baseline; }
.session-head h3 { margin: 0; font-size: 16px; }
.meta { color: var(--muted); }
.badge { display: inline-block; padding: 1px 8px; border-radius: 10px; font-size: 12px;
         background: #e4ebf5; color: #27456f; }
.badge.open { background: #fbe7cf; color: #7a4304; }
.badge.plain { background: #eee; color: #555; }
.timeline { position: relative; height: 64px; margin: 14px 0 6px; background: #f6f8fb;
            border: 1px solid var(--line); border-radius: 6px; }
.timeline .seg { position: absolute; top: 10px; height: 20px; background: var(--seg); border-radius: 4px;
                 min-width: 3px; color: #fff; font-size: 11px; line-height: 20px; padding: 0 5px;
                 overflow: hidden; white-space: nowrap; }
.timeline .seg.noplay { background: var(--seg-off); }
.timeline .ev { position: absolute; top: 34px; height: 24px; min-width: 4px; border-left: 3px solid var(--event);
                background: rgba(224,123,24,0.18); cursor: pointer; font-size: 11px; line-height: 24px;
                padding: 0 5px; white-space: nowrap; overflow: hidden; color: #6d3a06; border-radius: 0 4px 4px 0; }
.timeline .ev:hover, .events tr:hover { background: rgba(224,123,24,0.32); }
.axis { display: flex; justify-content: space-between; color: var(--muted); font-size: 11px; }
.segments { display: grid; grid-template-columns: repeat(auto-fill, minmax(420px, 1fr)); gap: 14px;
            margin-top: 12px; }
.segment { border: 1px solid var(--line); border-radius: 6px; padding: 10px; background: #fbfcfe; }
.segment.flash { outline: 3px solid var(--event); }
.segment h4 { margin: 0 0 6px; font-size: 14px; }
.segment video { width: 100%; background: #000; border-radius: 4px; display: block; aspect-ratio: 16 / 9; }
.noplay-box { aspect-ratio: 16 / 9; display: flex; align-items: center; justify-content: center;
              text-align: center; padding: 16px; background: repeating-linear-gradient(45deg, #eef1f5,
              #eef1f5 10px, #e4e8ee 10px, #e4e8ee 20px); border-radius: 4px; color: var(--muted); }
.noplay-box strong { display: block; color: var(--ink); margin-bottom: 4px; }
.stats { color: var(--muted); font-size: 12px; margin-top: 6px; }
.stats .bad { color: var(--bad); font-weight: 600; }
.events { margin-top: 12px; }
.events tr { cursor: pointer; }
.empty { color: var(--muted); font-style: italic; }
#viewer-check { display: none; }
</style>
</head>
<body>
<header><h1>Vorla recordings</h1><span class="sub" id="sub"></span></header>
<main id="main"></main>
<pre id="viewer-check" data-state="pending">pending</pre>
<script type="application/json" id="vorla-index">
)PAGE";

constexpr const char* kTail = R"PAGE(
</script>
<script>
"use strict";
(function () {
  const main = document.getElementById("main");
  const check = document.getElementById("viewer-check");
  let indexText = document.getElementById("vorla-index").textContent;
  let checkRun = 0;

  function el(tag, attrs, ...children) {
    const e = document.createElement(tag);
    for (const [k, v] of Object.entries(attrs || {})) {
      if (k === "class") e.className = v; else if (k === "style") e.style.cssText = v;
      else if (k.startsWith("on")) e.addEventListener(k.slice(2), v); else e.setAttribute(k, v);
    }
    for (const c of children) if (c !== null && c !== undefined)
      e.appendChild(typeof c === "string" ? document.createTextNode(c) : c);
    return e;
  }
  const pad = (n) => String(n).padStart(2, "0");
  function when(ms) {
    if (!ms) return "-";
    const d = new Date(Number(ms));
    return d.getFullYear() + "-" + pad(d.getMonth() + 1) + "-" + pad(d.getDate()) + " " +
           pad(d.getHours()) + ":" + pad(d.getMinutes()) + ":" + pad(d.getSeconds());
  }
  const clock = (ms) => when(ms).slice(11);
  function span(ms) {
    const s = Math.max(0, Math.round(ms / 100) / 10);
    return s < 60 ? s + " s" : Math.floor(s / 60) + " min " + Math.round(s % 60) + " s";
  }
  function bytes(n) {
    n = Number(n);
    if (n < 1024) return n + " B";
    if (n < 1048576) return (n / 1024).toFixed(1) + " KB";
    return (n / 1048576).toFixed(1) + " MB";
  }

  // Where a segment's picture ends, as far as the index knows.
  const segEnd = (g) => Math.max(Number(g.end_time) || 0, Number(g.last_capture_time) || 0,
                                 Number(g.start_time) || 0);
  // The segment (with a playable file) that shows the event's start, and the time in its file.
  function placeEvent(session, ev) {
    const t = Number(ev.start_time);
    let best = null;
    for (const g of session.segments) {
      if (!g.webm) continue;
      const from = Number(g.webm_origin), to = segEnd(g);
      if (t >= Number(g.start_time) - 1000 && t <= to + 1000) { best = g; break; }
      if (!best && from >= t) best = g;
    }
    if (!best) return null;
    const v = document.getElementById("video-" + best.id);
    const seconds = Math.max(0, (t - Number(best.webm_origin)) / 1000);
    return { segment: best, video: v, seconds };
  }
  function jump(session, ev) {
    const p = placeEvent(session, ev);
    if (!p || !p.video) return;
    const card = p.video.closest(".segment");
    card.scrollIntoView({ block: "center" });
    card.classList.add("flash");
    setTimeout(() => card.classList.remove("flash"), 1200);
    const d = p.video.duration;
    p.video.currentTime = isFinite(d) && d > 0 ? Math.min(p.seconds, d) : p.seconds;
  }

  function segmentCard(g) {
    const head = el("h4", {}, g.id + "  ",
                    el("span", { class: "meta" }, g.codec + " " + g.rect[2] + "x" + g.rect[3] +
                       ", " + g.frame_rate + " fps"));
    let body;
    if (g.webm) {
      body = el("video", { id: "video-" + g.id, src: g.webm, controls: "", preload: "metadata",
                           muted: "", playsinline: "", "data-segment": g.id });
    } else {
      body = el("div", { class: "noplay-box" },
                el("div", {}, el("strong", {}, "No playable file"), g.webm_note || "no WebM file"));
    }
    const failures = Number(g.digest_failures);
    const stats = el("div", { class: "stats" },
      when(g.start_time) + " to " + (g.open ? "(recording)" : clock(g.end_time)) + " · " +
      g.frames + " frames (" + g.key_frames + " key), " + bytes(g.bytes) +
      (g.webm ? " · file: " + g.webm_frames + " frames" : "") + " · digests " + g.digests_checked +
      " checked",
      failures ? el("span", { class: "bad" }, ", " + failures + " failed") : null,
      Number(g.undeciphered_frames) ? el("span", { class: "bad" },
                                          ", " + g.undeciphered_frames + " not deciphered") : null);
    return el("div", { class: "segment", id: "segment-" + g.id }, head, body, stats);
  }

  function timeline(s) {
    let from = Number(s.start_time) || Infinity, to = Number(s.end_time) || 0;
    for (const g of s.segments) { from = Math.min(from, Number(g.start_time) || from);
                                  to = Math.max(to, segEnd(g)); }
    for (const e of s.events) { from = Math.min(from, Number(e.start_time) || from);
                                to = Math.max(to, Number(e.end_time) || 0, Number(e.start_time) || 0); }
    if (!isFinite(from) || to <= from) to = from + 1000;
    const pct = (t) => ((t - from) * 100 / (to - from)).toFixed(3) + "%";
    const width = (a, b) => Math.max(0.3, (b - a) * 100 / (to - from)).toFixed(3) + "%";
    const bar = el("div", { class: "timeline" });
    for (const g of s.segments) {
      bar.appendChild(el("div", { class: "seg" + (g.webm ? "" : " noplay"), title: g.id,
                                  style: "left:" + pct(Number(g.start_time)) + ";width:" +
                                         width(Number(g.start_time), segEnd(g)) }, g.id.slice(-5)));
    }
    for (const e of s.events) {
      const a = Number(e.start_time), b = e.open ? to : Math.max(a, Number(e.end_time));
      bar.appendChild(el("div", { class: "ev", title: e.id + " (rule " + e.rule + ")",
                                  style: "left:" + pct(a) + ";width:" + width(a, b),
                                  onclick: () => jump(s, e) }, e.id));
    }
    return [bar, el("div", { class: "axis" }, el("span", {}, clock(from)), el("span", {}, clock(to)))];
  }

  function sessionCard(s) {
    const enc = s.enciphered ? el("span", { class: "badge" }, "frames enciphered")
                             : el("span", { class: "badge plain" }, "frames plain");
    const head = el("div", { class: "session-head" },
      el("h3", {}, s.user + " on " + s.workstation), el("span", { class: "meta" }, s.id),
      el("span", {}, when(s.start_time) + " to " + (s.open ? "" : when(s.end_time))),
      s.open ? el("span", { class: "badge open" }, "open") : null, enc,
      el("span", { class: "meta" }, s.rules + " rules, " + s.segments.length + " segments, " +
         s.events.length + " events"));
    const card = el("section", { class: "card", id: "session-" + s.id }, head, ...timeline(s));
    if (s.events.length) {
      const rows = s.events.map((e) => el("tr", { onclick: () => jump(s, e) },
        el("td", {}, e.id), el("td", {}, String(e.rule)), el("td", {}, when(e.start_time)),
        el("td", {}, e.open ? "(open)" : clock(e.end_time)),
        el("td", {}, e.open ? "-" : span(Number(e.end_time) - Number(e.start_time))),
        el("td", {}, bytes(e.recorded_bytes))));
      card.appendChild(el("table", { class: "events" },
        el("tr", {}, ...["event", "rule", "start", "end", "length", "recorded"].map((h) => el("th", {}, h))),
        ...rows));
    }
    const segs = el("div", { class: "segments" });
    for (const g of s.segments) segs.appendChild(segmentCard(g));
    if (!s.segments.length) segs.appendChild(el("div", { class: "empty" }, "No segments."));
    card.appendChild(segs);
    return card;
  }

  function render(data) {
    main.textContent = "";
    main.appendChild(el("h2", {}, "Workstations"));
    const ws = el("div", { class: "card" });
    if (data.workstations.length) {
      ws.appendChild(el("table", {},
        el("tr", {}, ...["name", "address", "peer", "registrations", "last status"].map((h) => el("th", {}, h))),
        ...data.workstations.map((w) => el("tr", {}, el("td", {}, w.name), el("td", {}, w.address),
          el("td", {}, w.peer), el("td", {}, String(w.registrations)),
          el("td", {}, w.status_messages ? "0x" + Number(w.last_status_code).toString(16) : "-")))));
    } else {
      ws.appendChild(el("div", { class: "empty" }, "No workstation has registered yet."));
    }
    main.appendChild(ws);
    main.appendChild(el("h2", {}, "Sessions"));
    if (!data.sessions.length) main.appendChild(el("div", { class: "card empty" }, "No sessions yet."));
    for (const s of data.sessions.slice().reverse()) main.appendChild(sessionCard(s));
    document.getElementById("sub").textContent = data.sessions.length + " sessions · shown " +
      when(Date.now()) + (location.protocol.startsWith("http") ? " · live" : "");
    selfCheck(data);
  }

  // Every player loads its metadata (a duration above 0) and seeks to the start of an event it
  // shows (else to its middle); the outcome goes into #viewer-check.
  function selfCheck(data) {
    const run = ++checkRun;
    check.dataset.state = "pending";
    check.textContent = "pending";
    const jobs = [];
    for (const s of data.sessions) for (const g of s.segments) {
      if (!g.webm) continue;
      const v = document.getElementById("video-" + g.id);
      let target = null;
      for (const e of s.events) {
        const p = placeEvent(s, e);
        if (p && p.segment === g) { target = p.seconds; break; }
      }
      jobs.push(new Promise((resolve) => {
        const fail = (why) => {
          const card = v.closest(".segment");
          const box = el("div", { class: "noplay-box" },
                         el("div", {}, el("strong", {}, "The file does not play"), why));
          if (v.parentNode) v.replaceWith(box);
          card.dataset.failed = "1";
          resolve({ segment: g.id, ok: false, why });
        };
        const timer = setTimeout(() => fail("no metadata after 15 s"), 15000);
        v.addEventListener("error", () => { clearTimeout(timer);
          fail("error " + (v.error ? v.error.code + " " + v.error.message : "")); }, { once: true });
        const seek = () => {
          const d = v.duration;
          if (!(d > 0)) { clearTimeout(timer); fail("duration " + d); return; }
          const t = target === null ? d / 2 : Math.min(target, d);
          v.addEventListener("seeked", () => { clearTimeout(timer);
            resolve({ segment: g.id, ok: true, duration: d, seeked: v.currentTime }); }, { once: true });
          v.currentTime = t;
        };
        if (v.readyState >= 1) seek(); else v.addEventListener("loadedmetadata", seek, { once: true });
      }));
    }
    Promise.all(jobs).then((results) => {
      if (run !== checkRun) return;
      const failed = results.filter((r) => !r.ok);
      check.textContent = JSON.stringify({ videos: results.length, failed: failed.length, results });
      check.dataset.state = failed.length ? "failed" : "ok";
    });
  }

  render(JSON.parse(indexText));
  if (location.protocol.startsWith("http")) {
    setInterval(() => {
      fetch("index.json", { cache: "no-store" }).then((r) => r.ok ? r.text() : null).then((t) => {
        if (t && t !== indexText) { indexText = t; render(JSON.parse(t)); }
      }).catch(() => {});
    }, 3000);
  }
})();
</script>
</body>
</html>
)PAGE";

}  // namespace

std::string ViewerPage(const std::string& index_json) {
  std::string page = kHead;
  page.reserve(page.size() + index_json.size() + 16384);
  // '<' only occurs inside strings of the index: escaped, no text can end the script element.
  for (char c : index_json) {
    if (c == '<') {
      page += "\\u003C";
    } else {
      page += c;
    }
  }
  page += kTail;
  return page;
}

}  // namespace vorla::recsrv
