/* quillmere: the script of folder listings.
 *
 * A listing links every entry with <a name="links"> and shows its last-write
 * time in a cell <td name="dates"> as UTC text "YYYY-MM-DD / HH:MM". This
 * script
 *   - shows those dates in the viewer's local time (the UTC text stays in the
 *     cell's title and in its data-utc attribute);
 *   - plays linked audio and video inside the page, in a player panel at the
 *     bottom, instead of navigating away; the playing row is marked, and the
 *     next playable entry starts when one ends;
 *   - handles keys while the player is open:
 *       Space             play / pause
 *       Arrow Down / Up   next / previous playable entry
 *       Arrow Right/Left  seek 10 s forward / back (with Shift: 60 s)
 *       Esc               close the player
 *     Keys typed into inputs, text areas, selects or editable elements, and
 *     keys with Ctrl, Alt or Meta, are left to the browser;
 *   - fits the page's fixed 576-pixel layout onto screens narrower than that.
 *
 * A click with Ctrl, Meta, Shift, Alt or a button other than the first keeps
 * its usual meaning (open in a new tab or window, save). Folders and files
 * the browser cannot play are followed as plain links.
 *
 * The script is loaded in <head>, and a large listing arrives in chunks: the
 * key and click handlers are installed at once (clicks are taken at the
 * document, so rows that arrive later need nothing of their own), and rows
 * are picked up incrementally from the live lists that getElementsByName
 * returns, each row once, while the page is still loading and when it is
 * complete. Nothing here loads anything but the page's own links.
 */
