/* quillmere: debugging help for pages on devices without developer tools.
 *
 * Listings include this script when they are asked for with the query "dbg"
 * or "debug". It
 *   - parses the page's query into window.qm_query (name -> value; a name
 *     given without "=" has the value ""; a repeated name keeps its last
 *     value, and window.qm_query_list keeps every [name, value] pair in order),
 *     so that other scripts can read their parameters;
 *   - shows an on-page log panel that captures console.log, info, warn,
 *     error and debug, uncaught errors, unhandled promise rejections and
 *     elements that fail to load (scripts, images, style sheets, media).
 *     The console keeps working as before. window.qm_debug.log(...) writes
 *     to the panel only; qm_debug.clear(), .show(), .hide() and .lines()
 *     (the texts shown) control it.
 * It is loaded in <head>, before the document body exists: lines logged
 * until then are kept and shown when the panel appears. The panel carries
 * its own styles, so that it works when the page's style sheet does not.
 */
(function () {
  "use strict";

  var MAX_LINES = 500;

  // ------------------------------------------------------------- query ---

  function decode(text) {
    try {
      return decodeURIComponent(text.replace(/\+/g, " "));
    } catch (e) {
      return text;
    }
  }

  // A plain object without a prototype: a parameter named "__proto__" or
  // "constructor" is just a parameter.
  function parseQuery(search) {
    var query = Object.create(null);
    var list = [];
    var text = (search || "").replace(/^\?/, "");
    if (text === "") return { query: query, list: list };
    text.split("&").forEach(function (part) {
      if (part === "") return;
      var eq = part.indexOf("=");
      var name = decode(eq < 0 ? part : part.substring(0, eq));
      var value = eq < 0 ? "" : decode(part.substring(eq + 1));
      query[name] = value;
      list.push([name, value]);
    });
    return { query: query, list: list };
  }

  var parsed = parseQuery(window.location.search);
  window.qm_query = parsed.query;
  window.qm_query_list = parsed.list;
  window.qm_parse_query = function (search) {
    return parseQuery(search).query;
  };

  // --------------------------------------------------------------- log ---

  var pending = [];   // lines logged before the panel exists
  var panel = null;
  var logBox = null;
  var countBox = null;
  var count = 0;

  function describe(value) {
    if (value instanceof Error) return value.stack || value.name + ": " + value.message;
    if (typeof value === "string") return value;
    if (value === undefined) return "undefined";
    if (typeof value === "function") return "function " + (value.name || "(anonymous)");
    if (value && value.nodeType === 1) {
      return "<" + value.tagName.toLowerCase() + (value.id ? "#" + value.id : "") + ">";
    }
    try {
      var seen = [];
      return JSON.stringify(value, function (key, v) {
        if (v && typeof v === "object") {
          if (seen.indexOf(v) >= 0) return "[circular]";
          seen.push(v);
        }
        return v;
      });
    } catch (e) {
      return String(value);
    }
  }

  function stamp() {
    var d = new Date();
    function pad(n, w) {
      var s = String(n);
      while (s.length < w) s = "0" + s;
      return s;
    }
    return pad(d.getHours(), 2) + ":" + pad(d.getMinutes(), 2) + ":" + pad(d.getSeconds(), 2) +
      "." + pad(d.getMilliseconds(), 3);
  }

  function write(level, args) {
    var text = stamp() + " " + Array.prototype.map.call(args, describe).join(" ");
    if (logBox) append(level, text);
    else {
      pending.push([level, text]);
      if (pending.length > MAX_LINES) pending.shift();
    }
  }

  function append(level, text) {
    var line = document.createElement("div");
    line.className = "st_debug_line st_debug_" + level + "_line";
    line.textContent = text;
    var atBottom = logBox.scrollTop + logBox.clientHeight >= logBox.scrollHeight - 4;
    logBox.appendChild(line);
    while (logBox.childNodes.length > MAX_LINES) logBox.removeChild(logBox.firstChild);
    count++;
    countBox.textContent = count + (count === 1 ? " line" : " lines");
    if (atBottom) logBox.scrollTop = logBox.scrollHeight;
  }

  // Wrap the console, keeping the original behaviour.
  var levels = ["log", "info", "warn", "error", "debug"];
  var original = {};
  var console = window.console || {};
  window.console = console;
  levels.forEach(function (level) {
    original[level] = typeof console[level] === "function" ? console[level] : function () {};
    console[level] = function () {
      write(level === "debug" ? "log" : level, arguments);
      return original[level].apply(console, arguments);
    };
  });

  window.addEventListener("error", function (event) {
    // resource load failures (img, script) arrive here with no message
    if (event.message) {
      var where = event.filename ? " (" + event.filename + ":" + event.lineno + ":" + event.colno + ")" : "";
      var message = /^Uncaught\b/.test(event.message) ? event.message : "Uncaught " + event.message;
      write("error", [message + where]);
    } else if (event.target && event.target !== window) {
      var t = event.target;
      write("error", ["Failed to load <" + (t.tagName || "?").toLowerCase() + "> " + (t.src || t.href || "")]);
    }
  }, true);

  window.addEventListener("unhandledrejection", function (event) {
    write("error", ["Unhandled rejection:", event.reason]);
  });

  // ------------------------------------------------------------- panel ---

  // Inserted first in <head>: a page's own style sheet may restyle the panel.
  var PANEL_STYLE =
    ".st_debug{position:fixed;top:0;right:0;z-index:2147483000;width:100%;max-width:576px;max-height:40vh;" +
    "display:flex;flex-direction:column;box-sizing:border-box;background:rgba(20,20,24,.94);color:#e8e8ee;" +
    "font:12px/1.35 Menlo,Consolas,'DejaVu Sans Mono',monospace;box-shadow:0 4px 16px rgba(0,0,0,.4);" +
    "border-bottom-left-radius:6px;text-align:left}" +
    ".st_debug[hidden]{display:none}" +
    ".st_debug_bar{display:flex;gap:6px;align-items:center;padding:4px 6px;background:#2c2c36}" +
    ".st_debug_bar span{flex:1 1 auto}" +
    ".st_debug_bar em{font-style:normal;color:#a0a0b0}" +
    ".st_debug_bar button{font:inherit;color:inherit;background:#44444f;border:0;border-radius:3px;" +
    "padding:2px 8px;cursor:pointer}" +
    ".st_debug_bar button:hover{background:#5a5a68}" +
    ".st_debug_log{overflow:auto;padding:2px 6px;white-space:pre-wrap;overflow-wrap:anywhere}" +
    ".st_debug.st_debug_folded .st_debug_log{display:none}" +
    ".st_debug_warn_line{color:#ffd166}.st_debug_error_line{color:#ff6b6b}.st_debug_info_line{color:#8ecae6}" +
    "@media (max-width:600px){.st_debug{font-size:17px;max-width:none;border-radius:0}}";

  function addStyle() {
    if (document.getElementById("st_debug_style")) return;
    var style = document.createElement("style");
    style.id = "st_debug_style";
    style.textContent = PANEL_STYLE;
    var head = document.head || document.getElementsByTagName("head")[0];
    if (head) head.insertBefore(style, head.firstChild);
  }

  function button(label, action) {
    var b = document.createElement("button");
    b.type = "button";
    b.textContent = label;
    b.addEventListener("click", action);
    return b;
  }

  function buildPanel() {
    if (panel) return;
    addStyle();
    panel = document.createElement("div");
    panel.className = "st_debug";
    panel.id = "st_debug";
    panel.setAttribute("role", "log");

    var bar = document.createElement("div");
    bar.className = "st_debug_bar";
    var title = document.createElement("span");
    title.textContent = "debug ";
    countBox = document.createElement("em");
    title.appendChild(countBox);
    bar.appendChild(title);
    bar.appendChild(button("fold", function () {
      panel.classList.toggle("st_debug_folded");
      this.textContent = panel.classList.contains("st_debug_folded") ? "unfold" : "fold";
    }));
    bar.appendChild(button("clear", clear));
    bar.appendChild(button("\u2715", hide));
    panel.appendChild(bar);

    logBox = document.createElement("div");
    logBox.className = "st_debug_log";
    panel.appendChild(logBox);
    document.body.appendChild(panel);

    var lines = pending;
    pending = [];
    lines.forEach(function (entry) {
      append(entry[0], entry[1]);
    });
    write("info", ["page " + window.location.pathname + ", query " + describe(window.qm_query)]);
  }

  function clear() {
    if (logBox) logBox.textContent = "";
    pending = [];
    count = 0;
    if (countBox) countBox.textContent = "";
  }

  function show() {
    buildPanel();
    panel.hidden = false;
  }

  function hide() {
    if (panel) panel.hidden = true;
  }

  function lines() {
    var texts = pending.map(function (entry) { return entry[1]; });
    if (logBox) {
      for (var i = 0; i < logBox.childNodes.length; i++) texts.push(logBox.childNodes[i].textContent);
    }
    return texts;
  }

  window.qm_debug = {
    log: function () { write("log", arguments); },
    clear: clear,
    show: show,
    hide: hide,
    lines: lines,
    query: window.qm_query
  };

  if (document.readyState === "loading") document.addEventListener("DOMContentLoaded", buildPanel);
  else buildPanel();
})();
