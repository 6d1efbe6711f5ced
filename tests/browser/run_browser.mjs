#!/usr/bin/env node
// Browser test: starts the real quillmere binary in a temporary folder with a
// generated document tree, drives Debian's chromium through playwright-core,
// and checks what a person would see: the listing with its icons, the
// in-page player and its keys, media and web types as the browser takes
// them, the debug panel, the about page and the built-in test page.
// Screenshots at desktop and phone widths are kept in the artifacts folder.
//
//   node run_browser.mjs --server path/to/quillmere --artifacts DIR [--timeout SECONDS]
//
// Prints one line per check and a closing "N passed, N failed, N skipped";
// exits non-zero on any failure or when the time runs out. The server and
// the browser are stopped in every outcome.

import { spawn, spawnSync } from "node:child_process";
import fs from "node:fs";
import net from "node:net";
import os from "node:os";
import path from "node:path";

const CHROMIUM = "/usr/bin/chromium";
const CHROMIUM_ARGS = [
  "--headless",
  "--no-sandbox",
  "--disable-gpu",
  "--disable-quic",
  "--no-first-run",
  "--disable-background-networking",
  "--disable-component-update",
  "--disable-sync",
];
const STEP_TIMEOUT = 15000;  // ms, any one browser action or wait
const TIME_ZONE = "Asia/Kathmandu";  // UTC+05:45 all year: local dates differ from UTC ones
// notes.txt's last-write time and how the listing must show it in TIME_ZONE
const NOTES_MTIME = Date.UTC(2021, 11, 29, 23, 14, 0) / 1000;
const NOTES_UTC = "2021-12-29 / 23:14";
const NOTES_LOCAL = "2021-12-30 / 04:59";
const BIG_COUNT = 3000;  // entries of the folder whose listing arrives in chunks
const FLAC_SECONDS = 4;  // length of the FLAC tone
// The folder "order" as it must be listed: UTF-16 units compared after
// upper-casing each, then as they are; folders first, each group in order.
const ORDER_FOLDERS = ["..", "alpha", "Zeta", "\u00e9clair", "\u00d6lfeld"];
const ORDER_FILES = ["10.txt", "9.txt", "apfel.txt", "B.txt", "b.txt", "Ecoute.txt", "Zebra.txt", "_notes.txt",
                     "\u00c4pfel.txt", "\u00e4pfel.txt", "\u00e9coute.txt", "\u03a9mega.txt", "\u03c9mega.txt",
                     "\u0410\u0440\u0431\u0443\u0437.txt", "\u044f\u0431\u043b\u043e\u043a\u043e.txt"];
const PHONE_UA =
  "Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 (KHTML, like Gecko) " +
  "Chrome/156.0.0.0 Mobile Safari/537.36";

// ---------------------------------------------------------------- options

function options(argv) {
  const o = { server: "", artifacts: "", timeout: 240 };
  for (let i = 2; i < argv.length; i++) {
    const a = argv[i];
    if (a === "--server") o.server = argv[++i];
    else if (a === "--artifacts") o.artifacts = argv[++i];
    else if (a === "--timeout") o.timeout = Number(argv[++i]);
    else throw new Error("unknown argument " + a);
  }
  if (!o.server || !o.artifacts) throw new Error("usage: run_browser.mjs --server PATH --artifacts DIR");
  return o;
}

// ---------------------------------------------------------------- results

const results = { passed: 0, failed: 0, skipped: 0, over: false };

function check(name, ok, why = "") {
  if (results.over) return ok;  // timed out: what still runs is being torn down
  if (ok) {
    results.passed++;
    console.log("ok   " + name);
  } else {
    results.failed++;
    console.log("FAIL " + name + (why ? ": " + why : ""));
  }
  return ok;
}

function expect(name, got, want) {
  return check(name, got === want, "got " + JSON.stringify(got) + ", want " + JSON.stringify(want));
}

function skip(name, why) {
  results.skipped++;
  console.log("skip " + name + ": " + why);
}

function summary() {
  console.log(results.passed + " passed, " + results.failed + " failed, " + results.skipped + " skipped");
}

// ---------------------------------------------------------------- fixture

// Sample i of count of a sine tone with short fades at both ends, 16 bits.
function tone(frequency, rate, i, count) {
  const fade = Math.min(1, i / 400, (count - i) / 400);
  return Math.round(Math.sin((2 * Math.PI * frequency * i) / rate) * 8000 * fade);
}

// 16-bit mono PCM: a sine tone.
function wav(frequency, seconds, rate = 11025) {
  const count = Math.floor(rate * seconds);
  const b = Buffer.alloc(44 + count * 2);
  b.write("RIFF", 0);
  b.writeUInt32LE(36 + count * 2, 4);
  b.write("WAVEfmt ", 8);
  b.writeUInt32LE(16, 16);
  b.writeUInt16LE(1, 20);  // PCM
  b.writeUInt16LE(1, 22);  // mono
  b.writeUInt32LE(rate, 24);
  b.writeUInt32LE(rate * 2, 28);
  b.writeUInt16LE(2, 32);
  b.writeUInt16LE(16, 34);
  b.write("data", 36);
  b.writeUInt32LE(count * 2, 40);
  for (let i = 0; i < count; i++) b.writeInt16LE(tone(frequency, rate, i, count), 44 + i * 2);
  return b;
}

