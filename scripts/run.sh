#!/usr/bin/env bash
# Builds quillmere and serves a folder in the foreground, with listings on:
#
#   bash scripts/run.sh [--port N] [--no-build] [FOLDER]
#
# FOLDER defaults to a demo folder that the script makes once, build/demo
# (a page, a text file, a subfolder and a few seconds of audio). The port is
# N (default 8080) or the next free one after it. --no-build serves with the
# program built before. QM_BUILD_DIR names another build folder (default
# build, relative to the checkout).
#
# The settings go to the .ini beside the program, build/quillmere.ini, which
# this script marks as its own in its first line and rewrites on every run.
# An .ini there that it did not write is never touched: the script then
# serves with a copy of the program in build/run/, beside an .ini of its own.
set -euo pipefail
invoked_from="$PWD"  # a relative FOLDER is taken from here
cd "$(dirname "$0")/.."

usage() { sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; }
fail() { echo "!! $*" >&2; exit 1; }

port=8080
build=1
folder=""
while [ $# -gt 0 ]; do
  case "$1" in
    --port) [ $# -ge 2 ] || fail "--port needs a number"; port="$2"; shift 2 ;;
    --port=*) port="${1#--port=}"; shift ;;
    --no-build) build=0; shift ;;
    -h | --help) usage; exit 0 ;;
    --) shift; [ $# -le 1 ] || fail "one folder at most"; folder="${1:-}"; break ;;
    -*) fail "unknown option $1 (see --help)" ;;
    *) [ -z "$folder" ] || fail "one folder at most"; folder="$1"; shift ;;
  esac
done
[[ "$port" =~ ^[0-9]{1,5}$ ]] && [ "$port" -ge 1 ] && [ "$port" -le 65534 ] || fail "--port takes 1 to 65534"

dir="${QM_BUILD_DIR:-build}"
if [ "$build" -eq 1 ]; then
  bash scripts/setup.sh --build-only
  cmake -S . -B "$dir" -G Ninja
  cmake --build "$dir" -j "$(nproc)" --target quillmere
fi
[ -x "$dir/quillmere" ] || fail "$dir/quillmere has not been built (run without --no-build)"
dir="$(cd "$dir" && pwd -P)"

# Started as root the server reads files as nobody; otherwise as the user
# who started it.
if [ "$(id -u)" -eq 0 ]; then serving=nobody; else serving="$(id -un 2>/dev/null || id -u)"; fi

# Whether the serving account may list and enter folder $1.
readable_for_server() {
  if [ "$(id -u)" -ne 0 ]; then
    [ -r "$1" ] && [ -x "$1" ]
    return
  fi
  local uid gid
  uid="$(id -u nobody 2>/dev/null || echo 65534)"
  gid="$(id -g nobody 2>/dev/null || echo 65534)"
  setpriv --reuid="$uid" --regid="$gid" --clear-groups test -r "$1" -a -x "$1" 2>/dev/null
}

# A few seconds of rising tones, so that the listing's player has something
# to play.
write_tones() {
  python3 - "$1" <<'EOF'
import math, struct, sys, wave

rate = 22050
notes = [(523.25, 0.5), (659.25, 0.5), (783.99, 0.5), (1046.50, 1.5)]
frames = bytearray()
for frequency, seconds in notes:
    count = int(rate * seconds)
    for i in range(count):
        # a short fade at both ends of every note, so that none of them clicks
        fade = min(1.0, i / (0.02 * rate), (count - i) / (0.02 * rate))
        frames += struct.pack("<h", int(12000 * fade * math.sin(2 * math.pi * frequency * i / rate)))
with wave.open(sys.argv[1], "wb") as out:
    out.setnchannels(1)
    out.setsampwidth(2)
    out.setframerate(rate)
    out.writeframes(bytes(frames))
EOF
}

# Makes the demo folder $1, whole or not at all: it is built beside its place
# and moved there in one step.
make_demo() {
  local demo="$1" work
  work="$(mktemp -d "$demo.new.XXXXXX")"
  cat > "$work/welcome.html" <<'EOF'
<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>quillmere demo</title></head>
<body style="font-family:sans-serif;max-width:40em;margin:2em auto">
<h1>It works</h1>
<p>quillmere serves this demo folder. <a href="./">Back to the listing</a>:
click <code>tones.wav</code> there to hear it in the page's player.</p>
<p>To share a folder of your own: <code>bash scripts/run.sh /path/to/folder</code></p>
</body></html>
EOF
  printf 'A text file, sent as text/plain.\n' > "$work/notes.txt"
  mkdir "$work/more"
  printf 'A file in a subfolder.\n' > "$work/more/readme.txt"
  write_tones "$work/tones.wav"
  chmod -R a+rX "$work"
  # Another run may have made it meanwhile: that one is kept.
  mv -T "$work" "$demo" 2>/dev/null || rm -rf "$work"
}

