#!/usr/bin/env bash
# Renders res/icons/norvo.svg into the PNG sizes of the hicolor theme
# (res/icons/SIZExSIZE/norvo.png). Run after changing the SVG; the PNGs are
# committed so that a build needs no SVG renderer. Needs rsvg-convert
# (Debian package librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")/../res/icons"
for size in 16 22 24 32 48 64 128 256; do
  mkdir -p "${size}x${size}"
  rsvg-convert -w "$size" -h "$size" norvo.svg -o "${size}x${size}/norvo.png"
done
