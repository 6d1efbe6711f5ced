/* quillmere: debugging help for pages on devices without developer tools.
 *
 * Listings include this script when they are asked for with the query "dbg"
 * or "debug". It
 *   - parses the page's query into window.qm_query (name -> value; a name
 *     given without "=" has the value ""; a repeated name keeps its last
 *     value, and window.qm_query_list keeps every [name, value] pair in order),
 *     so that other scripts can read their parameters;
 *   - shows an on-page log panel that captures console.log, info, warn,
 *     error and debug, uncaught errors and unhandled promise rejections.
 *     The console keeps working as before. window.qm_debug.log(...) writes
 *     to the panel only; qm_debug.clear(), .show() and .hide() control it.
 * It is loaded in <head>, before the document body exists: lines logged
 * until then are kept and shown when the panel appears.
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

  function parseQuery(search) {
    var query = {};
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
      write("error", ["Uncaught " + event.message + where]);
    } else if (event.target && event.target !== window) {
      var t = event.target;
      write("error", ["Failed to load <" + (t.tagName || "?").toLowerCase() + "> " + (t.src || t.href || "")]);
    }
  }, true);

  window.addEventListener("unhandledrejection", function (event) {
    write("error", ["Unhandled rejection:", event.reason]);
  });

  // ------------------------------------------------------------- panel ---

  function button(label, action) {
    var b = document.createElement("button");
    b.type = "button";
    b.textContent = label;
    b.addEventListener("click", action);
    return b;
  }

  function buildPanel() {
    if (panel) return;
    panel = document.createElement("div");
    panel.className = "st_debug";
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

  window.qm_debug = {
    log: function () { write("log", arguments); },
    clear: clear,
    show: show,
    hide: hide,
    query: window.qm_query
  };

  if (document.readyState === "loading") document.addEventListener("DOMContentLoaded", buildPanel);
  else buildPanel();
})();