// An MSB-first CRC of width bits (8 or 16) with the polynomial poly, from 0.
function crc(bytes, width, poly) {
  const top = 1 << (width - 1);
  const mask = (1 << width) - 1;
  let c = 0;
  for (const b of bytes) {
    c ^= b << (width - 8);
    for (let i = 0; i < 8; i++) c = c & top ? ((c << 1) ^ poly) & mask : (c << 1) & mask;
  }
  return c;
}

// A FLAC stream of 16-bit mono PCM in verbatim subframes: no encoder is
// needed, and the frames' CRCs and the stream header make it a file any
// FLAC decoder accepts.
function flac(frequency, seconds) {
  const rate = 22050;  // frame header sample-rate code 0b0110
  const block = 4096;
  const total = Math.floor(rate * seconds);
  const info = Buffer.alloc(4 + 4 + 34);
  info.write("fLaC", 0);
  info.writeUInt8(0x80, 4);  // the last metadata block, STREAMINFO
  info.writeUIntBE(34, 5, 3);
  info.writeUInt16BE(block, 8);
  info.writeUInt16BE(block, 10);  // min and max frame sizes, and the MD5, stay 0: unknown
  // 20 bits of rate, 3 of channels - 1 (mono: 0), 5 of bits - 1 (15), 36 of samples
  info.writeBigUInt64BE((BigInt(rate) << 44n) | (15n << 36n) | BigInt(total), 18);
  const frames = [info];
  for (let first = 0, number = 0; first < total; first += block, number++) {
    const n = Math.min(block, total - first);
    if (number >= 0x80) throw new Error("flac: frame numbers past 127 need a longer coding");
    const head = [0xff, 0xf8, 0x76, 0x08, number, (n - 1) >> 8, (n - 1) & 0xff];
    head.push(crc(head, 8, 0x07));
    const frame = Buffer.alloc(head.length + 1 + n * 2 + 2);
    Buffer.from(head).copy(frame, 0);
    frame.writeUInt8(0x02, head.length);  // a verbatim subframe, no wasted bits
    for (let i = 0; i < n; i++) {
      frame.writeInt16BE(tone(frequency, rate, first + i, total), head.length + 1 + i * 2);
    }
    frame.writeUInt16BE(crc(frame.subarray(0, frame.length - 2), 16, 0x8005), frame.length - 2);
    frames.push(frame);
  }
  return Buffer.concat(frames);
}

// Raw 4:2:0 frames with a bar sweeping across, for vpxenc.
function y4m(width, height, frames) {
  const parts = [Buffer.from(`YUV4MPEG2 W${width} H${height} F25:1 Ip A1:1 C420jpeg\n`)];
  const chroma = (width / 2) * (height / 2);
  for (let f = 0; f < frames; f++) {
    const y = Buffer.alloc(width * height, 40);
    const bar = Math.floor((f / frames) * (width - 40));
    for (let row = 0; row < height; row++) y.fill(220, row * width + bar, row * width + bar + 40);
    parts.push(Buffer.from("FRAME\n"), y, Buffer.alloc(chroma, 150), Buffer.alloc(chroma, 110));
  }
  return Buffer.concat(parts);
}

// A WebM clip made with vpxenc; null when the encoder is missing or fails.
function webm(tmp) {
  const raw = path.join(tmp, "clip.y4m");
  const out = path.join(tmp, "clip.webm");
  fs.writeFileSync(raw, y4m(320, 240, 75));
  const p = spawnSync("vpxenc", ["--codec=vp8", "-q", "--good", "--cpu-used=8", "--target-bitrate=300",
                                 "-o", out, raw], { stdio: ["ignore", "ignore", "pipe"], timeout: 60000 });
  fs.rmSync(raw, { force: true });
  if (p.error || p.status !== 0 || !fs.existsSync(out)) return null;
  return fs.readFileSync(out);
}

// A valid 1x1 PNG.
const PNG_1X1 = Buffer.from(
  "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNk+M9QDwADhgGAWjR9awAAAABJRU5ErkJggg==",
  "base64");

function put(file, data) {
  fs.mkdirSync(path.dirname(file), { recursive: true });
  fs.writeFileSync(file, data);
}

