#!/usr/bin/env bash
# Refreshes the vendored uPlot from the npm registry: the minified script, its stylesheet and
# the licence, plus VERSION with the package's integrity, checked against the tarball.
# Usage: third_party/uplot/refresh.sh [1.6.x]   (needs npm, tar, openssl)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
version="${1:-1.6.32}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
npm pack --silent "uplot@${version}" > /dev/null
tarball="uplot-${version}.tgz"
integrity="$(npm view "uplot@${version}" dist.integrity)"
actual="sha512-$(openssl dgst -sha512 -binary "$tarball" | base64 -w0)"
if [ "$integrity" != "$actual" ]; then
  echo "refresh: $tarball does not match the registry's integrity ($integrity)" >&2
  exit 1
fi
tar -xzf "$tarball"
# The page inlines both files inside <script> and <style>: they must not close those tags.
if grep -qi '</script\|</style' package/dist/uPlot.iife.min.js package/dist/uPlot.min.css; then
  echo "refresh: uPlot's files contain a closing tag and cannot be inlined as they are" >&2
  exit 1
fi
cp package/dist/uPlot.iife.min.js package/dist/uPlot.min.css package/LICENSE "$here/"
cat > "$here/VERSION" <<NOTE
uPlot ${version} (MIT licence, see LICENSE), from the npm package uplot@${version}
integrity: ${integrity}
fetched: $(date -u +%Y-%m-%d)
files: dist/uPlot.iife.min.js, dist/uPlot.min.css, LICENSE (refresh.sh copies them here)
The build inlines uPlot.iife.min.js and uPlot.min.css into the research report's HTML page.
NOTE
echo "uplot ${version} refreshed in ${here}"
