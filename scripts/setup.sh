#!/usr/bin/env bash
# Installs everything Kelvara needs to build, test and run on Debian 12.
# Idempotent: refreshes the package lists once and installs only what is missing.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build ccache pkg-config git clang clang-format
  # libraries
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev libgl-dev
  libsqlite3-dev sqlite3 libsqlitecpp-dev nlohmann-json3-dev libsodium-dev
  libcurl4-openssl-dev libssl-dev openssl libcairo2-dev libpango1.0-dev libfribidi-dev
  # compressing what a backup stores
  libzstd-dev
  libplist-dev libcli11-dev libsecret-1-dev libgtest-dev libgmock-dev
  # HEIC/HEIF photos shown inline in threads
  libheif-dev
  # fast page digests for finding what changed in a source database
  libxxhash-dev
  # running the application and its tests: display, session bus, secret service
  xvfb xauth dbus dbus-x11 gnome-keyring systemd
  # fonts: Latin, CJK and colour emoji for the screens and PDF exports
  fonts-dejavu-core fonts-noto-core fonts-noto-cjk fonts-noto-color-emoji
  # looking at screens and PDFs
  poppler-utils imagemagick x11-apps xdotool trayer
  # a small window manager, to look at windows placed and framed by one
  openbox
  # checking a seal by hand (docs/checking-a-seal.md)
  jq python3
  # the backup bench compares stored sizes with restic's
  restic
)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${#missing[@]} package(s): ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Node.js comes with the machine image; Debian's packages are the fallback.
if ! command -v npm >/dev/null 2>&1; then
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends nodejs npm >/dev/null
fi

# Test-only npm packages live in the build tree's tools folder, never in the sources.
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
npm_dir="$here/build/npm-tools"
if [ ! -x "$npm_dir/node_modules/.bin/s3rver" ]; then
  mkdir -p "$npm_dir"
  (cd "$npm_dir" && [ -f package.json ] || echo '{"name":"kelvara-test-tools","private":true}' > package.json)
  # The registry sometimes fails a request; try three times, and show what npm
  # said when it never worked.
  for attempt in 1 2 3; do
    if (cd "$npm_dir" && npm install --no-audit --no-fund s3rver@3 >"$npm_dir/install.log" 2>&1); then
      break
    fi
    if [ "$attempt" -eq 3 ]; then
      tail -n 20 "$npm_dir/install.log" | sed 's/^/setup: npm: /'
      echo "setup: could not install s3rver; the object-storage tests will be skipped (under CI they fail)"
    else
      sleep $((attempt * 10))
    fi
  done
fi
echo "setup: ready"