// The document root. Only the folder "order" checks the listing's order;
// elsewhere the checks read entries from the page, whatever their order.
function makeTree(www, tmp) {
  const tree = { video: false };
  put(path.join(www, "notes.txt"), "notes\n");
  fs.utimesSync(path.join(www, "notes.txt"), NOTES_MTIME, NOTES_MTIME);
  put(path.join(www, "photo.png"), PNG_1X1);
  put(path.join(www, "archive.zip"), Buffer.alloc(10000, 7));
  put(path.join(www, "README"), "no extension\n");
  put(path.join(www, "sub folder", "inner.txt"), "inner\n");
  // the player's folder: two tones long enough to seek in, and a text file
  put(path.join(www, "music", "tone A.wav"), wav(440, 20));
  put(path.join(www, "music", "Töne B.wav"), wav(660, 20));
  put(path.join(www, "music", "lyrics.txt"), "la la\n");
  // types the browser itself insists on: audio it decodes, a module script
  // and a WebAssembly module (the smallest valid one: magic and version)
  put(path.join(www, "formats", "tone C.flac"), flac(523, FLAC_SECONDS));
  put(path.join(www, "formats", "answer.mjs"), "export const answer = 42;\n");
  put(path.join(www, "formats", "empty.wasm"), Buffer.from([0x00, 0x61, 0x73, 0x6d, 0x01, 0x00, 0x00, 0x00]));
  // names in mixed case and scripts, listed in name order (ORDER_FOLDERS, ORDER_FILES)
  for (const name of ORDER_FOLDERS.slice(1)) fs.mkdirSync(path.join(www, "order", name), { recursive: true });
  for (const name of ORDER_FILES.concat(["._hidden", ".DS_Store"])) put(path.join(www, "order", name), name);
  const clip = webm(tmp);
  if (clip) {
    put(path.join(www, "clip.webm"), clip);
    tree.video = true;
  }
  // long names: the page is far larger than one send half
  const big = path.join(www, "big");
  fs.mkdirSync(big);
  const shortTone = path.join(tmp, "short.wav");
  fs.writeFileSync(shortTone, wav(880, 2));
  for (let i = 0; i < BIG_COUNT; i++) {
    const stem = "entry_" + String(i).padStart(4, "0") + "_" + "n".repeat(100);
    if (i % 100 === 99) fs.linkSync(shortTone, path.join(big, stem + ".wav"));
    else fs.writeFileSync(path.join(big, stem + ".txt"), String(i));
  }
  return tree;
}

// ---------------------------------------------------------------- server

function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.on("error", reject);
    s.listen(0, "127.0.0.1", () => {
      const port = s.address().port;
      s.close(() => resolve(port));
    });
  });
}