# The demo folder: build/demo, or, when the serving account cannot reach
# into the checkout (a home folder of mode 700), /var/tmp/quillmere-demo.
demo_folder() {
  local demo
  for demo in "$dir/demo" /var/tmp/quillmere-demo; do
    if [ ! -e "$demo" ] && [ ! -L "$demo" ]; then
      make_demo "$demo"
    elif [ -L "$demo" ] || [ ! -d "$demo" ] || [ "$(stat -c %u "$demo")" != "$(id -u)" ]; then
      echo "!! $demo is not a folder this script made: not used" >&2
      continue
    fi
    if readable_for_server "$demo"; then
      echo "$demo"
      return
    fi
    echo ":: $demo cannot be read by $serving, who serves the files" >&2
  done
  fail "no demo folder that $serving can read; name a folder: bash scripts/run.sh FOLDER"
}

if [ -z "$folder" ]; then
  folder="$(demo_folder)"
else
  [[ "$folder" = /* ]] || folder="$invoked_from/$folder"
  [ -d "$folder" ] || fail "$folder is not a folder"
  folder="$(cd "$folder" && pwd -P)"
fi
# A line of the .ini holds the whole value, and the server reads '\' as '/'.
case "$folder" in
  *$'\n'* | *$'\r'* | *\\*) fail "the path of $folder holds a line break or a backslash, which the .ini cannot carry" ;;
esac

# The first port from $1 on that the server can bind: it binds every IPv4
# address with SO_REUSEADDR, so the same bind answers; a listener on [::1]
# would take a browser's first try at localhost, so that port counts as taken.
first_free_port() {
  python3 - "$1" <<'EOF'
import errno, socket, sys

def free(port):
    probe = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        probe.bind(("0.0.0.0", port))
    except OSError as e:
        if e.errno != errno.EADDRINUSE:  # a port below 1024 without root, say
            sys.exit("!! port %d cannot be used: %s" % (port, e.strerror))
        return False
    finally:
        probe.close()
    try:
        socket.create_connection(("::1", port), timeout=0.5).close()
        return False
    except OSError:
        return True

first = int(sys.argv[1])
for port in range(first, min(first + 100, 65535)):
    if free(port):
        print(port)
        sys.exit(0)
sys.exit("!! no free port in the 100 from %d" % first)
EOF
}
port="$(first_free_port "$port")" || exit 1

marker="# scripts/run.sh=writes this file and rewrites it on every run; keep settings of your own in another .ini"
written_here() {
  local first=""
  IFS= read -r first < "$1" || true
  [ "${first%$'\r'}" = "$marker" ]
}

program="$dir/quillmere"
ini="$dir/quillmere.ini"
if [ -e "$ini" ] && ! written_here "$ini"; then
  echo ":: $ini was not written by this script and stays as it is; serving with a copy of the program in $dir/run/"
  mkdir -p "$dir/run"
  # Replaced, not overwritten: a copy that is still running keeps its file.
  cp "$program" "$dir/run/quillmere.new"
  mv -f "$dir/run/quillmere.new" "$dir/run/quillmere"
  program="$dir/run/quillmere"
  ini="$dir/run/quillmere.ini"
  if [ -e "$ini" ] && ! written_here "$ini"; then
    fail "$ini was not written by this script either; move one of the two away"
  fi
fi
new_ini="$(mktemp "$ini.XXXXXX")"
printf '%s\nroot=%s\nport=%s\nlist_directories=1\n' "$marker" "$folder" "$port" > "$new_ini"
chmod 644 "$new_ini"
mv -f "$new_ini" "$ini"

echo
echo ":: serving $folder, with listings"
echo "   open  http://localhost:$port/"
host="$(uname -n)"
address="$(hostname -I 2>/dev/null | tr ' ' '\n' | grep -m1 -E '^[0-9]+(\.[0-9]+){3}$' || true)"
echo "   from other machines  http://$host:$port/${address:+  http://$address:$port/}"
if [ -t 0 ]; then
  echo "   stop  Ctrl+C, or Q or Esc in this terminal"
else
  echo "   stop  Ctrl+C (SIGINT) or SIGTERM"
fi
echo "   files are read as $serving; settings in $ini"
echo
exec "$program"
