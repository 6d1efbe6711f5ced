#!/usr/bin/env bash
# Installs, with apt-get and only when missing, what building and testing need;
# then the browser test's npm packages, when their lock file has changed.
# With --build-only, only what building needs.
set -euo pipefail
cd "$(dirname "$0")/.."

sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
export DEBIAN_FRONTEND=noninteractive
apt_updated=0

missing_of() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}

# apt_install [--no-install-recommends] PACKAGE...
apt_install() {
  local flags=()
  if [ "${1:-}" = "--no-install-recommends" ]; then flags+=("$1"); shift; fi
  [ $# -gt 0 ] || return 0
  echo ":: installing $*"
  if [ "$apt_updated" -eq 0 ]; then
    $sudo_cmd apt-get update -qq
    apt_updated=1
  fi
  $sudo_cmd apt-get install -y -qq "${flags[@]}" "$@"
}

packages=(cmake ninja-build g++ pkg-config libssl-dev libsystemd-dev libgtest-dev libgmock-dev openssl curl python3
  ${QM_EXTRA_PACKAGES:-})
mapfile -t missing < <(missing_of "${packages[@]}")
apt_install "${missing[@]}"

# Only the build (scripts/run.sh): the test tools are not needed.
[ "${1:-}" = "--build-only" ] && exit 0

# The service tests boot a private systemd with its own system bus, and run
# commands in its namespaces and as nobody (util-linux: unshare, nsenter,
# setpriv; procps: pgrep, kill).
service_packages=(systemd dbus util-linux procps)
# The client tests use wget, brotli and gzip as a user would.
service_packages+=(wget brotli gzip)
mapfile -t missing < <(missing_of "${service_packages[@]}")
apt_install --no-install-recommends "${missing[@]}"

# The browser test: Debian's chromium (its recommends are desktop extras the
# headless test does not use), a font for the screenshots, vpxenc for its
# WebM clip, and node with npm when the machine has no node.
browser_packages=(chromium fonts-dejavu-core vpx-tools)
command -v node >/dev/null 2>&1 || browser_packages+=(nodejs)
mapfile -t missing < <(missing_of "${browser_packages[@]}")
apt_install --no-install-recommends "${missing[@]}"
if ! command -v npm >/dev/null 2>&1; then apt_install --no-install-recommends npm; fi

# playwright-core as pinned by the lock file; it never downloads a browser.
browser_dir=tests/browser
stamp="$browser_dir/node_modules/.qm-package-lock.sha256"
want="$(sha256sum "$browser_dir/package-lock.json" | cut -d' ' -f1)"
if [ "$(cat "$stamp" 2>/dev/null || true)" != "$want" ]; then
  echo ":: npm ci in $browser_dir"
  (cd "$browser_dir" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error)
  echo "$want" > "$stamp"
fi