function canConnect(port) {
  return new Promise((resolve) => {
    const c = net.connect({ host: "127.0.0.1", port });
    c.setTimeout(500);
    c.on("connect", () => { c.destroy(); resolve(true); });
    c.on("error", () => resolve(false));
    c.on("timeout", () => { c.destroy(); resolve(false); });
  });
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

class Server {
  constructor(binary, base, www, port) {
    this.base = base;
    this.port = port;
    this.exe = path.join(base, "quillmere");
    fs.copyFileSync(binary, this.exe);
    fs.chmodSync(this.exe, 0o755);
    // the configuration file sits beside the executable, named after it
    fs.writeFileSync(path.join(base, "quillmere.ini"), `root=${www}\nport=${port}\nlist_directories=1\n`);
    this.logPath = path.join(base, "server.log");
    const log = fs.openSync(this.logPath, "w");
    this.proc = spawn(this.exe, [], { cwd: base, stdio: ["ignore", log, log] });
    fs.closeSync(log);
    this.exited = new Promise((resolve) => this.proc.on("exit", (code) => resolve(code)));
  }

  async ready(seconds = 15) {
    const end = Date.now() + seconds * 1000;
    while (Date.now() < end) {
      if (this.proc.exitCode !== null) return false;
      if (await canConnect(this.port)) return true;
      await sleep(100);
    }
    return false;
  }

  // SIGTERM, then SIGKILL after 5 s.
  async stop() {
    if (this.proc.exitCode !== null || this.proc.signalCode !== null) return;
    this.proc.kill("SIGTERM");
    const done = await Promise.race([this.exited.then(() => true), sleep(5000).then(() => false)]);
    if (!done) {
      this.proc.kill("SIGKILL");
      await this.exited;
    }
  }

  logTail(lines = 20) {
    try {
      return fs.readFileSync(this.logPath, "utf8").split("\n").slice(-lines).join("\n");
    } catch {
      return "";
    }
  }
}

// ---------------------------------------------------------------- pages

// Records console errors, page errors, failed requests and error statuses.
// Aborted media downloads are expected: the player drops one when it moves
// to another entry.
function watch(page) {
  const problems = [];
  page.on("console", (m) => { if (m.type() === "error") problems.push("console: " + m.text()); });
  page.on("pageerror", (e) => problems.push("page error: " + e.message));
  page.on("requestfailed", (r) => {
    const why = r.failure() ? r.failure().errorText : "";
    if (why === "net::ERR_ABORTED" && r.resourceType() === "media") return;
    problems.push("request failed: " + r.url() + " " + why);
  });
  page.on("response", (r) => { if (r.status() >= 400) problems.push("status " + r.status() + ": " + r.url()); });
  return problems;
}

function clean(label, problems) {
  check(label + ": no console errors, failed requests or error statuses", problems.length === 0,
        problems.slice(0, 5).join("; "));
}

async function shot(page, dir, name) {
  const file = path.join(dir, name);
  await page.screenshot({ path: file, fullPage: true });
  console.log("     screenshot " + file);
}

// The icons of the listing: [loaded count, total, first broken src].
function iconState(page) {
  return page.evaluate(() => {
    const imgs = Array.from(document.querySelectorAll("img"));
    const broken = imgs.filter((i) => !i.complete || i.naturalWidth === 0);
    return [imgs.length - broken.length, imgs.length, broken.length ? broken[0].src : ""];
  });
}

function waitIcons(page) {
  return page.waitForFunction(() =>
    Array.from(document.querySelectorAll("img")).every((i) => i.complete), null, { timeout: STEP_TIMEOUT })
    .catch(() => {});
}

// Entries as the page shows them, in page order.
function rows(page) {
  return page.evaluate(() =>
    Array.from(document.querySelectorAll("#files tr.st_item")).map((tr) => {
      const a = tr.querySelector('a[name="links"]');
      const img = tr.querySelector("img.st_icon");
      const date = tr.querySelector('[name="dates"]');
      return {
        href: a.getAttribute("href"),
        name: tr.querySelector(".st_right_8").textContent,
        icon: img.getAttribute("src").split("/").pop(),
        date: date.textContent,
        utc: date.getAttribute("data-utc"),
        playable: a.hasAttribute("data-st-index"),
      };
    }));
}

// State of the player: which entry is current and what the media element does.
function player(page) {
  return page.evaluate(() => {
    const panel = document.getElementById("st_player");
    const media = panel ? panel.querySelector("audio, video") : null;
    const marked = Array.from(document.querySelectorAll("tr.st_playing"));
    return {
      open: !!panel && !panel.hidden && panel.getBoundingClientRect().height > 0,
      current: window.st_media ? window.st_media.current() : -2,
      marked: marked.map((tr) => tr.querySelector(".st_right_8").textContent),
      title: panel ? panel.querySelector(".st_player_title").textContent : "",
      tag: media ? media.tagName.toLowerCase() : "",
      src: media ? decodeURIComponent(media.currentSrc || media.src).split("/").pop() : "",
      time: media ? media.currentTime : -1,
      duration: media ? media.duration : -1,
      paused: media ? media.paused : true,
      videoWidth: media && media.videoWidth ? media.videoWidth : 0,
    };
  });
}

// Waits until the player's media element plays past minTime; false when it
// does not within STEP_TIMEOUT (the checks that follow say what was seen).
function waitPlaying(page, minTime = 0.25) {
  return page.waitForFunction((t) => {
    const m = document.querySelector("#st_player audio, #st_player video");
    return !!m && !m.paused && m.currentTime > t;
  }, minTime, { timeout: STEP_TIMEOUT }).then(() => true, () => false);
}

// ---------------------------------------------------------------- scenarios

async function listingDesktop(ctx, base, dir, tree) {
  const page = await ctx.newPage();
  const problems = watch(page);
  await page.goto(base + "/", { waitUntil: "load" });
  await waitIcons(page);
  expect("listing: title", await page.title(), "/");
  expect("listing: heading", await page.textContent("h1"), "/");
  const list = await rows(page);
  const names = list.map((r) => r.name).sort();
  const want = ["..", "README", "archive.zip", "big", "formats", "music", "notes.txt", "order", "photo.png", "sub folder"];
  if (tree.video) want.push("clip.webm");
  expect("listing: entries", JSON.stringify(names), JSON.stringify(want.sort()));
  const sepIndex = await page.evaluate(() => {
    const all = Array.from(document.querySelectorAll("#files > tbody > tr"));
    return all.findIndex((tr) => tr.querySelector(".st_separator"));
  });
  const folders = list.filter((r) => r.href.endsWith("/")).length;
  check("listing: folders first, then the separator, then files",
        sepIndex === folders && list.slice(0, folders).every((r) => r.href.endsWith("/")),
        "separator at " + sepIndex + ", folders " + folders);
  const [loaded, total, broken] = await iconState(page);
  check("listing: every icon loaded (naturalWidth > 0)", total === list.length && loaded === total,
        loaded + " of " + total + " loaded, first broken " + broken);
  const icon = Object.fromEntries(list.map((r) => [r.name, r.icon]));
  const wantIcons = { "sub folder": "z-folder-h.png", "notes.txt": "text.png", "photo.png": "img.png",
                      "archive.zip": "0-default.png", README: "0-default.png" };
  if (tree.video) wantIcons["clip.webm"] = "video.png";
  expect("listing: icon per type", JSON.stringify(Object.keys(wantIcons).map((k) => icon[k])),
         JSON.stringify(Object.values(wantIcons)));
  expect("listing: the style sheet applies (separator height)",
         await page.evaluate(() => getComputedStyle(document.querySelector(".st_separator")).height), "3px");
  const notes = list.find((r) => r.name === "notes.txt") || {};
  expect("listing: date shown in local time", notes.date, NOTES_LOCAL);
  expect("listing: UTC date kept", notes.utc, NOTES_UTC);
  check("listing: no horizontal overflow at 1280",
        await page.evaluate(() => document.documentElement.scrollWidth <= window.innerWidth));
  await shot(page, dir, "listing-desktop.png");

  // a folder link is followed as a link
  await Promise.all([page.waitForURL(/\/sub%20folder\/$/), page.click('a[name="links"][href="sub%20folder/"]')]);
  expect("listing: folder link navigates", await page.textContent("h1"), "sub folder/");
  clean("listing", problems);
  await page.close();
}

async function listingOrder(ctx, base) {
  const page = await ctx.newPage();
  const problems = watch(page);
  await page.goto(base + "/order/", { waitUntil: "load" });
  const list = await rows(page);
  const folders = list.filter((r) => r.href.endsWith("/")).map((r) => r.name);
  const files = list.filter((r) => !r.href.endsWith("/")).map((r) => r.name);
  expect("order: folder rows in name order, case ignored", JSON.stringify(folders), JSON.stringify(ORDER_FOLDERS));
  expect("order: file rows in name order, case ignored", JSON.stringify(files), JSON.stringify(ORDER_FILES));
  expect("order: rows in page order are folders, then files", JSON.stringify(list.map((r) => r.name)),
         JSON.stringify(ORDER_FOLDERS.concat(ORDER_FILES)));
  clean("order", problems);
  await page.close();
}

async function playerDesktop(ctx, base, dir) {
  const page = await ctx.newPage();
  const problems = watch(page);
  await page.goto(base + "/music/", { waitUntil: "load" });
  const list = await rows(page);
  const tones = list.filter((r) => r.playable).map((r) => r.name);
  expect("player: the two tones are playable, the text file is not", JSON.stringify(tones.slice().sort()),
         JSON.stringify(["Töne B.wav", "tone A.wav"]));
  if (tones.length !== 2) return page.close();
  const [first, second] = tones;
  const firstHref = list.find((r) => r.name === first).href;
  const url = page.url();

  await page.click(`a[name="links"][href="${firstHref}"]`);
  await waitPlaying(page);
  expect("player: the page URL stays", page.url(), url);
  let p = await player(page);
  check("player: a click plays in the page", p.open && p.tag === "audio" && p.time > 0.25 && !p.paused,
        JSON.stringify(p) + " at " + page.url());
  if (!p.open) return page.close();
  expect("player: the clicked row is marked", JSON.stringify(p.marked), JSON.stringify([first]));
  expect("player: the panel names the entry", p.title, first);
  const t0 = p.time;
  await sleep(700);
  p = await player(page);
  check("player: currentTime advances", p.time > t0 + 0.3, "from " + t0 + " to " + p.time);
  await shot(page, dir, "listing-playing-desktop.png");

  // the end of an entry starts the next one
  await page.evaluate(() => {
    const m = document.querySelector("#st_player audio");
    m.currentTime = m.duration - 0.4;
  });
  await page.waitForFunction(() => window.st_media.current() === 1, null, { timeout: STEP_TIMEOUT });
  await waitPlaying(page, 0.1);
  p = await player(page);
  check("player: advances to the next entry at the end", p.current === 1 && p.src === second &&
        JSON.stringify(p.marked) === JSON.stringify([second]), JSON.stringify(p));

  // keys
  await page.evaluate(() => { document.querySelector("#st_player audio").currentTime = 0; });
  await page.keyboard.press("ArrowUp");
  await waitPlaying(page, 0.1);
  p = await player(page);
  check("keys: Arrow Up goes to the previous entry", p.current === 0 && p.src === first &&
        JSON.stringify(p.marked) === JSON.stringify([first]), JSON.stringify(p));
  await page.keyboard.press("ArrowDown");
  await waitPlaying(page, 0.1);
  p = await player(page);
  check("keys: Arrow Down goes to the next entry", p.current === 1 && p.src === second &&
        JSON.stringify(p.marked) === JSON.stringify([second]), JSON.stringify(p));
  await page.keyboard.press("Space");
  await page.waitForFunction(() => document.querySelector("#st_player audio").paused, null, { timeout: STEP_TIMEOUT });
  check("keys: Space pauses", (await player(page)).paused);
  await page.keyboard.press("Space");
  await waitPlaying(page, 0);
  check("keys: Space plays again", !(await player(page)).paused);
  let before = (await player(page)).time;
  await page.keyboard.press("ArrowRight");
  p = await player(page);
  check("keys: Arrow Right seeks 10 s forward", p.time >= before + 9 && p.time < before + 12,
        "from " + before + " to " + p.time);
  before = p.time;
  await page.keyboard.press("ArrowLeft");
  p = await player(page);
  check("keys: Arrow Left seeks 10 s back", p.time <= before - 8 && p.time >= before - 11,
        "from " + before + " to " + p.time);

  // keys typed into an input are left alone
  await page.evaluate(() => {
    const input = document.createElement("input");
    input.id = "typing";
    document.body.insertBefore(input, document.body.firstChild);
    input.focus();
  });
  await page.keyboard.type(" x");
  await page.keyboard.press("ArrowUp");
  await page.keyboard.press("Escape");
  p = await player(page);
  check("keys: ignored while typing in an input", p.open && p.current === 1 && !p.paused &&
        (await page.inputValue("#typing")) === " x", JSON.stringify(p));
  await page.evaluate(() => document.getElementById("typing").blur());

  await page.keyboard.press("Escape");
  p = await player(page);
  check("keys: Esc closes the player", !p.open && p.tag === "" && p.marked.length === 0 && p.current === -1,
        JSON.stringify(p));
  expect("player: the page URL is still the listing's", page.url(), url);
  clean("player", problems);
  await page.close();
}

async function videoDesktop(ctx, base, dir, tree) {
  if (!tree.video) return skip("video: plays in the page", "vpxenc not found, no clip made (scripts/setup.sh installs vpx-tools)");
  const page = await ctx.newPage();
  const problems = watch(page);
  await page.goto(base + "/", { waitUntil: "load" });
  await page.click('a[name="links"][href="clip.webm"]');
  await waitPlaying(page);
  const p = await player(page);
  check("video: plays in the page", p.open && p.tag === "video" && p.videoWidth === 320 && p.time > 0.25,
        JSON.stringify(p));
  expect("video: the page URL stays", page.url(), base + "/");
  await shot(page, dir, "listing-video-desktop.png");
  clean("video", problems);
  await page.close();
}

// The types of the formats folder, as the browser needs them: the FLAC file
// shows the audio icon and plays in the page, the module script imports and
// the WebAssembly module compiles from its stream, which both refuse any
// other Content-Type.
async function formatsDesktop(ctx, base) {
  const page = await ctx.newPage();
  const problems = watch(page);
  await page.goto(base + "/formats/", { waitUntil: "load" });
  await waitIcons(page);
  const list = await rows(page);
  const names = ["tone C.flac", "answer.mjs", "empty.wasm"];
  const icon = Object.fromEntries(list.map((r) => [r.name, r.icon]));
  expect("formats: icon per type", JSON.stringify(names.map((n) => icon[n])),
         JSON.stringify(["audio.png", "text.png", "0-default.png"]));
  const types = await page.evaluate(async (files) => {
    const out = [];
    for (const f of files) {
      const r = await fetch(encodeURIComponent(f), { method: "HEAD" });
      await r.arrayBuffer();  // a response left unread is cancelled later, as a failed request
      out.push(r.headers.get("content-type"));
    }
    return out;
  }, names);
  expect("formats: Content-Type", JSON.stringify(types),
         JSON.stringify(["audio/flac", "text/javascript", "application/wasm"]));
  expect("formats: the module script imports",
         await page.evaluate(() => import(location.origin + "/formats/answer.mjs")
           .then((m) => m.answer, (e) => String(e))), 42);
  expect("formats: the WebAssembly module compiles from its stream",
         await page.evaluate(() => WebAssembly.compileStreaming(fetch("/formats/empty.wasm"))
           .then(() => "compiled", (e) => String(e))), "compiled");
  const flacRow = list.find((r) => r.name === "tone C.flac");
  if (!check("formats: the FLAC file is playable", !!flacRow && flacRow.playable,
             JSON.stringify(flacRow) + ", canPlayType: " +
             await page.evaluate(() => document.createElement("audio").canPlayType("audio/flac")))) {
    return page.close();
  }
  await page.click(`a[name="links"][href="${flacRow.href}"]`);
  await waitPlaying(page);
  const p = await player(page);
  check("formats: the FLAC file plays in the page", p.open && p.tag === "audio" && p.src === "tone C.flac" &&
        p.time > 0.25 && Math.abs(p.duration - FLAC_SECONDS) < 0.1, JSON.stringify(p));
  clean("formats", problems);
  await page.close();
}

async function debugPanel(ctx, base, dir) {
  const page = await ctx.newPage();
  const problems = watch(page);
  const script = 'script[src="/quillmere/lib-debug.js"]';
  await page.goto(base + "/", { waitUntil: "load" });
  expect("debug: no lib-debug.js without the query", await page.locator(script).count(), 0);
  for (const query of ["debug", "dbg"]) {
    await page.goto(base + "/?" + query, { waitUntil: "load" });
    expect(`debug: ?${query} adds lib-debug.js`, await page.locator(script).count(), 1);
    await page.waitForSelector("#st_debug", { state: "visible", timeout: STEP_TIMEOUT });
    check(`debug: ?${query} shows the panel`, await page.isVisible("#st_debug"));
    expect(`debug: ?${query} is parsed for other scripts`,
           await page.evaluate(() => JSON.stringify(window.qm_query)), JSON.stringify({ [query]: "" }));
    await page.evaluate(() => console.log("marker from the test", { n: 1 }));
    const text = await page.textContent("#st_debug");
    check(`debug: ?${query} panel captures console output`, text.includes('marker from the test {"n":1}'),
          text.slice(0, 200));
  }
  await page.evaluate(() => setTimeout(() => { throw new Error("thrown by the test"); }, 0));
  await page.waitForFunction(() => document.getElementById("st_debug").textContent.includes("thrown by the test"),
                             null, { timeout: STEP_TIMEOUT }).catch(() => {});
  check("debug: panel captures uncaught errors",
        (await page.textContent("#st_debug")).includes("Uncaught Error: thrown by the test"));
  await shot(page, dir, "debug-desktop.png");
  // the error thrown on purpose is the only problem allowed here
  clean("debug", problems.filter((m) => !m.includes("thrown by the test")));
  await page.close();
}

async function aboutPage(ctx, base, dir, file) {
  const page = await ctx.newPage();
  const problems = watch(page);
  const response = await page.goto(base + "/quillmere/", { waitUntil: "load" });
  expect(`about (${file}): status`, response.status(), 200);
  expect(`about (${file}): greeting`, (await page.textContent(".st_err")).trim(), "Enjoy the mere!");
  expect(`about (${file}): buttons`, await page.locator("button").count(), 4);
  check(`about (${file}): product name shown`, (await page.textContent("#g")) === "quillmere");
  const widths = await page.evaluate(() => [document.documentElement.scrollWidth, window.innerWidth]);
  check(`about (${file}): no sideways scrolling (${widths[0]} in ${widths[1]})`, widths[0] <= widths[1]);
  await shot(page, dir, file);
  clean(`about (${file})`, problems);
  await page.close();
}

async function listingPhone(ctx, base, dir) {
  const page = await ctx.newPage();
  const problems = watch(page);
  await page.goto(base + "/", { waitUntil: "load" });
  await waitIcons(page);
  const [loaded, total] = await iconState(page);
  check("phone: every icon loaded", total > 0 && loaded === total, loaded + " of " + total);
  const fit = await page.evaluate(() => ({
    layout: document.documentElement.clientWidth,
    visible: Math.round(window.visualViewport.width),
    scroll: document.documentElement.scrollWidth,
  }));
  check("phone: the 576-pixel layout fits the screen", fit.layout === 576 && fit.visible >= 575 &&
        fit.scroll <= 577, JSON.stringify(fit));
  await shot(page, dir, "listing-phone.png");
  await page.goto(base + "/music/", { waitUntil: "load" });
  const first = (await rows(page)).find((r) => r.playable);
  await page.tap(`a[name="links"][href="${first.href}"]`);
  await waitPlaying(page);
  const p = await player(page);
  check("phone: a tap plays in the page", p.open && p.time > 0.25 && page.url() === base + "/music/",
        JSON.stringify(p));
  await shot(page, dir, "listing-playing-phone.png");
  clean("phone", problems);
  await page.close();
}

async function listingDark(ctx, base, dir) {
  const page = await ctx.newPage();
  const problems = watch(page);
  await page.goto(base + "/", { waitUntil: "load" });
  await waitIcons(page);
  const bg = await page.evaluate(() => getComputedStyle(document.body).backgroundColor);
  const [r, g, b] = bg.match(/\d+/g).map(Number);
  check("dark: the dark colour scheme applies", r + g + b < 120, bg);
  await shot(page, dir, "listing-dark-desktop.png");
  clean("dark", problems);
  await page.close();
}

async function bigListing(ctx, base) {
  const page = await ctx.newPage();
  const problems = watch(page);
  const started = Date.now();
  const response = await page.goto(base + "/big/", { waitUntil: "domcontentloaded" });
  expect("big: the listing arrives chunked", response.headers()["transfer-encoding"], "chunked");
  await page.waitForFunction((n) => {
    const cells = document.getElementsByName("dates");
    return cells.length === n && cells[n - 1].hasAttribute("data-utc");
  }, BIG_COUNT + 1, { timeout: STEP_TIMEOUT * 2 });
  const done = Date.now() - started;
  const counts = await page.evaluate(() => ({
    rows: document.querySelectorAll("#files tr.st_item").length,
    local: document.querySelectorAll('[name="dates"][data-utc]').length,
    playable: window.st_media.items(),
  }));
  expect("big: every row is there", counts.rows, BIG_COUNT + 1);
  expect("big: every date is shown in local time", counts.local, BIG_COUNT + 1);
  expect("big: every tone is playable", counts.playable, BIG_COUNT / 100);
  console.log(`     ${BIG_COUNT + 1} rows loaded and dated in ${done} ms`);
  const last = await page.evaluate(() => {
    const links = document.querySelectorAll('a[name="links"][data-st-index]');
    return links[links.length - 1].getAttribute("href");
  });
  await page.click(`a[name="links"][href="${last}"]`);
  await waitPlaying(page);
  const p = await player(page);
  check("big: the last tone plays in the page", p.open && p.current === BIG_COUNT / 100 - 1, JSON.stringify(p));
  clean("big", problems);
  await page.close();
}

async function visualTest(ctx, base, dir) {
  const page = await ctx.newPage();
  const problems = watch(page);
  await page.goto(base + "/quillmere/visual-test.htm", { waitUntil: "load" });
  await waitIcons(page);
  const icons = await page.evaluate(() => {
    const want = ["0-default", "audio", "img", "text", "video", "z-folder-h", "z-folder-v"];
    const shown = Array.from(document.querySelectorAll("#icons img"))
      .filter((i) => i.complete && i.naturalWidth > 0).map((i) => i.getAttribute("src"));
    return want.every((n) => shown.includes(`/quillmere/icon.16/${n}.png`) && shown.includes(`/quillmere/icon.32/${n}.png`));
  });
  check("visual test: every icon in both sizes", icons);
  const [loaded, total] = await iconState(page);
  check("visual test: every image loaded", loaded === total, loaded + " of " + total);
  await page.click("text=open the player");
  await waitPlaying(page);
  check("visual test: the player plays a tone made in the page", (await player(page)).open);
  await shot(page, dir, "visual-test-desktop.png");
  clean("visual test", problems);
  await page.close();
}

// ---------------------------------------------------------------- main

async function run(o, state) {
  let chromium;
  try {
    ({ chromium } = await import("playwright-core"));
  } catch (e) {
    check("playwright-core is installed", false, "run scripts/setup.sh (npm ci in tests/browser): " + e.message);
    return;
  }
  if (!fs.existsSync(CHROMIUM)) {
    check("chromium is installed", false, CHROMIUM + " missing: run scripts/setup.sh");
    return;
  }
  fs.mkdirSync(o.artifacts, { recursive: true });
  for (const f of fs.readdirSync(o.artifacts)) if (f.endsWith(".png")) fs.rmSync(path.join(o.artifacts, f));

  const tmp = fs.mkdtempSync(path.join(os.tmpdir(), "qm-browser-"));
  state.tmp = tmp;
  fs.chmodSync(tmp, 0o755);  // the server reads the tree after giving up its privileges
  const www = path.join(tmp, "www_document_root");
  const tree = makeTree(www, tmp);
  const port = await freePort();
  state.server = new Server(path.resolve(o.server), tmp, www, port);
  if (!check("server starts", await state.server.ready(), state.server.logTail())) return;
  const base = `http://127.0.0.1:${port}`;

  // playwright gives the browser a fresh --user-data-dir under TMPDIR: keep
  // it inside this run's folder
  const profiles = path.join(tmp, "profiles");
  fs.mkdirSync(profiles);
  process.env.TMPDIR = profiles;
  state.browser = await chromium.launch({ executablePath: CHROMIUM, headless: true, args: CHROMIUM_ARGS,
                                          timeout: 60000 });
  const desktop = { viewport: { width: 1280, height: 800 }, timezoneId: TIME_ZONE, locale: "en-GB",
                    colorScheme: "light" };
  const phone = { viewport: { width: 390, height: 844 }, deviceScaleFactor: 3, isMobile: true, hasTouch: true,
                  userAgent: PHONE_UA, timezoneId: TIME_ZONE, locale: "en-GB", colorScheme: "light" };
  const scenarios = [
    ["listing", desktop, (c) => listingDesktop(c, base, o.artifacts, tree)],
    ["order", desktop, (c) => listingOrder(c, base)],
    ["player", desktop, (c) => playerDesktop(c, base, o.artifacts)],
    ["video", desktop, (c) => videoDesktop(c, base, o.artifacts, tree)],
    ["formats", desktop, (c) => formatsDesktop(c, base)],
    ["debug", desktop, (c) => debugPanel(c, base, o.artifacts)],
    ["about", desktop, (c) => aboutPage(c, base, o.artifacts, "about-desktop.png")],
    ["dark", { ...desktop, colorScheme: "dark" }, (c) => listingDark(c, base, o.artifacts)],
    ["big", desktop, (c) => bigListing(c, base)],
    ["visual test", desktop, (c) => visualTest(c, base, o.artifacts)],
    ["phone", phone, (c) => listingPhone(c, base, o.artifacts)],
    ["about phone", phone, (c) => aboutPage(c, base, o.artifacts, "about-phone.png")],
  ];
  for (const [name, contextOptions, scenario] of scenarios) {
    const ctx = await state.browser.newContext(contextOptions);
    ctx.setDefaultTimeout(STEP_TIMEOUT);
    try {
      await scenario(ctx);
    } catch (e) {
      check(name + " ran to its end", false, String(e.message || e).split("\n")[0]);
    } finally {
      await ctx.close().catch(() => {});
    }
  }
  if (results.failed > 0) console.log("server log:\n" + state.server.logTail());
}

async function cleanup(state) {
  if (state.cleaning) return state.cleaning;
  state.cleaning = (async () => {
    if (state.browser) await Promise.race([state.browser.close().catch(() => {}), sleep(10000)]);
    if (state.server) await state.server.stop();
    if (state.tmp) fs.rmSync(state.tmp, { recursive: true, force: true });
  })();
  return state.cleaning;
}

async function main() {
  const o = options(process.argv);
  const state = {};
  const watchdog = setTimeout(async () => {
    check("finishes within " + o.timeout + " s", false, "timed out");
    results.over = true;
    await cleanup(state);
    summary();
    process.exit(1);
  }, o.timeout * 1000);
  for (const signal of ["SIGINT", "SIGTERM"]) {
    process.on(signal, async () => {
      check("runs to its end", false, "stopped by " + signal);
      await cleanup(state);
      summary();
      process.exit(1);
    });
  }
  try {
    await run(o, state);
  } catch (e) {
    check("runs to its end", false, String(e.message || e).split("\n")[0]);
  } finally {
    await cleanup(state);
    clearTimeout(watchdog);
  }
  summary();
  process.exit(results.failed === 0 ? 0 : 1);
}

main();
