#!/usr/bin/env bash
# Compares quillmere with nginx and lighttpd on loopback, on one fixed
# document root, and writes bench/RESULTS.md.
#
#   sudo bash bench/run.sh            # uses build/quillmere
#   QM_BIN=/path/quillmere QM_BENCH_PORT=19080 QM_BENCH_SECONDS=5 bash bench/run.sh
#
# Runs as root (it installs packages and starts the servers); everything it
# writes except RESULTS.md lives in one temp folder, removed at the end.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(dirname "$here")"
bin="${QM_BIN:-$repo/build/quillmere}"
base_port="${QM_BENCH_PORT:-18080}"
secs="${QM_BENCH_SECONDS:-5}"
results="${QM_BENCH_RESULTS:-$here/RESULTS.md}"

if [ "$(id -u)" != 0 ]; then echo "!! run as root (sudo bash bench/run.sh)" >&2; exit 1; fi
if [ ! -x "$bin" ]; then
  echo "!! $bin missing; build it: cmake -S . -B build -G Ninja && cmake --build build -j2 --target quillmere" >&2
  exit 1
fi

# --- 1. tools, installed only when missing --------------------------------
need=()
command -v wrk >/dev/null || need+=(wrk)
command -v ab >/dev/null || need+=(apache2-utils)
command -v nginx >/dev/null || need+=(nginx-light)
command -v lighttpd >/dev/null || need+=(lighttpd)
[ -e /usr/lib/lighttpd/mod_openssl.so ] || need+=(lighttpd-mod-openssl)
command -v openssl >/dev/null || need+=(openssl)
command -v curl >/dev/null || need+=(curl)
if [ ${#need[@]} -gt 0 ]; then
  echo ":: installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y "${need[@]}" >/dev/null 2>&1 || { apt-get update >/dev/null && apt-get install -y "${need[@]}" >/dev/null; }
fi

# --- 2. temp folder and document root ------------------------------------
tmp="$(mktemp -d /tmp/qmbench.XXXXXX)"
chmod 755 "$tmp"   # the servers read the root as nobody
root="$tmp/root"
mkdir -p "$root/dir"
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for _ in $(seq 1 50); do   # up to 5 s for an orderly stop
    local alive=0
    for p in "${pids[@]}"; do kill -0 "$p" 2>/dev/null && alive=1; done
    [ "$alive" = 0 ] && break
    sleep 0.1
  done
  for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ -n "${QM_BENCH_KEEP:-}" ] || rm -rf "$tmp"
}
trap cleanup EXIT INT TERM

