#!/usr/bin/env bash
# Slow and idle clients against quillmere (and an earlier build of it, when
# given) and nginx on loopback: how many fresh clients are still served.
#
#   sudo bash bench/pressure.sh                       # build/quillmere and nginx
#   QM_BEFORE=/path/old/quillmere sudo bash bench/pressure.sh
#
# For each server: slowhttptest's slowloris (-H) and slow read (-X) attacks
# with 200 connections, while curl probes once a second (--max-time 5); then
# tests/e2e/run_pressure.py --attach with 64 idle keep-alive and 64
# never-reading connections (attackers reconnect when dropped), plain and
# TLS. Prints a Markdown table to paste into bench/RESULTS.md. Runs as root;
# everything it writes lives in one temp folder, removed at the end.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(dirname "$here")"
after="${QM_BIN:-$repo/build/quillmere}"
before="${QM_BEFORE:-}"
port="${QM_BENCH_PORT:-18180}"
secs="${QM_PRESSURE_SECONDS:-20}"

if [ "$(id -u)" != 0 ]; then echo "!! run as root" >&2; exit 1; fi
need=()
command -v slowhttptest >/dev/null || need+=(slowhttptest)
command -v nginx >/dev/null || need+=(nginx-light)
command -v curl >/dev/null || need+=(curl)
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y "${need[@]}" >/dev/null 2>&1 || { apt-get update >/dev/null && apt-get install -y "${need[@]}" >/dev/null; }
fi

tmp="$(mktemp -d /tmp/qmpressure.XXXXXX)"
chmod 755 "$tmp"
root="$tmp/root"
mkdir -p "$root"
printf 'plain a\n' >"$root/a.txt"
truncate -s 16M "$root/big16.bin"
truncate -s 50M "$root/big50.bin"
chmod -R a+rX "$root"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-384 -nodes \
  -keyout "$tmp/key.pem" -out "$tmp/cer.pem" -days 2 -subj /CN=127.0.0.1 >/dev/null 2>&1
chmod 644 "$tmp/key.pem" "$tmp/cer.pem"

pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  sleep 1
  for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null || true; done
  pkill -f "slowhttptest.*127.0.0.1:$port" 2>/dev/null || true
  wait 2>/dev/null || true
  [ -n "${QM_BENCH_KEEP:-}" ] || rm -rf "$tmp"
}
trap cleanup EXIT INT TERM

start_quillmere() {  # binary
  mkdir -p "$tmp/qm"
  cp "$1" "$tmp/qm/quillmere"
  printf 'root=%s\nport=%s\ntls_cer=%s\ntls_key=%s\n' "$root" "$port" "$tmp/cer.pem" "$tmp/key.pem" \
    >"$tmp/qm/quillmere.ini"
  "$tmp/qm/quillmere" </dev/null >"$tmp/qm/out.log" 2>&1 &
  pids+=($!)
  tls_port=$port
}

start_nginx() {
  mkdir -p "$tmp/nginx"
  tls_port=$((port + 1))
  cat >"$tmp/nginx/nginx.conf" <<EOF
worker_processes 2;
pid $tmp/nginx/nginx.pid;
error_log $tmp/nginx/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  sendfile on;
  client_body_temp_path $tmp/nginx/body;
  proxy_temp_path $tmp/nginx/proxy;
  fastcgi_temp_path $tmp/nginx/fastcgi;
  uwsgi_temp_path $tmp/nginx/uwsgi;
  scgi_temp_path $tmp/nginx/scgi;
  server {
    listen 127.0.0.1:$port;
    listen 127.0.0.1:$tls_port ssl;
    ssl_certificate $tmp/cer.pem;
    ssl_certificate_key $tmp/key.pem;
    root $root;
  }
}
EOF
  nginx -c "$tmp/nginx/nginx.conf" -g 'daemon off;' &
  pids+=($!)
}

stop_server() {
  local p
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  pids=()
  sleep 1
}

wait_ready() {
  for _ in $(seq 1 50); do
    curl -s -o /dev/null --max-time 1 "http://127.0.0.1:$port/a.txt" && return 0
    sleep 0.1
  done
  echo "!! server on $port did not come up" >&2
  return 1
}

# slowhttptest in the background, a probe a second; "served within 1 s of probes".
slow_case() {  # slowhttptest mode arguments...
  slowhttptest -c 200 -r 100 -l "$secs" -u "http://127.0.0.1:$port/big16.bin" "$@" -o "$tmp/slow" \
    >/dev/null 2>&1 &
  local attacker=$!
  sleep 3
  local served=0 fast=0 n=0 t
  for _ in $(seq 1 $((secs - 5))); do
    n=$((n + 1))
    t=$(curl -s -o /dev/null -w '%{http_code} %{time_total}' --max-time 5 "http://127.0.0.1:$port/a.txt" || true)
    case "$t" in
      200\ *) served=$((served + 1))
              awk -v x="${t#200 }" 'BEGIN { exit !(x <= 1.0) }' && fast=$((fast + 1)) ;;
    esac
    sleep 1
  done
  kill "$attacker" 2>/dev/null || true
  wait "$attacker" 2>/dev/null || true
  echo "$fast of $n within 1 s ($served served within 5 s)"
}

python_case() {  # attack name, tls 0/1
  local out
  out=$(python3 "$repo/tests/e2e/run_pressure.py" --attach "$port" --attach-tls "$tls_port" --only "$1" \
    --probes "${QM_PRESSURE_PROBES:-20}" --sustained 2>&1 | grep -E "^(ok  |FAIL )$1 over $([ "$2" = 1 ] && echo TLS || echo HTTP):" | head -1)
  echo "$out" | sed -E 's/^(ok  |FAIL )[^:]*: //; s/ \(median.*//; s/:.*//'
}

measure() {  # label
  local label="$1"
  wait_ready
  printf '| %s | %s | %s | %s | %s | %s | %s |\n' "$label" \
    "$(slow_case -H -i 10)" \
    "$(slow_case -X -w 10 -y 20 -n 2 -z 32 -k 3)" \
    "$(python_case idle 0)" "$(python_case idle 1)" \
    "$(python_case never-read 0)" "$(python_case never-read 1)"
}

echo "| server | slowloris, 200 conns (slowhttptest -H) | slow read, 200 conns (-X) | 64 idle keep-alive | the same over TLS | 64 never reading | the same over TLS |"
echo "|---|---|---|---|---|---|---|"
if [ -n "$before" ]; then
  start_quillmere "$before"; measure "quillmere before"; stop_server
fi
start_quillmere "$after"; measure "quillmere"; stop_server
start_nginx; measure "nginx $(nginx -v 2>&1 | sed 's/.*\///')"; stop_server
