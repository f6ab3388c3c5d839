#!/usr/bin/env bash
# Installs everything the build, tests, demo and benchmarks need on Debian 12 (bookworm).
# Idempotent: when every package is present it only checks and returns.
# Must run as root (or through sudo) the first time; afterwards it only reads the package database.
set -euo pipefail

# Packages from the distribution's own suites.
BASE_PACKAGES=(
  build-essential cmake pkg-config git ca-certificates
  nlohmann-json3-dev libssl-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  libboost-dev liburdfdom-dev libstb-dev
  # the strandel command line
  libcli11-dev zlib1g-dev
  # strandel view: JPEG pictures (libjpeg-turbo), the plots' Chart.js, headless Chromium for its test
  libjpeg-dev libjs-chart.js chromium
  binutils file
  # the API reference and the format check
  doxygen clang-format-14
  # the Debian packages: lintian checks them, help2man writes the man pages, abigail-tools (abidw,
  # abidiff) keeps the library's ABI against abi/
  lintian help2man abigail-tools
  # the Python module and its tests; requests and websocket-client for bench/bench_python.py
  pybind11-dev python3-dev python3-pytest python3-numpy
  python3-requests python3-websocket
  # pip install . and pip wheel . (scikit-build-core 0.11 is in bookworm-backports), venvs, mypy
  python3-scikit-build-core/bookworm-backports python3-pybind11 python3-venv python3-pip mypy
)
# libcurl with WebSocket support (>= 8.11) comes from bookworm-backports; naming curl too keeps apt
# from removing or upgrading anything else.
CURL_PACKAGES=(libcurl4-openssl-dev/bookworm-backports curl/bookworm-backports)
MIN_CURL=8.11

log() { printf 'install-deps: %s\n' "$*" >&2; }

is_installed() {
  [ "$(dpkg-query -W -f='${Status}' "${1%%/*}" 2>/dev/null)" = "install ok installed" ]
}

curl_dev_fits() {
  local v
  v=$(dpkg-query -W -f='${Version}' libcurl4-openssl-dev 2>/dev/null) || return 1
  is_installed libcurl4-openssl-dev || return 1
  dpkg --compare-versions "$v" ge "$MIN_CURL"
}

missing=()
for p in "${BASE_PACKAGES[@]}"; do is_installed "$p" || missing+=("$p"); done
need_curl=0
curl_dev_fits || need_curl=1

if [ ${#missing[@]} -eq 0 ] && [ $need_curl -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then SUDO=sudo; else
    log "missing packages (${missing[*]} libcurl>=$MIN_CURL) and not root: run this script as root"; exit 1
  fi
fi
export DEBIAN_FRONTEND=noninteractive

# Writes an apt source for bookworm-backports, taking URIs and Signed-By from the machine's existing
# Debian entry for bookworm (deb822 .sources files first, then one-line .list files).
add_backports_source() {
  local target=/etc/apt/sources.list.d/bookworm-backports.sources
  if grep -rqsE '^[^#]*bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/ 2>/dev/null; then
    return 0
  fi
  local uris="" signed=""
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    # Walk deb822 stanzas; take the first whose Suites hold plain "bookworm" and Types hold "deb".
    read -r uris signed < <(awk '
      function flush() {
        if (types ~ /(^| )deb( |$)/ && suites ~ /(^| )bookworm( |$)/ && enabled != "no" && uris != "" && !done) {
          print uris, (signed == "" ? "-" : signed); done = 1
        }
        types = ""; suites = ""; uris = ""; signed = ""; enabled = ""
      }
      /^[[:space:]]*$/ { flush(); next }
      /^[[:space:]]*#/ { next }
      { key = $1; sub(/:$/, "", key); val = $0; sub(/^[^:]*:[[:space:]]*/, "", val)
        k = tolower(key)
        if (k == "types") types = val
        else if (k == "suites") suites = val
        else if (k == "uris") uris = val
        else if (k == "signed-by") signed = val
        else if (k == "enabled") enabled = tolower(val) }
      END { flush() }' "$f") || true
    [ -n "$uris" ] && break
  done
  if [ -z "$uris" ]; then
    # One-line format: deb [signed-by=...] URI bookworm main ...
    local line
    line=$(grep -hsE '^[[:space:]]*deb[[:space:]]+(\[[^]]*\][[:space:]]+)?[^[:space:]]+[[:space:]]+bookworm[[:space:]]' \
           /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | head -n 1) || true
    if [ -n "$line" ]; then
      signed=$(printf '%s\n' "$line" | sed -nE 's/.*signed-by=([^] ]+).*/\1/p')
      uris=$(printf '%s\n' "$line" | sed -E 's/^[[:space:]]*deb[[:space:]]+(\[[^]]*\][[:space:]]+)?//' | awk '{print $1}')
    fi
  fi
  if [ -z "$uris" ]; then
    log "no Debian bookworm entry found in the apt sources; cannot derive bookworm-backports"
    exit 1
  fi
  if [ "$signed" = "-" ]; then signed=""; fi
  log "adding bookworm-backports, derived from the existing Debian source entry"
  {
    echo "Types: deb"
    echo "URIs: $uris"
    echo "Suites: bookworm-backports"
    echo "Components: main"
    if [ -n "$signed" ]; then echo "Signed-By: $signed"; fi
  } | $SUDO tee "$target" >/dev/null
}

if [ $need_curl -eq 1 ] || [[ " ${missing[*]} " == *"/bookworm-backports "* ]]; then
  add_backports_source
fi

# Installs the named packages. A package taken from bookworm-backports may need newer versions of
# its dependencies than bookworm has (python3-scikit-build-core needs python3-packaging >= 25);
# apt does not take those from backports by itself, so each dependency that apt reports as too old
# is named from bookworm-backports as well, and nothing else is: the rest stays bookworm's.
install_packages() {
  local wanted=("$@") out dep round
  for round in 1 2 3 4 5 6 7 8; do
    if out=$(LC_ALL=C $SUDO apt-get install -s -q --no-install-recommends "${wanted[@]}" 2>&1); then
      $SUDO apt-get install -y -qq --no-install-recommends "${wanted[@]}" >/dev/null
      return 0
    fi
    # "pkg : Depends: dep (>= 25.0-1~) but 23.0-1 is to be installed"
    dep=$(printf '%s\n' "$out" |
      sed -nE 's/.*Depends: ([a-z0-9][a-z0-9.+-]*) \([^)]*\) but [^ ]+ is to be installed.*/\1/p' |
      head -n 1)
    if [ -z "$dep" ] || [[ " ${wanted[*]} " == *" $dep/bookworm-backports "* ]] ||
       [ -z "$(apt-cache madison "$dep" 2>/dev/null | grep -F bookworm-backports)" ]; then
      printf '%s\n' "$out" >&2
      log "apt cannot install: ${wanted[*]}"
      return 1
    fi
    log "taking $dep from bookworm-backports too (needed by a backported package)"
    wanted+=("$dep/bookworm-backports")
    [ "$round" -lt 8 ] || { printf '%s\n' "$out" >&2; return 1; }
  done
}

log "apt-get update"
$SUDO apt-get update -qq
if [ ${#missing[@]} -gt 0 ]; then
  log "installing ${missing[*]}"
  install_packages "${missing[@]}"
fi
if [ $need_curl -eq 1 ]; then
  log "installing libcurl >= $MIN_CURL from bookworm-backports"
  install_packages "${CURL_PACKAGES[@]}"
fi
curl_dev_fits || { log "libcurl4-openssl-dev >= $MIN_CURL could not be installed"; exit 1; }
log "done"
