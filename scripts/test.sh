#!/usr/bin/env bash
# Sets up, builds and runs every test.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$here/scripts/setup.sh"
"$here/scripts/build.sh"
cd "${KX_BUILD_DIR:-$here/build}"
export PATH="$here/build/npm-tools/node_modules/.bin:$PATH"
ctest --output-on-failure -j "${KX_JOBS:-8}" "$@"
