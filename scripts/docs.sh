#!/bin/sh
# Generates the reference documentation (HTML) from include/orv_lib.h into
# build/docs/html. Any Doxygen warning fails it: an export, record, member or
# result code left undocumented, or a broken reference.
set -eu
cd "$(dirname "$0")/.."
command -v doxygen >/dev/null || scripts/install-deps.sh
mkdir -p build/docs
doxygen doc/Doxyfile
echo "reference: build/docs/html/index.html"