# Deterministic contents: the same bytes on every run. `yes` ends on SIGPIPE.
set +o pipefail
line='quillmere bench 0123456789 abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ'
head_html='<!doctype html><html><head><title>bench</title></head><body><pre>'
tail_html='</pre></body></html>'
{ printf '%s\n' "$head_html"
  yes "$line" | head -c $((1024 - ${#head_html} - ${#tail_html} - 2))
  printf '%s\n' "$tail_html"; } >"$root/small.html"
yes "var x = '$line';" | head -c 102400 >"$root/script.js"
yes "$line" | head -c 16777216 >"$root/16m.bin"
yes "$line" | head -c 8388608 >"$root/8m.bin"
yes "$line" | head -c 8388609 >"$root/8m1.bin"
yes "$line" | head -c 268435456 >"$root/256m.bin"
for i in $(seq -w 1 200); do echo "file $i $line" >"$root/dir/file$i.txt"; done
set -o pipefail
chmod -R a+rX "$root"

# --- 3. certificate and servers ------------------------------------------
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-384 -nodes \
  -keyout "$tmp/key.pem" -out "$tmp/cer.pem" -days 2 -subj /CN=127.0.0.1 >/dev/null 2>&1
chmod 644 "$tmp/key.pem" "$tmp/cer.pem"   # a throwaway key; read again as nobody

qm_port=$base_port
ng_port=$((base_port + 1)); ng_tls=$((base_port + 2))
lt_port=$((base_port + 3)); lt_tls=$((base_port + 4))

mkdir -p "$tmp/qm"
cp "$bin" "$tmp/qm/quillmere"
printf 'root=%s\nport=%s\nlist_directories=1\ntls_cer=%s\ntls_key=%s\n' \
  "$root" "$qm_port" "$tmp/cer.pem" "$tmp/key.pem" >"$tmp/qm/quillmere.ini"

mkdir -p "$tmp/nginx"
cat >"$tmp/nginx/nginx.conf" <<EOF
worker_processes 2;
pid $tmp/nginx/nginx.pid;
error_log $tmp/nginx/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  keepalive_requests 1000000;
  client_body_temp_path $tmp/nginx/body;
  proxy_temp_path $tmp/nginx/proxy;
  fastcgi_temp_path $tmp/nginx/fastcgi;
  uwsgi_temp_path $tmp/nginx/uwsgi;
  scgi_temp_path $tmp/nginx/scgi;
  types { text/html html; application/javascript js; text/plain txt; }
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$ng_port;
    listen 127.0.0.1:$ng_tls ssl;
    ssl_certificate $tmp/cer.pem;
    ssl_certificate_key $tmp/key.pem;
    ssl_protocols TLSv1.2 TLSv1.3;
    root $root;
    autoindex on;
  }
}
EOF

mkdir -p "$tmp/lighttpd"
cat >"$tmp/lighttpd/lighttpd.conf" <<EOF
server.modules = ("mod_openssl", "mod_dirlisting")
server.document-root = "$root"
server.bind = "127.0.0.1"
server.port = $lt_port
server.max-worker = 2
server.network-backend = "sendfile"
server.max-keep-alive-requests = 1000000
server.max-connections = 4096
server.max-fds = 8192
server.pid-file = "$tmp/lighttpd/lighttpd.pid"
server.errorlog = "$tmp/lighttpd/error.log"
server.username = "nobody"
server.groupname = "nogroup"
dir-listing.activate = "enable"
mimetype.assign = (".html" => "text/html", ".js" => "application/javascript", ".txt" => "text/plain", "" => "application/octet-stream")
\$SERVER["socket"] == "127.0.0.1:$lt_tls" {
  ssl.engine = "enable"
  ssl.pemfile = "$tmp/cer.pem"
  ssl.privkey = "$tmp/key.pem"
  ssl.openssl.ssl-conf-cmd = ("MinProtocol" => "TLSv1.2", "MaxProtocol" => "TLSv1.3")
}
EOF

chown nobody:nogroup "$tmp/lighttpd"   # lighttpd opens its log after dropping to nobody
ulimit -n 65536 2>/dev/null || true
(cd "$tmp/qm" && exec ./quillmere </dev/null >"$tmp/qm/out.log" 2>&1) & pids+=($!); qm_pid=$!
nginx -p "$tmp/nginx" -c "$tmp/nginx/nginx.conf" -e "$tmp/nginx/error.log" -g 'daemon off;' \
  </dev/null >"$tmp/nginx/out.log" 2>&1 & pids+=($!); ng_pid=$!
lighttpd -D -f "$tmp/lighttpd/lighttpd.conf" </dev/null >"$tmp/lighttpd/out.log" 2>&1 & pids+=($!); lt_pid=$!

wait_up() {  # url
  local i
  for i in $(seq 1 50); do
    curl -ksf -o /dev/null "$1" && return 0
    sleep 0.1
  done
  echo "!! no answer from $1" >&2
  cat "$tmp"/*/out.log "$tmp"/*/error.log 2>/dev/null >&2 || true
  exit 1
}
wait_up "http://127.0.0.1:$qm_port/small.html"
wait_up "https://127.0.0.1:$qm_port/small.html"
wait_up "http://127.0.0.1:$ng_port/small.html"
wait_up "https://127.0.0.1:$ng_tls/small.html"
wait_up "http://127.0.0.1:$lt_port/small.html"
wait_up "https://127.0.0.1:$lt_tls/small.html"

# The range must come back as 1000 bytes from every server.
for u in "http://127.0.0.1:$qm_port" "http://127.0.0.1:$ng_port" "http://127.0.0.1:$lt_port"; do
  n=$(curl -s -H 'Range: bytes=1000-1999' "$u/script.js" | wc -c)
  [ "$n" = 1000 ] || echo "!! $u answered the range with $n bytes" >&2
done

# --- 4. measurements -----------------------------------------------------
# Every row runs the three servers back to back, and the whole set of rows
# is run `rounds` times; RESULTS.md reports each figure's median, so that a
# noisy minute on this shared machine hits all three alike.
rounds="${QM_BENCH_ROUNDS:-3}"

# sum_over_server pid reader: the sum of `reader <pid>` over a server's
# process and its children (nginx's and lighttpd's workers).
sum_over_server() {
  local p total=0 kids v
  kids=$(pgrep -P "$1" || true)
  for p in "$1" $kids; do
    v=$("$2" "$p" 2>/dev/null || echo 0)
    total=$((total + ${v:-0}))
  done
  echo "$total"
}
vm_rss_of() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }
# voluntary and involuntary, over every thread
switches_of() { cat /proc/"$1"/task/*/status | awk '/ctxt_switches/ {s += $2} END {print s + 0}'; }
# user + system, clock ticks
cpu_of() { awk '{print $14 + $15}' "/proc/$1/stat"; }
rss_kb() { sum_over_server "$1" vm_rss_of; }
ctx_switches() { sum_over_server "$1" switches_of; }
cpu_ticks() { sum_over_server "$1" cpu_of; }

to_ms() {  # 1.23ms | 500.00us | 1.20s -> ms
  awk -v v="$1" 'BEGIN {
    if (v ~ /us$/) { sub(/us$/, "", v); printf "%.2f", v / 1000 }
    else if (v ~ /ms$/) { sub(/ms$/, "", v); printf "%.2f", v }
    else if (v ~ /m$/) { sub(/m$/, "", v); printf "%.2f", v * 60000 }
    else if (v ~ /s$/) { sub(/s$/, "", v); printf "%.2f", v * 1000 }
    else printf "%s", v }'
}
to_mb() {  # 1.20GB | 512.00MB | 900.00KB | 12B -> MB (2^20)
  awk -v v="$1" 'BEGIN {
    if (v ~ /GB$/) { sub(/GB$/, "", v); printf "%.0f", v * 1024 }
    else if (v ~ /MB$/) { sub(/MB$/, "", v); printf "%.0f", v }
    else if (v ~ /KB$/) { sub(/KB$/, "", v); printf "%.2f", v / 1024 }
    else { sub(/B$/, "", v); printf "%.4f", v / 1048576 } }'
}

declare -A V          # V[server,metric] = space-separated values of the rounds
declare -A R          # R[server,metric] = median
warnings=()

add() { V[$1,$2]="${V[$1,$2]:-} $3"; }  # server metric value

# run_wrk server pid key conns url [header...]; "none" as the only header
# sends no Connection header at all (as curl, wrk and media players do).
run_wrk() {
  local name=$1 pid=$2 key=$3 conns=$4 url=$5; shift 5
  local hdrs=(-H "Connection: keep-alive") h out
  if [ "${1:-}" = none ]; then hdrs=(); shift; fi
  for h in "$@"; do hdrs+=(-H "$h"); done
  local log="$tmp/wrk_${name}_$key.txt"
  local c0 t0 c1 t1
  c0=$(ctx_switches "$pid"); t0=$(cpu_ticks "$pid")
  wrk -t 2 -c "$conns" -d "${secs}s" --latency "${hdrs[@]}" "$url" >"$log" 2>&1 &
  local wpid=$!
  sleep "$(awk -v s="$secs" 'BEGIN {print s / 2}')"
  local m; m=$(rss_kb "$pid")
  [ "$m" -gt "${R[$name,rss_load]:-0}" ] && R[$name,rss_load]=$m
  wait "$wpid" || true
  c1=$(ctx_switches "$pid"); t1=$(cpu_ticks "$pid")
  local n; n=$(awk '/requests in/ {print $1}' "$log")
  add "$name" "${key}_rps" "$(awk '/^Requests\/sec:/ {printf "%.0f", $2}' "$log")"
  add "$name" "${key}_p99" "$(to_ms "$(awk '$1 == "99%" {print $2}' "$log")")"
  add "$name" "${key}_mb" "$(to_mb "$(awk '/^Transfer\/sec:/ {print $2}' "$log")")"
  if [ -n "$n" ] && [ "$n" -gt 0 ]; then
    add "$name" "${key}_ctx" "$(awk -v a="$c0" -v b="$c1" -v n="$n" 'BEGIN {printf "%.2f", (b - a) / n}')"
    add "$name" "${key}_cpu" "$(awk -v a="$t0" -v b="$t1" -v n="$n" -v hz="$(getconf CLK_TCK)" \
      'BEGIN {printf "%.1f", (b - a) * 1000000 / hz / n}')"
  fi
  out=$(grep -E 'Non-2xx|Socket errors' "$log" || true)
  [ -n "$out" ] && warnings+=("$name $key: $(echo "$out" | tr '\n' ' ')")
  return 0
}

run_ab() {  # server url
  local log="$tmp/ab_$1.txt"
  ab -n 2000 -c 16 "$2" >"$log" 2>&1 || true
  add "$1" hs "$(awk '/^Requests per second:/ {printf "%.0f", $4}' "$log")"
  local failed; failed=$(awk '/^Failed requests:/ {print $3}' "$log")
  [ "${failed:-0}" != 0 ] && warnings+=("$1 handshakes: ab counted $failed failed requests $(grep -o '(Connect.*)' "$log")")
  return 0
}

# The cold 16 MiB row: the file's pages are dropped before each server's run.
run_cold() {  # server pid
  sync
  echo 1 >/proc/sys/vm/drop_caches
  run_wrk "$1" "$2" cold 8 "${HTTP[$1]}/16m.bin"
}

servers=(quillmere nginx lighttpd)
declare -A PID=([quillmere]=$qm_pid [nginx]=$ng_pid [lighttpd]=$lt_pid)
declare -A HTTP=([quillmere]="http://127.0.0.1:$qm_port" [nginx]="http://127.0.0.1:$ng_port" [lighttpd]="http://127.0.0.1:$lt_port")
declare -A HTTPS=([quillmere]="https://127.0.0.1:$qm_port" [nginx]="https://127.0.0.1:$ng_tls" [lighttpd]="https://127.0.0.1:$lt_tls")

sleep 1
for s in "${servers[@]}"; do R[$s,rss_idle]=$(rss_kb "${PID[$s]}"); done

each() {  # row command: runs it for the three servers in turn
  local s
  for s in "${servers[@]}"; do "$@" "$s"; done
}
row_small() { run_wrk "$1" "${PID[$1]}" small 64 "${HTTP[$1]}/small.html"; }
row_nohdr() { run_wrk "$1" "${PID[$1]}" nohdr 64 "${HTTP[$1]}/small.html" none; }
row_close() { run_wrk "$1" "${PID[$1]}" close 64 "${HTTP[$1]}/small.html" "Connection: close"; }
row_range() { run_wrk "$1" "${PID[$1]}" range 64 "${HTTP[$1]}/script.js" "Range: bytes=1000-1999"; }
row_large() { run_wrk "$1" "${PID[$1]}" large 8 "${HTTP[$1]}/16m.bin"; }
row_at8() { run_wrk "$1" "${PID[$1]}" at8 8 "${HTTP[$1]}/8m.bin"; }
row_past8() { run_wrk "$1" "${PID[$1]}" past8 8 "${HTTP[$1]}/8m1.bin"; }
row_cold() { run_cold "$1" "${PID[$1]}"; }
row_tlssmall() { run_wrk "$1" "${PID[$1]}" tlssmall 64 "${HTTPS[$1]}/small.html"; }
row_tlsnohdr() { run_wrk "$1" "${PID[$1]}" tlsnohdr 64 "${HTTPS[$1]}/small.html" none; }
row_tlslarge() { run_wrk "$1" "${PID[$1]}" tlslarge 8 "${HTTPS[$1]}/16m.bin"; }
row_hs() { run_ab "$1" "${HTTPS[$1]}/small.html"; }

for round in $(seq 1 "$rounds"); do
  echo ":: round $round of $rounds"
  for r in small nohdr close range large at8 past8 cold tlssmall tlsnohdr tlslarge hs; do each "row_$r"; done
done
for s in "${servers[@]}"; do R[$s,rss_after]=$(rss_kb "${PID[$s]}"); done

# Medians of the rounds.
median() { echo "$*" | tr ' ' '\n' | grep -v '^$' | sort -g | awk '{v[NR] = $1} END {if (NR) print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2)}'; }
for k in "${!V[@]}"; do R[$k]=$(median ${V[$k]}); done

# --- 5. RESULTS.md -------------------------------------------------------
# ratio of quillmere to the better peer; higher_is_better = 1 or 0
ratio() {
  local k=$1 hib=$2 q=${R[quillmere,$1]:-} a=${R[nginx,$1]:-} b=${R[lighttpd,$1]:-}
  awk -v q="$q" -v a="$a" -v b="$b" -v hib="$hib" 'BEGIN {
    if (q == "" || (a == "" && b == "")) { print "n/a"; exit }
    if (a == "") best = b; else if (b == "") best = a
    else best = hib ? (a > b ? a : b) : (a < b ? a : b)
    if (best == 0) { print "n/a"; exit }
    printf "%.2f", q / best }'
}
row() {  # label key higher_is_better
  printf '| %s | %s | %s | %s | %s |\n' "$1" "${R[quillmere,$2]:-–}" "${R[nginx,$2]:-–}" "${R[lighttpd,$2]:-–}" "$(ratio "$2" "$3")"
}
meets() {  # key min_ratio -> "met" or "MISSED"
  awk -v r="$(ratio "$1" 1)" -v m="$2" 'BEGIN { if (r == "n/a") print "n/a"; else print (r + 0 >= m ? "met" : "MISSED") }'
}
rss_flat() {  # quillmere's RSS under load within 10% of idle
  awk -v i="${R[quillmere,rss_idle]}" -v l="${R[quillmere,rss_load]}" 'BEGIN {
    d = l - i; print (d <= i * 0.10) ? "met" : "MISSED" }'
}
no_cliff() {  # quillmere's 8 MiB + 1 row within 20 % of its 8 MiB row
  awk -v a="${R[quillmere,at8_mb]}" -v b="${R[quillmere,past8_mb]}" 'BEGIN {
    print (a > 0 && b >= a * 0.8) ? "met" : "MISSED" }'
}

mem_kb=$(awk '/^MemTotal:/ {print $2}' /proc/meminfo)
{
  echo "# Benchmark results"
  echo
  echo "Written by \`bench/run.sh\`; see \`bench/README.md\` for what each row measures."
  echo
  echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "- Machine: $(nproc) cores ($(awk -F': ' '/^model name/ {print $2; exit}' /proc/cpuinfo)), $((mem_kb / 1024)) MiB RAM, kernel $(uname -r)"
  echo "- Servers: quillmere $(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo '?'), $(nginx -v 2>&1 | sed 's/^nginx version: //'), $(lighttpd -v 2>&1 | head -1 | awk '{print $1}')"
  echo "- Load: wrk 2 threads, ${secs} s per row, loopback; ab -n 2000 -c 16 for handshakes"
  echo "- Every row runs the three servers back to back; the set of rows ran $rounds times and each figure is the median."
  echo
  echo "| measure | quillmere | nginx | lighttpd | quillmere / better peer |"
  echo "|---|---|---|---|---|"
  row "1 KiB page, 64 keep-alive conns (req/s)" small_rps 1
  row "1 KiB page, p99 latency (ms)" small_p99 0
  row "1 KiB page, server CPU per request (µs)" small_cpu 0
  row "1 KiB page, context switches per request" small_ctx 0
  row "1 KiB page, no Connection header (req/s)" nohdr_rps 1
  row "1 KiB page, new connection per request (req/s)" close_rps 1
  row "1 KiB page, new connection, p99 (ms)" close_p99 0
  row "1000-byte range of 100 KiB script (req/s)" range_rps 1
  row "range, server CPU per request (µs)" range_cpu 0
  row "range, p99 latency (ms)" range_p99 0
  row "16 MiB file, 8 conns (MB/s)" large_mb 1
  row "16 MiB file after drop_caches, 8 conns (MB/s)" cold_mb 1
  row "8 MiB file, 8 conns (MB/s)" at8_mb 1
  row "8 MiB + 1 byte file, 8 conns (MB/s)" past8_mb 1
  row "1 KiB page over TLS, 64 conns (req/s)" tlssmall_rps 1
  row "1 KiB page over TLS, p99 (ms)" tlssmall_p99 0
  row "1 KiB page over TLS, no Connection header (req/s)" tlsnohdr_rps 1
  row "16 MiB file over TLS, 8 conns (MB/s)" tlslarge_mb 1
  row "full TLS handshakes, ab -c 16 (per s)" hs 1
  row "RSS idle (KiB)" rss_idle 0
  row "RSS under load, highest sample (KiB)" rss_load 0
  row "RSS after the runs (KiB)" rss_after 0
  echo
  echo "MB is 2^20 bytes (wrk's unit). For latency, CPU, switches and memory a ratio below 1 is better."
  echo "CPU and context switches are the servers' own (all threads and workers), divided by the requests wrk counted."
  echo "Resident memory is the sum of VmRSS over the server process and its children (nginx and lighttpd: master and 2 workers)."
  echo
  echo "## Targets"
  echo
  echo "| target | result |"
  echo "|---|---|"
  echo "| small-file keep-alive req/s ≥ better peer | $(meets small_rps 1) |"
  echo "| new connection per request req/s ≥ better peer | $(meets close_rps 1) |"
  echo "| 1000-byte range req/s ≥ better peer | $(meets range_rps 1) |"
  echo "| TLS small-file req/s ≥ better peer | $(meets tlssmall_rps 1) |"
  echo "| TLS handshakes/s ≥ better peer | $(meets hs 1) |"
  echo "| 16 MiB plain MB/s ≥ 0.8 × better peer | $(meets large_mb 0.8) |"
  echo "| 16 MiB plain MB/s after drop_caches ≥ 0.8 × better peer | $(meets cold_mb 0.8) |"
  echo "| no cliff between 8 MiB and 8 MiB + 1 | $(no_cliff) |"
  echo "| 16 MiB over TLS MB/s ≥ better peer | $(meets tlslarge_mb 1) |"
  echo "| resident memory under load within 10 % of idle | $(rss_flat) |"
  if [ ${#warnings[@]} -gt 0 ]; then
    echo
    echo "## Warnings from the load tools"
    echo
    for w in "${warnings[@]}"; do echo "- $w"; done
  fi
} >"$results"
echo ":: wrote $results"
cat "$results"
