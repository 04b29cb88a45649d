#!/usr/bin/env bash
# Draws Z1.png, the window and application icon: two stacked disks under a
# mirror bar, 64 x 64, and beside it Z1.ico, the same at 64, 48, 32 and 16
# pixels for the Windows resource scripts. Needs ImageMagick's convert.
#   resources/make-icon.sh [output.png]
set -euo pipefail
out=${1:-"$(dirname "$0")/Z1.png"}

convert -size 256x256 xc:none \
  -fill '#1f4e8c' -stroke none -draw 'roundrectangle 8,8 248,248 40,40' \
  `# upper disk` \
  -fill '#d8dce2' -stroke '#0f2a4d' -strokewidth 8 -draw 'roundrectangle 44,40 212,116 14,14' \
  -fill '#0f2a4d' -stroke none -draw 'circle 180,78 180,64' \
  -fill '#3fbf5f' -draw 'rectangle 60,70 120,86' \
  `# lower disk` \
  -fill '#d8dce2' -stroke '#0f2a4d' -strokewidth 8 -draw 'roundrectangle 44,140 212,216 14,14' \
  -fill '#0f2a4d' -stroke none -draw 'circle 180,178 180,164' \
  -fill '#3fbf5f' -draw 'rectangle 60,170 120,186' \
  `# the mirror link between them` \
  -fill '#f2b233' -draw 'rectangle 120,116 136,140' \
  -resize 64x64 -strip \
  "png32:$out"
convert "$out" -define icon:auto-resize=64,48,32,16 "${out%.png}.ico"
echo "$out"
