#!/usr/bin/env bash
# Sets up, builds and starts the application.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$here/scripts/setup.sh"
"$here/scripts/build.sh"
app="${KX_BUILD_DIR:-$here/build}/app/kelvara"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display is available, so Kelvara cannot open its window; start it under a virtual display with: xvfb-run -a $app"
  exit 0
fi
exec "$app" "$@"
