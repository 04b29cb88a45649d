#!/usr/bin/env bash
# Draws disk.jpg, the 127 x 109 picture of an open hard disk shown for each
# port, as a baseline JPEG. Needs ImageMagick's convert.
#   resources/make-disk-picture.sh [output]
set -euo pipefail
out=${1:-"$(dirname "$0")/disk.jpg"}

# Drawn at four times the size and scaled down, for smooth edges.
convert -size 508x436 xc:white \
  `# casing` \
  -fill '#5a5f66' -stroke '#2e3136' -strokewidth 6 -draw 'roundrectangle 14,10 494,426 28,28' \
  -fill '#6e747c' -stroke none -draw 'roundrectangle 30,26 478,410 20,20' \
  `# corner screws` \
  -fill '#c9ccd1' -stroke '#2e3136' -strokewidth 3 \
  -draw 'circle 50,46 62,46' -draw 'circle 458,46 470,46' \
  -draw 'circle 50,390 62,390' -draw 'circle 458,390 470,390' \
  `# platter: dark rim, mirror surface with a few tracks, spindle` \
  -fill '#3a3d42' -stroke none -draw 'circle 214,206 214,20' \
  -fill '#d8dce2' -draw 'circle 214,206 214,30' \
  -fill none -stroke '#b8bec6' -strokewidth 3 \
  -draw 'circle 214,206 214,60' -draw 'circle 214,206 214,95' -draw 'circle 214,206 214,130' \
  -fill '#eef1f5' -stroke none -draw 'path "M 214,206 L 120,60 A 186,186 0 0,1 200,31 Z"' \
  -fill '#8d939b' -stroke '#4a4e54' -strokewidth 4 -draw 'circle 214,206 214,166' \
  -fill '#c9ccd1' -stroke '#4a4e54' -strokewidth 3 -draw 'circle 214,206 214,186' \
  `# actuator: pivot, arm reaching over the platter, head` \
  -fill '#2e3136' -stroke none -draw 'circle 420,340 420,296' \
  -fill '#9aa0a8' -stroke '#2e3136' -strokewidth 4 \
  -draw 'polygon 402,322 438,352 330,152 314,136 302,150' \
  -fill '#c9ccd1' -stroke '#2e3136' -strokewidth 3 -draw 'circle 420,340 420,318' \
  -fill '#2e3136' -stroke none -draw 'rectangle 294,124 326,154' \
  `# magnet block behind the pivot` \
  -fill '#44484e' -draw 'roundrectangle 380,360 476,404 10,10' \
  -resize 127x109\! \
  -strip -interlace none -sampling-factor 2x2 -quality 90 \
  "jpeg:$out"
echo "$out"
