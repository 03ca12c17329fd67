#!/usr/bin/env bash
# Makes the installer's icon, resources/installer.ico, from its drawing,
# resources/icon.svg, with Debian's tools (ICON_PACKAGES in
# tools/lib/packages.sh, installed when missing). The build uses the
# committed .ico as it is; run this after changing the drawing and commit
# both. Two runs on the same packages give the same bytes.
#
#   resources/make_icon.sh [OUTPUT.ico]     (default: resources/installer.ico)
#
# The icon holds ten images, in this order: 16, 32 and 48 pixels, each in 4,
# 8 and 32 bits, then 256 pixels stored as PNG. rsvg-convert renders every
# size from the drawing itself; netpbm reduces the 4- and 8-bit images to
# their palettes; icotool writes the file.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)
# shellcheck source=tools/lib/packages.sh
. "$here/../tools/lib/packages.sh"
ensure_packages "${ICON_PACKAGES[@]}" >&2

output=${1:-$here/installer.ico}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The drawing's small-size rules (see icon.svg): details left out, and
# outlines never thinner than 0.9 pixels on the 256-unit canvas.
style() {
  case $1 in
    16) printf '.from32, .from48 { display: none; }\n.outline { stroke-width: 14.4px; }\n' ;;
    32) printf '.from48 { display: none; }\n.outline { stroke-width: 7.2px; }\n' ;;
  esac
}

# A pixel is opaque in the palette images, and in every image's AND mask,
# from this opacity on: icotool's default threshold (-t 127, at or below
# which a pixel is transparent).
OPAQUE_FROM=0.5
# Transparent pixels are set to this colour, one the picture already uses
# (the box's outline), before the palette is chosen, so that they take no
# palette entry of their own.
HIDDEN_COLOUR=rgb:4a/2c/10

# palette_image SIZE COLOURS OUT: the SIZE-pixel image with at most COLOURS
# colours, no dithering (flat areas stay flat), and each pixel either opaque
# or transparent. icotool gives transparent pixels black, index 0, beside
# the image's own colours (the AND mask keeps the screen, the XOR with black
# leaves it as it is), so a 16-colour image has 15 of its own.
palette_image() {
  local size=$1 colours=$2 out=$3 png=$work/$1.png
  pngtopam -alpha "$png" | pamthreshold -quiet -simple -threshold=$OPAQUE_FROM \
    | pamtopnm -quiet >"$work/mask.pbm"
  ppmmake -quiet "$HIDDEN_COLOUR" "$size" "$size" >"$work/hidden.ppm"
  pngtopam "$png" | pamcomp -quiet -alpha="$work/mask.pbm" - "$work/hidden.ppm" >"$work/flat.ppm"
  pnmcolormap -quiet "$colours" "$work/flat.ppm" >"$work/map.ppm"
  pnmremap -quiet -nofloyd -mapfile="$work/map.ppm" "$work/flat.ppm" \
    | pnmtopng -quiet -alpha="$work/mask.pbm" >"$out"
}

images=()
for size in 16 32 48 256; do
  style "$size" >"$work/$size.css"
  rsvg-convert --stylesheet "$work/$size.css" -w "$size" -h "$size" \
    -o "$work/$size.png" "$here/icon.svg"
  if ((size == 256)); then
    images+=(-r "$work/$size.png")
  else
    palette_image "$size" 15 "$work/$size-4.png"
    palette_image "$size" 255 "$work/$size-8.png"
    images+=(-b 4 "$work/$size-4.png" -b 8 "$work/$size-8.png" -b 32 "$work/$size.png")
  fi
done
icotool -c -o "$work/installer.ico" "${images[@]}"

# icotool picks each image's depth from its colours and takes -b only as
# the least: check that every image came out as asked.
expected='16 4 16|16 8 256|16 32 0|32 4 16|32 8 256|32 32 0|48 4 16|48 8 256|48 32 0|256 32 0'
listed=$(icotool -l "$work/installer.ico" \
  | sed -E 's/.*--width=([0-9]+).*--bit-depth=([0-9]+) --palette-size=([0-9]+).*/\1 \2 \3/' | paste -sd '|')
if [[ $listed != "$expected" ]]; then
  echo "make_icon.sh: icotool wrote other images than asked: $listed" >&2
  exit 1
fi
mv -f "$work/installer.ico" "$output"