(function () {
  "use strict";

  // ------------------------------------------------------------ settings ---

  // The MIME type to ask canPlayType about for each extension. Audio types
  // play in an <audio> element, video types in a <video> element.
  var MEDIA_TYPES = {
    aac: "audio/aac",
    aif: "audio/aiff",
    aifc: "audio/aiff",
    aiff: "audio/aiff",
    caf: "audio/x-caf",
    flac: "audio/flac",
    m4a: "audio/mp4",
    m4b: "audio/mp4",
    m4r: "audio/mp4",
    mka: "audio/x-matroska",
    mp3: "audio/mpeg",
    mpa: "audio/mpeg",
    oga: "audio/ogg",
    ogg: "audio/ogg",
    opus: "audio/ogg; codecs=\"opus\"",
    spx: "audio/ogg; codecs=\"speex\"",
    wav: "audio/wav",
    weba: "audio/webm",
    "3g2": "video/3gpp2",
    "3gp": "video/3gpp",
    m2ts: "video/mp2t",
    m4v: "video/mp4",
    mkv: "video/x-matroska",
    mov: "video/quicktime",
    mp4: "video/mp4",
    mp4v: "video/mp4",
    ogm: "video/ogg",
    ogv: "video/ogg",
    ts: "video/mp2t",
    webm: "video/webm"
  };
  // Containers that browsers often play although canPlayType denies them:
  // offered to the player anyway, which reports a failure and moves on.
  var TRY_ANYWAY = { mka: true, mkv: true, mov: true };

  var SEEK_STEP = 10;       // seconds, arrow keys
  var SEEK_STEP_LONG = 60;  // seconds, Shift + arrow keys
  var RESTART_AFTER = 3;    // seconds played after which "previous" restarts the entry
  var MAX_FAILURES = 3;     // unplayable entries in a row before the player stops advancing
  var SCAN_INTERVAL = 100;  // ms between scans of rows while the page is loading
  var DATES_PER_SCAN = 2000;

  // -------------------------------------------------------------- state ---

  var links = document.getElementsByName("links");  // live: grows while the page loads
  var dateCells = document.getElementsByName("dates");
  var linksScanned = 0;   // links[0 .. linksScanned) have been looked at
  var datesScanned = 0;

  var state = {
    items: [],        // {link, row, kind} for every playable link, in page order
    current: -1,      // index into items, -1 when nothing is loaded
    markedRow: null,  // the row carrying st_playing
    failures: 0,
    panel: null,
    title: null,
    position: null,
    status: null,
    error: null,
    mediaBox: null,
    playButton: null,
    players: {}       // one reusable <audio> and one <video>, made on first use
  };

  // ------------------------------------------------------------ helpers ---

  function two(n) {
    return (n < 10 ? "0" : "") + n;
  }

  // The lower-case extension of a link target, percent escapes decoded.
  function extensionOf(href) {
    var path = href.split("#")[0].split("?")[0];
    var name = path.substring(path.lastIndexOf("/") + 1);
    var dot = name.lastIndexOf(".");
    if (dot < 0) return "";
    var ext = name.substring(dot + 1);
    try {
      ext = decodeURIComponent(ext);
    } catch (e) {
      // a stray "%" in a raw name: keep the text as it is
    }
    return ext.toLowerCase();
  }

  var playableCache = {};  // MIME type -> "audio", "video" or ""
  var probes = {};         // one detached element per kind for canPlayType

  function playableKind(type) {
    if (type in playableCache) return playableCache[type];
    var kind = type.indexOf("video/") === 0 ? "video" : "audio";
    if (!probes[kind]) probes[kind] = document.createElement(kind);
    var answer = probes[kind].canPlayType ? probes[kind].canPlayType(type) : "";
    playableCache[type] = answer ? kind : "";
    return playableCache[type];
  }

  // "audio", "video" or "" (not played here) for a link.
  function kindOf(link) {
    var href = link.getAttribute("href") || "";
    if (href === "" || href.charAt(href.length - 1) === "/") return "";  // folders
    var type = (link.getAttribute("type") || "").toLowerCase();
    if (type.indexOf("audio/") === 0 || type.indexOf("video/") === 0) return playableKind(type);
    var ext = extensionOf(href);
    if (!MEDIA_TYPES.hasOwnProperty(ext)) return "";
    type = MEDIA_TYPES[ext];
    var kind = playableKind(type);
    if (!kind && TRY_ANYWAY[ext]) kind = type.indexOf("video/") === 0 ? "video" : "audio";
    return kind;
  }

  // The text a listing row shows as the entry's name. Read when needed, not
  // when the link is found: the name cell may still be arriving then.
  function nameOf(link) {
    var cell = link.querySelector(".st_right_8");
    var text = (cell ? cell.textContent : link.textContent).trim();
    if (text) return text;
    try {
      return decodeURIComponent(link.getAttribute("href") || "");
    } catch (e) {
      return link.getAttribute("href") || "";
    }
  }

  function rowOf(link) {
    var node = link;
    while (node && !(node.classList && node.classList.contains("st_item"))) node = node.parentNode;
    return node || link;
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

  // ----------------------------------------------------------- viewport ---

  // The page asks for a layout 576 pixels wide at scale 1, which a narrower
  // phone shows cut off at the right, without zoom. Keep the 576-pixel layout
  // and scale it to the screen's width instead.

  function screenWidth() {
    var w = screen.width;
    var h = screen.height;
    if (!w || !h) return 0;
    var type = screen.orientation && screen.orientation.type;
    var landscape = type ? type.indexOf("landscape") === 0 : Math.abs(window.orientation || 0) === 90;
    // some browsers report the portrait size whatever the orientation
    return landscape ? Math.max(w, h) : Math.min(w, h);
  }

  var viewportMeta = null;
  var viewportWidth = 0;  // the layout width the page asks for

  // True once the viewport element has been seen.
  function fitViewport() {
    if (!viewportMeta) {
      viewportMeta = document.querySelector('meta[name="viewport"]');
      if (!viewportMeta) return false;
      var m = /width\s*=\s*(\d+)/.exec(viewportMeta.getAttribute("content") || "");
      viewportWidth = m ? Number(m[1]) : 0;
    }
    if (!viewportWidth) return true;
    var device = screenWidth();
    var scale = device && device < viewportWidth ? Math.floor((device / viewportWidth) * 1000) / 1000 : 1;
    var content = "width=" + viewportWidth + ", initial-scale=" + scale + ", minimum-scale=" + scale +
      ", maximum-scale=" + scale + ", user-scalable=0";
    if (viewportMeta.getAttribute("content") !== content && (scale < 1 || viewportMeta.hasAttribute("data-st-fitted"))) {
      viewportMeta.setAttribute("content", content);
      viewportMeta.setAttribute("data-st-fitted", String(scale));
    }
    return true;
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

  function localiseCell(cell) {
    if (cell.hasAttribute("data-utc")) return;  // done before
    var utc = cell.textContent;
    var local = localDate(utc);
    if (local === null) return;
    utc = utc.trim();
    cell.setAttribute("data-utc", utc);
    cell.title = utc + " UTC";
    cell.textContent = local;
  }

  // Converts the cells not yet seen. While the page loads, the last cell may
  // still be arriving and is left for the next scan. False when cells remain.
  function localiseDates(complete) {
    var end = dateCells.length - (complete ? 0 : 1);
    var stop = Math.min(end, datesScanned + DATES_PER_SCAN);
    for (; datesScanned < stop; datesScanned++) localiseCell(dateCells[datesScanned]);
    return datesScanned >= end;
  }

  // -------------------------------------------------------------- links ---

  // Picks up the links not yet seen; a link's href is complete as soon as
  // the element exists.
  function scanLinks() {
    var count = links.length;
    for (; linksScanned < count; linksScanned++) {
      var link = links[linksScanned];
      var kind = kindOf(link);
      if (!kind) continue;
      link.setAttribute("data-st-index", String(state.items.length));
      state.items.push({ link: link, row: rowOf(link), kind: kind });
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
    b.setAttribute("data-glyph", name);
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

  function span(className) {
    var s = document.createElement("span");
    s.className = className;
    return s;
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
    state.title = span("st_player_title");
    bar.appendChild(state.title);
    state.position = span("st_player_position");
    bar.appendChild(state.position);
    state.status = span("st_player_status");
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

    // The page keeps room below its last row for the panel, and rows scroll
    // into view above it: both follow the panel's height.
    if (window.ResizeObserver) new ResizeObserver(notePanelHeight).observe(panel);
  }

  function notePanelHeight() {
    if (!state.panel || state.panel.hidden) return;
    document.documentElement.style.setProperty("--st-player-height", state.panel.offsetHeight + "px");
  }

  // The <audio> or <video> element, made once and reused.
  function playerFor(kind) {
    if (state.players[kind]) return state.players[kind];
    var media = document.createElement(kind);
    media.controls = true;
    media.preload = "auto";
    media.setAttribute("playsinline", "");
    media.addEventListener("ended", function () {
      if (media === activeMedia()) next();
    });
    media.addEventListener("error", function () {
      // removing the source on close or switch also raises an error
      if (media === activeMedia() && media.getAttribute("src")) failed();
    });
    media.addEventListener("playing", function () {
      state.failures = 0;
      state.error.textContent = "";
    });
    ["timeupdate", "durationchange", "loadedmetadata"].forEach(function (name) {
      media.addEventListener(name, showStatus);
    });
    // the play button shows what pressing it does
    media.addEventListener("play", function () { setGlyph(state.playButton, "pause"); });
    media.addEventListener("pause", function () { setGlyph(state.playButton, "play"); });
    state.players[kind] = media;
    return media;
  }

  function activeMedia() {
    return state.mediaBox ? state.mediaBox.firstChild : null;
  }

  function showStatus() {
    var media = activeMedia();
    if (media) state.status.textContent = formatTime(media.currentTime) + " / " + formatTime(media.duration);
  }

  // Moves the mark to the current row (one row changes, whatever the size
  // of the listing).
  function markCurrent() {
    var item = state.items[state.current];
    var row = item ? item.row : null;
    if (state.markedRow && state.markedRow !== row) {
      state.markedRow.classList.remove("st_playing");
      var old = state.markedRow.querySelector('a[aria-current]');
      if (old) old.removeAttribute("aria-current");
    }
    if (row) {
      row.classList.add("st_playing");
      item.link.setAttribute("aria-current", "true");
    }
    state.markedRow = row;
  }

  function detach(media) {
    media.pause();
    media.removeAttribute("src");
    media.load();  // drops the connection and the buffered data
    if (media.parentNode) media.parentNode.removeChild(media);
  }

  function play(index) {
    scanLinks();
    if (index < 0 || index >= state.items.length) return;
    var item = state.items[index];
    var name = nameOf(item.link);
    if (!state.panel) buildPanel();
    var media = playerFor(item.kind);
    var old = activeMedia();
    if (old && old !== media) detach(old);
    if (!media.parentNode) state.mediaBox.appendChild(media);
    state.panel.setAttribute("data-kind", item.kind);

    state.current = index;
    state.error.textContent = "";
    state.title.textContent = name;
    state.title.title = name;
    state.position.textContent = index + 1 + " / " + state.items.length;
    state.status.textContent = "";
    state.panel.hidden = false;
    document.body.classList.add("st_player_open");
    notePanelHeight();
    markCurrent();
    if (item.row.scrollIntoView) item.row.scrollIntoView({ block: "nearest" });

    media.src = item.link.href;
    var started = media.play();
    if (started && started.catch) {
      started.catch(function (err) {
        // autoplay refused (no user gesture yet): the controls are there
        if (err && err.name === "NotAllowedError") state.error.textContent = "Press play to start.";
      });
    }
    updateMediaSession(name);
  }

  // The entry could not be played: say so and go on with the next one,
  // stopping after a few failures in a row.
  function failed() {
    var item = state.items[state.current];
    state.failures++;
    state.error.textContent = "Cannot play " + (item ? nameOf(item.link) : "this file") + ".";
    var from = state.current;
    if (state.failures < MAX_FAILURES && from + 1 < state.items.length) {
      setTimeout(function () {
        if (state.current === from) next();  // unless the user has moved on
      }, 1200);
    }
  }

  // After the last entry nothing follows: the player stays on it.
  function next() {
    scanLinks();
    if (state.current + 1 < state.items.length) play(state.current + 1);
  }

  function previous() {
    var media = activeMedia();
    // like most players: a press well into the entry goes back to its start
    if (media && media.currentTime > RESTART_AFTER) {
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
    if (media) detach(media);
    if (state.panel) state.panel.hidden = true;
    document.body.classList.remove("st_player_open");
    var item = state.items[state.current];
    state.current = -1;
    markCurrent();
    if (item) item.link.focus({ preventScroll: true });
  }

  function isOpen() {
    return !!(state.panel && !state.panel.hidden);
  }

  // Lock-screen and headset controls where the browser has them.
  function updateMediaSession(name) {
    if (!("mediaSession" in navigator) || typeof MediaMetadata === "undefined") return;
    try {
      navigator.mediaSession.metadata = new MediaMetadata({ title: name, album: document.title });
      navigator.mediaSession.setActionHandler("previoustrack", previous);
      navigator.mediaSession.setActionHandler("nexttrack", next);
    } catch (e) {
      // an action the browser does not know: the player works without it
    }
  }

  // ------------------------------------------------------------- events ---

  function onClick(event) {
    if (event.defaultPrevented || event.button !== 0) return;
    if (event.ctrlKey || event.metaKey || event.shiftKey || event.altKey) return;
    var link = event.target && event.target.closest ? event.target.closest('a[name="links"]') : null;
    if (!link) return;
    scanLinks();
    var index = link.getAttribute("data-st-index");
    if (index === null) return;  // a folder or a file not played here: follow the link
    event.preventDefault();
    index = Number(index);
    if (index === state.current && activeMedia()) {
      togglePlay();
      return;
    }
    state.failures = 0;
    play(index);
  }

  function onKey(event) {
    if (!isOpen() || event.defaultPrevented) return;
    if (event.ctrlKey || event.altKey || event.metaKey || isTyping(event.target)) return;
    var onMedia = event.target === activeMedia();  // its own controls take Space and the side arrows
    var handled = true;
    switch (event.key) {
      case " ":
      case "Spacebar":
        // a focused button handles Space itself
        if (onMedia || (event.target && event.target.tagName === "BUTTON")) return;
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
        if (onMedia) return;
        seek(event.shiftKey ? SEEK_STEP_LONG : SEEK_STEP);
        break;
      case "ArrowLeft":
      case "Left":
        if (onMedia) return;
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

  var viewportSeen = false;

  // Runs every SCAN_INTERVAL while the page loads, so that a long listing is
  // usable before its last chunk has arrived.
  function scanWhileLoading() {
    if (document.readyState !== "loading") return;
    if (!viewportSeen) viewportSeen = fitViewport();
    localiseDates(false);
    scanLinks();
    setTimeout(scanWhileLoading, SCAN_INTERVAL);
  }

  // The page is complete: the rest of the dates, in slices that leave the
  // browser time to draw.
  function finishDates() {
    if (!localiseDates(true)) setTimeout(finishDates, 0);
  }

  function onLoaded() {
    fitViewport();
    scanLinks();
    finishDates();
  }

  function refit() {
    if (viewportMeta) fitViewport();
  }

  document.addEventListener("click", onClick);
  document.addEventListener("keydown", onKey);
  window.addEventListener("orientationchange", refit);
  if (screen.orientation && screen.orientation.addEventListener) screen.orientation.addEventListener("change", refit);

  // For the test page and other scripts.
  window.st_media = {
    play: function (index) { play(index); },
    next: next,
    previous: previous,
    toggle: togglePlay,
    close: close,
    rescan: function () {
      scanLinks();
      localiseDates(true);
    },
    items: function () {
      scanLinks();
      return state.items.length;
    },
    current: function () { return state.current; },
    localDate: localDate,
    kindOf: kindOf
  };

  if (document.readyState === "loading") {
    document.addEventListener("DOMContentLoaded", onLoaded);
    setTimeout(scanWhileLoading, 0);
  } else {
    onLoaded();
  }
})();
