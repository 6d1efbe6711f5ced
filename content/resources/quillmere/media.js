/* quillmere: the script of folder listings.
 *
 * The listing links every entry with <a name="links"> and shows its
 * last-write time in a cell <td name="dates"> as UTC text "YYYY-MM-DD / HH:MM".
 * This script
 *   - shows those dates in the viewer's local time (the UTC text stays in the
 *     cell's title);
 *   - plays linked audio and video inside the page, in a player panel at the
 *     bottom, instead of navigating away; the playing row is marked and the
 *     next playable entry starts when one ends;
 *   - handles keys while the player is open:
 *       Space            play / pause
 *       Arrow Down / Up  next / previous playable entry
 *       Arrow Right/Left seek 10 s forward / back (with Shift: 60 s)
 *       Esc              close the player
 *     Keys typed into inputs, text areas, selects or editable elements, and
 *     keys with Ctrl, Alt or Meta, are left to the browser.
 * A click with Ctrl, Meta, Shift or the middle button keeps its usual meaning
 * (open in a new tab or window). Nothing here loads anything but the page's
 * own links.
 */
(function () {
  "use strict";

  // Playable by extension; a link's type attribute ("audio/...",
  // "video/...") also makes it playable, for links without a usable name.
  var AUDIO_EXTENSIONS = [
    "mp3", "mpa", "m4a", "m4b", "m4r", "aac", "oga", "ogg", "opus", "spx",
    "wav", "flac", "weba", "mka", "aif", "aiff", "caf"
  ];
  var VIDEO_EXTENSIONS = [
    "webm", "mp4", "m4v", "mp4v", "ogv", "ogm", "mov", "mkv", "3gp", "3g2", "ts", "m2ts"
  ];
  var SEEK_STEP = 10;        // seconds, arrow keys
  var SEEK_STEP_LONG = 60;   // seconds, Shift + arrow keys
  var MAX_FAILURES = 3;      // consecutive unplayable entries before stopping

  var state = {
    items: [],        // {link, row, kind, name} for every playable link, in page order
    current: -1,      // index into items
    failures: 0,
    panel: null,
    title: null,
    status: null,
    error: null,
    mediaBox: null,
    playButton: null,
    players: {}       // one reusable <audio> and one <video>
  };

  // ------------------------------------------------------------ helpers ---

  function extensionOf(href) {
    var path = href.split("#")[0].split("?")[0];
    var slash = path.lastIndexOf("/");
    var name = path.substring(slash + 1);
    var dot = name.lastIndexOf(".");
    if (dot < 0) return "";
    var ext = name.substring(dot + 1);
    try {
      ext = decodeURIComponent(ext);
    } catch (e) {
      // a stray % in a raw name: keep the text as it is
    }
    return ext.toLowerCase();
  }

  // "audio", "video" or "" for a link.
  function kindOf(link) {
    var href = link.getAttribute("href") || "";
    if (href === "" || href.charAt(href.length - 1) === "/") return "";
    var type = (link.getAttribute("type") || "").toLowerCase();
    if (type.indexOf("audio/") === 0) return "audio";
    if (type.indexOf("video/") === 0) return "video";
    var ext = extensionOf(href);
    if (AUDIO_EXTENSIONS.indexOf(ext) >= 0) return "audio";
    if (VIDEO_EXTENSIONS.indexOf(ext) >= 0) return "video";
    return "";
  }

  // The text a listing row shows as the entry's name.
  function nameOf(link) {
    var cell = link.querySelector(".st_right_8");
    var text = cell ? cell.textContent : link.textContent;
    return text.trim() || link.getAttribute("href");
  }

  function rowOf(link) {
    var node = link;
    while (node && !(node.classList && node.classList.contains("st_item"))) node = node.parentNode;
    return node || link;
  }

  function two(n) {
    return (n < 10 ? "0" : "") + n;
  }

  function formatTime(seconds) {
    if (!isFinite(seconds) || seconds < 0) return "--:--";
    seconds = Math.floor(seconds);
    var h = Math.floor(seconds / 3600);
    var m = Math.floor((seconds % 3600) / 60);
    var s = seconds % 60;
    return (h > 0 ? h + ":" + two(m) : m) + ":" + two(s);
  }

  function isTyping(target) {
    if (!target || !target.tagName) return false;
    var tag = target.tagName.toUpperCase();
    if (tag === "INPUT" || tag === "TEXTAREA" || tag === "SELECT") return true;
    return !!target.isContentEditable;
  }

  // -------------------------------------------------------------- dates ---

  var DATE_PATTERN = /^\s*(\d{4})-(\d{2})-(\d{2}) \/ (\d{2}):(\d{2})\s*$/;

  // "YYYY-MM-DD / HH:MM" in UTC to the same form in local time; null when the
  // text has another form.
  function localDate(utcText) {
    var m = DATE_PATTERN.exec(utcText);
    if (!m) return null;
    var d = new Date(Date.UTC(+m[1], +m[2] - 1, +m[3], +m[4], +m[5]));
    if (isNaN(d.getTime())) return null;
    return d.getFullYear() + "-" + two(d.getMonth() + 1) + "-" + two(d.getDate()) +
      " / " + two(d.getHours()) + ":" + two(d.getMinutes());
  }

  function localiseDates() {
    var cells = document.querySelectorAll('[name="dates"]');
    for (var i = 0; i < cells.length; i++) {
      var cell = cells[i];
      if (cell.getAttribute("data-utc")) continue; // already done
      var utc = cell.textContent;
      var local = localDate(utc);
      if (local === null) continue;
      cell.setAttribute("data-utc", utc.trim());
      cell.title = utc.trim() + " UTC";
      cell.textContent = local;
    }
  }

  // ------------------------------------------------------------- player ---

  // Button glyphs as SVG paths on a 24-unit grid: fonts do not all carry
  // the media symbols.
  var GLYPHS = {
    previous: "M6 5h2.5v14H6zM19 5v14L9 12z",
    next: "M15.5 5H18v14h-2.5zM5 5v14l10-7z",
    play: "M7 4.5v15L19.5 12z",
    pause: "M6.5 5h4v14h-4zM13.5 5h4v14h-4z",
    close: "M6.4 4.9L12 10.6l5.6-5.7 1.5 1.5-5.7 5.6 5.7 5.6-1.5 1.5-5.6-5.7-5.6 5.7-1.5-1.5 5.7-5.6-5.7-5.6z"
  };
  var SVG = "http://www.w3.org/2000/svg";

  function setGlyph(b, name) {
    var svg = document.createElementNS(SVG, "svg");
    svg.setAttribute("viewBox", "0 0 24 24");
    svg.setAttribute("width", "20");
    svg.setAttribute("height", "20");
    svg.setAttribute("aria-hidden", "true");
    var path = document.createElementNS(SVG, "path");
    path.setAttribute("d", GLYPHS[name]);
    path.setAttribute("fill", "currentColor");
    svg.appendChild(path);
    b.textContent = "";
    b.appendChild(svg);
  }

  function button(glyph, title, action) {
    var b = document.createElement("button");
    b.type = "button";
    b.className = "st_player_btn";
    setGlyph(b, glyph);
    b.title = title;
    b.setAttribute("aria-label", title);
    b.addEventListener("click", function (event) {
      event.preventDefault();
      action();
    });
    return b;
  }

  function buildPanel() {
    var panel = document.createElement("div");
    panel.className = "st_player";
    panel.id = "st_player";
    panel.hidden = true;
    panel.setAttribute("role", "region");
    panel.setAttribute("aria-label", "Player");

    var bar = document.createElement("div");
    bar.className = "st_player_bar";
    bar.appendChild(button("previous", "Previous (Arrow Up)", previous));
    state.playButton = button("pause", "Play / pause (Space)", togglePlay);
    bar.appendChild(state.playButton);
    bar.appendChild(button("next", "Next (Arrow Down)", next));
    state.title = document.createElement("span");
    state.title.className = "st_player_title";
    bar.appendChild(state.title);
    state.status = document.createElement("span");
    state.status.className = "st_player_status";
    bar.appendChild(state.status);
    bar.appendChild(button("close", "Close (Esc)", close));
    panel.appendChild(bar);

    state.error = document.createElement("div");
    state.error.className = "st_player_error";
    state.error.setAttribute("role", "status");
    panel.appendChild(state.error);

    state.mediaBox = document.createElement("div");
    state.mediaBox.className = "st_player_media";
    panel.appendChild(state.mediaBox);

    document.body.appendChild(panel);
    state.panel = panel;
  }

  // The <audio> or <video> element, made once and reused.
  function playerFor(kind) {
    if (state.players[kind]) return state.players[kind];
    var media = document.createElement(kind);
    media.controls = true;
    media.preload = "metadata";
    media.setAttribute("playsinline", "");
    media.addEventListener("ended", function () {
      if (media === activeMedia()) next();
    });
    media.addEventListener("error", function () {
      if (media === activeMedia() && media.getAttribute("src")) failed();
    });
    media.addEventListener("playing", function () {
      state.failures = 0;
      state.error.textContent = "";
    });
    ["timeupdate", "durationchange", "pause", "play"].forEach(function (name) {
      media.addEventListener(name, showStatus);
    });
    // the play button shows what pressing it does
    media.addEventListener("play", function () { setGlyph(state.playButton, "pause"); });
    media.addEventListener("pause", function () { setGlyph(state.playButton, "play"); });
    state.players[kind] = media;
    return media;
  }

  function activeMedia() {
    return state.mediaBox && state.mediaBox.firstChild;
  }

  function showStatus() {
    var media = activeMedia();
    if (!media) return;
    state.status.textContent = formatTime(media.currentTime) + " / " + formatTime(media.duration);
  }

  function markCurrent() {
    for (var i = 0; i < state.items.length; i++) {
      var playing = i === state.current;
      state.items[i].row.classList.toggle("st_playing", playing);
      if (playing) state.items[i].link.setAttribute("aria-current", "true");
      else state.items[i].link.removeAttribute("aria-current");
    }
  }

  function play(index) {
    if (index < 0 || index >= state.items.length) return;
    var item = state.items[index];
    if (!state.panel) buildPanel();
    var media = playerFor(item.kind);
    var old = activeMedia();
    if (old && old !== media) {
      old.pause();
      old.removeAttribute("src");
      old.load();
      state.mediaBox.removeChild(old);
    }
    if (!media.parentNode) state.mediaBox.appendChild(media);

    state.current = index;
    state.error.textContent = "";
    state.title.textContent = item.name;
    state.title.title = item.name;
    state.panel.hidden = false;
    document.body.classList.add("st_player_open");
    markCurrent();
    if (item.row.scrollIntoView) item.row.scrollIntoView({ block: "nearest" });

    media.src = item.link.href;
    var started = media.play();
    if (started && started.catch) {
      started.catch(function (err) {
        // autoplay refused (no user gesture yet): leave the controls to the user
        if (err && err.name === "NotAllowedError") state.error.textContent = "Press play to start.";
      });
    }
    updateMediaSession(item);
  }

  // The entry could not be played: say so and go on with the next one,
  // stopping after a few failures in a row.
  function failed() {
    var item = state.items[state.current];
    state.failures++;
    state.error.textContent = "Cannot play " + (item ? item.name : "this file") + ".";
    if (state.failures < MAX_FAILURES && state.current + 1 < state.items.length) {
      setTimeout(next, 1200);
    }
  }

  function next() {
    if (state.current + 1 < state.items.length) play(state.current + 1);
    else {
      var media = activeMedia();
      if (media) media.pause();
    }
  }

  function previous() {
    var media = activeMedia();
    // like most players: the first press goes back to the start of the entry
    if (media && media.currentTime > 3) {
      media.currentTime = 0;
      return;
    }
    if (state.current > 0) play(state.current - 1);
  }

  function togglePlay() {
    var media = activeMedia();
    if (!media) return;
    if (media.paused) {
      var p = media.play();
      if (p && p.catch) p.catch(function () {});
    } else {
      media.pause();
    }
  }

  function seek(seconds) {
    var media = activeMedia();
    if (!media || !isFinite(media.duration)) return;
    media.currentTime = Math.max(0, Math.min(media.duration, media.currentTime + seconds));
  }

  function close() {
    var media = activeMedia();
    if (media) {
      media.pause();
      media.removeAttribute("src");
      media.load();
      state.mediaBox.removeChild(media);
    }
    if (state.panel) state.panel.hidden = true;
    document.body.classList.remove("st_player_open");
    var item = state.items[state.current];
    state.current = -1;
    markCurrent();
    if (item) item.link.focus();
  }

  function isOpen() {
    return !!(state.panel && !state.panel.hidden);
  }

  // Lock-screen and headset controls where the browser has them.
  function updateMediaSession(item) {
    if (!("mediaSession" in navigator) || typeof MediaMetadata === "undefined") return;
    try {
      navigator.mediaSession.metadata = new MediaMetadata({ title: item.name, album: document.title });
      navigator.mediaSession.setActionHandler("previoustrack", previous);
      navigator.mediaSession.setActionHandler("nexttrack", next);
    } catch (e) {
      // an action the browser does not know: the player works without it
    }
  }

  // ------------------------------------------------------------- events ---

  function onLinkClick(event) {
    if (event.defaultPrevented || event.button !== 0) return;
    if (event.ctrlKey || event.metaKey || event.shiftKey || event.altKey) return;
    var index = Number(this.getAttribute("data-st-index"));
    event.preventDefault();
    if (index === state.current && activeMedia()) togglePlay();
    else {
      state.failures = 0;
      play(index);
    }
  }

  function onKey(event) {
    if (!isOpen() || event.defaultPrevented) return;
    if (event.ctrlKey || event.altKey || event.metaKey || isTyping(event.target)) return;
    var key = event.key;
    var handled = true;
    switch (key) {
      case " ":
      case "Spacebar":
        // a focused button or the media controls handle Space themselves
        if (event.target && (event.target.tagName === "BUTTON" || event.target === activeMedia())) return;
        togglePlay();
        break;
      case "ArrowDown":
      case "Down":
        next();
        break;
      case "ArrowUp":
      case "Up":
        previous();
        break;
      case "ArrowRight":
      case "Right":
        seek(event.shiftKey ? SEEK_STEP_LONG : SEEK_STEP);
        break;
      case "ArrowLeft":
      case "Left":
        seek(-(event.shiftKey ? SEEK_STEP_LONG : SEEK_STEP));
        break;
      case "Escape":
      case "Esc":
        close();
        break;
      default:
        handled = false;
    }
    if (handled) event.preventDefault();
  }

  // --------------------------------------------------------------- start ---

  function collectLinks() {
    var links = document.querySelectorAll('a[name="links"]');
    state.items = [];
    for (var i = 0; i < links.length; i++) {
      var link = links[i];
      var kind = kindOf(link);
      if (!kind) continue;
      link.setAttribute("data-st-index", String(state.items.length));
      link.addEventListener("click", onLinkClick);
      state.items.push({ link: link, row: rowOf(link), kind: kind, name: nameOf(link) });
    }
  }

  function start() {
    localiseDates();
    collectLinks();
    document.addEventListener("keydown", onKey);
  }

  // For the test page and other scripts.
  window.st_media = {
    play: function (index) { play(index); },
    next: next,
    previous: previous,
    toggle: togglePlay,
    close: close,
    rescan: function () {
      localiseDates();
      collectLinks();
    },
    localDate: localDate,
    kindOf: kindOf
  };

  if (document.readyState === "loading") document.addEventListener("DOMContentLoaded", start);
  else start();
})();
