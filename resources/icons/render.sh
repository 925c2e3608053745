#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Renders the icon's PNG sizes from kalvorin.svg (needs rsvg-convert, Debian's librsvg2-bin). The
# PNGs are kept in the tree, so building never needs this.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
for size in 16 22 24 32 48 64 128 256; do
    rsvg-convert -w "$size" -h "$size" "$here/kalvorin.svg" -o "$here/kalvorin-$size.png"
done
