#!/usr/bin/env bash
# Does one long stream push a small hot set out of the page cache?
#
#   sudo bash bench/hotset.sh          # uses build/quillmere
#
# Each server runs in a memory control group limited to QM_HOT_LIMIT_MB
# (default 512), so that "larger than the free memory" is cheap to reach.
# Its hot set (32 files of 512 KiB) is read through the server until every
# page is in the cache; then one client downloads a file larger than the
# group's memory while another keeps fetching the hot set, and `fincore`
# counts how much of the hot set is still resident. Two stream files: one
# below quillmere's drop-behind size (read buffered: the kernel's LRU alone
# must protect the hot set) and one above it (read dropping behind).
# Prints a markdown table; run as root.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(dirname "$here")"
bin="${QM_BIN:-$repo/build/quillmere}"
port="${QM_HOT_PORT:-18280}"
limit_mb="${QM_HOT_LIMIT_MB:-512}"

if [ "$(id -u)" != 0 ]; then echo "!! run as root (sudo bash bench/hotset.sh)" >&2; exit 1; fi
[ -x "$bin" ] || { echo "!! $bin missing; build it first" >&2; exit 1; }
for t in curl fincore nginx; do
  command -v "$t" >/dev/null || { echo "!! $t missing (bench/run.sh installs nginx-light)" >&2; exit 1; }
done

tmp="$(mktemp -d /tmp/qmhot.XXXXXX)"
chmod 755 "$tmp"
pid=""
group=""
cleanup() {
  [ -n "$pid" ] && { kill -TERM "$pid" 2>/dev/null || true; sleep 0.5; kill -KILL "$pid" 2>/dev/null || true; }
  wait 2>/dev/null || true
  [ -n "$group" ] && { sleep 0.3; rmdir "$group" 2>/dev/null || true; }
  rm -rf "$tmp"
}
trap cleanup EXIT INT TERM

# --- the control group: v1 memory controller or the unified hierarchy ------
make_group() {
  if [ -d /sys/fs/cgroup/memory ] && [ -f /sys/fs/cgroup/memory/cgroup.procs ]; then
    group=/sys/fs/cgroup/memory/qmhot.$$
    mkdir "$group"
    echo $((limit_mb * 1048576)) >"$group/memory.limit_in_bytes"
  else
    grep -qw memory /sys/fs/cgroup/cgroup.subtree_control 2>/dev/null ||
      echo +memory >/sys/fs/cgroup/cgroup.subtree_control
    group=/sys/fs/cgroup/qmhot.$$
    mkdir "$group"
    echo $((limit_mb * 1048576)) >"$group/memory.max"
  fi
}

# --- the root --------------------------------------------------------------
root="$tmp/root"
mkdir -p "$root/hot"
set +o pipefail
line='quillmere hot set 0123456789 abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ'
for i in $(seq -w 1 32); do yes "$i $line" | head -c 524288 >"$root/hot/h$i.bin"; done
below_mb=$((limit_mb * 7 / 4))    # larger than the group, below 1 GiB drop-behind floor
[ "$below_mb" -ge 1024 ] && below_mb=1000
yes "$line" | head -c $((below_mb * 1048576)) >"$root/below.bin"
yes "$line" | head -c $((2048 * 1048576)) >"$root/above.bin"
set -o pipefail
chmod -R a+rX "$root"

# --- servers ---------------------------------------------------------------
mkdir -p "$tmp/qm" "$tmp/nginx"
cp "$bin" "$tmp/qm/quillmere"
printf 'root=%s\nport=%s\n' "$root" "$port" >"$tmp/qm/quillmere.ini"
cat >"$tmp/nginx/nginx.conf" <<EOF
worker_processes 2;
pid $tmp/nginx/nginx.pid;
error_log $tmp/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile on;
  client_body_temp_path $tmp/nginx/body;
  proxy_temp_path $tmp/nginx/proxy;
  fastcgi_temp_path $tmp/nginx/fastcgi;
  uwsgi_temp_path $tmp/nginx/uwsgi;
  scgi_temp_path $tmp/nginx/scgi;
  default_type application/octet-stream;
  server { listen 127.0.0.1:$((port + 1)); root $root; }
}
EOF

start_server() {  # name
  case "$1" in
    quillmere)
      (echo "$BASHPID" >"$group/cgroup.procs"; cd "$tmp/qm" && exec ./quillmere </dev/null >"$tmp/qm/out.log" 2>&1) &
      url="http://127.0.0.1:$port" ;;
    nginx)
      (echo "$BASHPID" >"$group/cgroup.procs"
       exec nginx -p "$tmp/nginx" -c "$tmp/nginx/nginx.conf" -e "$tmp/nginx/error.log" -g 'daemon off;' \
         </dev/null >"$tmp/nginx/out.log" 2>&1) &
      url="http://127.0.0.1:$((port + 1))" ;;
  esac
  pid=$!
  for _ in $(seq 1 50); do curl -sf -o /dev/null "$url/hot/h01.bin" && return 0; sleep 0.1; done
  echo "!! $1 did not answer" >&2
  exit 1
}
stop_server() {
  kill -TERM "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  pid=""
}

resident_pct() {  # files... -> percent of their bytes in the page cache
  fincore --bytes --noheadings --raw -o RES,SIZE "$@" |
    awk '{r += $1; s += $2} END {printf "%.0f", s ? r * 100 / s : 0}'
}
fetch_hot() {
  local f
  for f in "$root"/hot/*.bin; do curl -sf -o /dev/null "$url/hot/$(basename "$f")"; done
}

measure() {  # server stream-file
  sync
  echo 1 >/proc/sys/vm/drop_caches
  fetch_hot; fetch_hot; fetch_hot   # read more than once: the kernel's "active" pages
  local before; before=$(resident_pct "$root"/hot/*.bin)
  # keep the hot set in use during the stream, as a busy site would
  ( while :; do fetch_hot; sleep 0.2; done ) &
  local keeper=$!
  local speed
  speed=$(curl -sf -o /dev/null -w '%{speed_download}' "$url/$2")
  kill "$keeper" 2>/dev/null || true
  wait "$keeper" 2>/dev/null || true
  local after; after=$(resident_pct "$root"/hot/*.bin)
  local stream; stream=$(resident_pct "$root/$2")
  printf '| %s | %s (%s MiB) | %s %% | %s %% | %s %% | %.0f |\n' "$1" "$2" \
    "$(( $(stat -c %s "$root/$2") / 1048576 ))" "$before" "$after" "$stream" "$(awk -v b="$speed" 'BEGIN {print b / 1048576}')"
}

make_group
echo "Memory group limit: $limit_mb MiB; hot set: 32 files of 512 KiB (16 MiB), fetched every 0.2 s during the stream."
echo
echo "| server | stream | hot set resident before | hot set resident after | stream file resident after | stream MB/s |"
echo "|---|---|---|---|---|---|"
for s in quillmere nginx; do
  start_server "$s"
  measure "$s" below.bin
  measure "$s" above.bin
  stop_server
done
