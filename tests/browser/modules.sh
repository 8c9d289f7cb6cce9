#!/usr/bin/env bash
# modules.sh OUT: installs the browser suites' npm packages (puppeteer-core,
# as the committed lockfile names it) into OUT/node_modules, once per
# lockfile. No browser is downloaded: the suites drive the system's.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$1
mkdir -p "$out"
if cmp -s "$here/package-lock.json" "$out/installed-lock.json" && [ -d "$out/node_modules" ]; then
    exit 0
fi
cp "$here/package.json" "$here/package-lock.json" "$out/"
cd "$out"
PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund --ignore-scripts
cp package-lock.json installed-lock.json
