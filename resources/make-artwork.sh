#!/bin/bash
# Regenerates the setup artwork: the four 700x500 background pictures, the
# 16-colour window icon and the monochrome hand cursor. Run by hand after an
# artwork change and commit the outputs; the build only embeds them.
#
# Needs ImageMagick 6 (convert, identify), fonts-liberation and python3.
#
# The window draws each picture at client (-1,-2), so a hotspot at client
# (x, y, w, h) covers picture pixels (x+1, y+2, w, h); only picture pixels
# x 1..690, y 2..496 are ever seen.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for f in Liberation-Sans Liberation-Sans-Bold; do
  convert -list font | grep -q "Font: $f\$" || { echo "missing font $f" >&2; exit 1; }
done

bold=Liberation-Sans-Bold
regular=Liberation-Sans
navy='#0b2a55'
blue='#1d6ab8'
ink='#1b2a3a'
link='#12437c'

# Picture-space rectangles (x, y, w, h) of the drawn entries.
install_rect=(387 197 190 23)
manual_rect=(386 243 137 21)
reader_rect=(387 286 306 21)
service_rect=(387 329 218 21)
gateway_rect=(386 370 306 21)
moreinfo_rect=(490 426 187 31)
home_rect=(555 473 55 22)
close_rect=(637 473 53 21)

# A push button filling the rectangle, label centred.
button() {  # out-array-name x y w h label pointsize
  local -n out=$1
  local x=$2 y=$3 w=$4 h=$5 label=$6 size=$7
  local x2=$((x + w - 1)) y2=$((y + h - 1))
  out+=(-stroke '#0d3f78' -strokewidth 1 -fill "$blue"
        -draw "roundrectangle $x,$y $x2,$y2 4,4"
        -stroke none -fill 'rgba(255,255,255,0.22)'
        -draw "roundrectangle $((x + 1)),$((y + 1)) $((x2 - 1)),$((y + h / 2)) 3,3"
        -fill white -font "$bold" -pointsize "$size" -gravity NorthWest)
  local tw
  tw=$(convert -font "$bold" -pointsize "$size" label:"$label" -format '%w' info:)
  local th=$((size * 5 / 4))
  out+=(-annotate "+$((x + (w - tw) / 2))+$((y + (h - th) / 2))" "$label")
}

# A menu entry: a small arrow tile at the rectangle's left, text after it.
entry() {  # out-array-name x y w h text
  local -n out=$1
  local x=$2 y=$3 h=$5 text=$6
  local ty=$((y + (h - 17) / 2))
  out+=(-stroke none -fill "$blue"
        -draw "roundrectangle $((x + 1)),$ty $((x + 17)),$((ty + 16)) 3,3"
        -stroke white -strokewidth 2 -fill none
        -draw "polyline $((x + 7)),$((ty + 4)) $((x + 11)),$((ty + 8)) $((x + 7)),$((ty + 12))"
        -stroke none -fill "$link" -font "$bold" -pointsize 15 -gravity NorthWest
        -annotate "+$((x + 25))+$((y + (h - 19) / 2))" "$text")
}

# A band of width w along the arc of radius r around (cx, cy) from angle a
# to b (degrees, counter-clockwise from east, y up), with round ends, as
# filled shapes: ImageMagick 6 strokes open paths with stray spikes.
arc() {  # cx cy r a b w
  awk -v cx="$1" -v cy="$2" -v r="$3" -v a="$4" -v b="$5" -v w="$6" 'BEGIN {
    p = 3.14159265 / 180
    printf "polygon"
    for (i = 0; i <= 24; i++) {
      t = a + (b - a) * i / 24
      printf " %.2f,%.2f", cx + (r + w / 2) * cos(t * p), cy - (r + w / 2) * sin(t * p)
    }
    for (i = 24; i >= 0; i--) {
      t = a + (b - a) * i / 24
      printf " %.2f,%.2f", cx + (r - w / 2) * cos(t * p), cy - (r - w / 2) * sin(t * p)
    }
    split(a " " b, ends, " ")
    for (k = 1; k <= 2; k++) {
      x = cx + r * cos(ends[k] * p); y = cy - r * sin(ends[k] * p)
      printf " circle %.2f,%.2f %.2f,%.2f", x, y, x + w / 2, y
    }
  }'
}

# --- Shared frame: header band, left panel, footer with Home and Close. ---
frame=(-size 700x500 xc:white)
convert -size 122x700 gradient:"$navy"-"$blue" -rotate -90 "$work/header.png"
convert -size 352x340 gradient:'#dfeaf6'-'#f8fbfe' "$work/panel.png"
frame+=("$work/header.png" -geometry +0+0 -composite
        "$work/panel.png" -geometry +0+122 -composite)
frame+=(-stroke none
        # soft rings in the header
        -fill 'rgba(255,255,255,0.06)' -draw 'circle 610,60 610,190'
        -fill 'rgba(255,255,255,0.06)' -draw 'circle 610,60 610,140'
        -fill 'rgba(255,255,255,0.07)' -draw 'circle 470,150 470,240'
        # accent rule under the header
        -fill '#19a7c9' -draw 'rectangle 0,118 700,121'
        # panel edge
        -fill '#c7d6e7' -draw 'rectangle 352,122 352,461'
        # footer
        -fill '#eef2f7' -draw 'rectangle 0,462 700,500'
        -fill '#c7d3e1' -draw 'rectangle 0,462 700,462')
# wireless mark at the header's right
frame+=(-stroke none -fill white -draw 'circle 620,86 620,92'
        -draw "$(arc 620 86 16 45 135 6)"
        -fill 'rgba(255,255,255,0.75)' -draw "$(arc 620 86 30 45 135 6)"
        -fill 'rgba(255,255,255,0.5)' -draw "$(arc 620 86 44 45 135 6)")
frame+=(-gravity NorthWest -fill white -font "$bold" -pointsize 40 -annotate +26+16 'QAR Tarnlink'
        -fill '#d3e6fb' -font "$regular" -pointsize 22 -annotate +28+66 'Wireless Cable Modem Gateway'
        -fill '#5d6f84' -font "$regular" -pointsize 11 -annotate +16+477 'QAR Tarnlink Setup')
button frame "${home_rect[@]}" Home 13
button frame "${close_rect[@]}" Close 13
convert "${frame[@]}" "$work/frame.png"

# --- Gateway illustration for the left panel. ---
gateway() {  # out-array-name x y (top-left of the 84x150 device body)
  local -n out=$1
  local x=$2 y=$3
  local tx=$((x + 76)) ty=$((y - 40))
  out+=(-stroke none
        -fill 'rgba(20,50,90,0.16)' -draw "ellipse $((x + 44)),$((y + 156)) 62,8 0,360"
        # antenna behind the body
        -stroke '#53647a' -strokewidth 6 -draw "line $((x + 68)),$((y + 10)) $tx,$ty"
        -stroke none -fill '#53647a' -draw "circle $tx,$ty $tx,$((ty + 5))"
        -fill '#9aa9bb' -draw "roundrectangle $x,$y $((x + 84)),$((y + 150)) 12,12"
        -fill '#f4f7fb' -draw "roundrectangle $((x + 2)),$((y + 2)) $((x + 82)),$((y + 148)) 10,10"
        -fill '#e3e9f1' -draw "roundrectangle $((x + 48)),$((y + 2)) $((x + 82)),$((y + 148)) 10,10"
        -fill '#1d3556' -draw "roundrectangle $((x + 14)),$((y + 22)) $((x + 28)),$((y + 128)) 6,6")
  local i
  for i in 0 1 2 3 4; do
    local c='#35d05a'
    [ $i -eq 2 ] && c='#3fb4ff'
    out+=(-fill "$c" -draw "circle $((x + 21)),$((y + 35 + i * 20)) $((x + 21)),$((y + 39 + i * 20))")
  done
  out+=(-fill '#1d3556' -font "$bold" -pointsize 13 -gravity NorthWest
        -annotate "+$((x + 40))+$((y + 126))" 'QAR'
        -stroke none)
  local r alpha=1
  for r in 12 21 30; do
    out+=(-fill "rgba(29,106,184,$alpha)"
          -draw "$(arc "$tx" "$ty" "$r" 115 160 4)"
          -draw "$(arc "$tx" "$ty" "$r" 20 65 4)")
    alpha=$(awk -v a="$alpha" 'BEGIN { print a - 0.3 }')
  done
}

# --- Main screens. ---
main_screen() {  # output first-entry-text
  local args=("$work/frame.png" -gravity NorthWest)
  args+=(-stroke none -fill 'rgba(29,106,184,0.07)' -draw 'circle 176,262 176,380'
         -fill 'rgba(29,106,184,0.06)' -draw 'circle 176,262 176,340')
  gateway args 134 204
  # note box
  args+=(-stroke '#c3d3e6' -strokewidth 1 -fill '#ffffff'
         -draw 'roundrectangle 18,392 334,448 6,6'
         -stroke none -fill "$blue" -draw 'circle 38,412 38,421'
         -fill white -font "$bold" -pointsize 13 -annotate +35+404 'i'
         -fill "$ink" -font "$bold" -pointsize 12 -annotate +56+399 'Note:'
         -font "$regular" -annotate +92+399 'The USB driver is needed only for PCs'
         -annotate +56+416 "connected to the gateway's USB port.")
  args+=(-fill "$navy" -font "$bold" -pointsize 20 -annotate +386+146 'Main Menu'
         -fill '#19a7c9' -draw 'rectangle 386,175 460,177'
         -fill '#dbe4ee' -draw 'rectangle 461,176 680,176')
  local y
  for y in 233 276 319 361; do
    args+=(-fill '#e6ecf3' -draw "rectangle 386,$y 680,$y")
  done
  entry args "${install_rect[@]}" "$2"
  entry args "${manual_rect[@]}" 'View Manual'
  entry args "${reader_rect[@]}" 'Install Adobe Acrobat Reader'
  entry args "${service_rect[@]}" 'Online Protection Service'
  entry args "${gateway_rect[@]}" 'Log into Gateway Management'
  convert "${args[@]}" "$1"
}

main_screen "$work/install.png" 'Install USB Driver'
main_screen "$work/uninstall.png" 'Uninstall USB Driver'

# --- Connect-cable screen. ---
{
  args=("$work/frame.png" -gravity NorthWest)
  gateway args 44 222
  # laptop, cable plugged into its left side
  args+=(-stroke none -fill 'rgba(20,50,90,0.16)' -draw 'ellipse 258,374 92,6 0,360'
         -fill '#8d9cb0' -draw 'roundrectangle 198,258 318,354 8,8'
         -fill '#2a5c96' -draw 'rectangle 206,266 310,346'
         -fill 'rgba(255,255,255,0.12)' -draw 'polygon 206,266 280,266 206,322'
         -fill '#c3ccd8' -draw 'polygon 188,354 328,354 342,368 174,368'
         -fill '#8d9cb0' -draw 'rectangle 174,368 342,371'
         -fill '#a9b5c5' -draw 'rectangle 238,357 278,360'
         -fill none -stroke '#3c4a5c' -strokewidth 4
         -draw 'path "M 134,344 C 156,344 150,362 172,362"'
         -stroke none -fill '#3c4a5c' -draw 'rectangle 128,338 136,350'
         -draw 'rectangle 170,357 180,366'
         # USB mark on the screen
         -stroke white -strokewidth 3 -fill none
         -draw 'line 224,306 276,306' -draw 'polyline 236,306 244,292 258,292'
         -draw 'polyline 242,306 250,318 262,318'
         -stroke none -fill white -draw 'polygon 276,299 288,306 276,313'
         -draw 'circle 224,306 224,312' -draw 'rectangle 258,288 265,295'
         -draw 'circle 265,318 265,322')
  args+=(-fill "$navy" -font "$bold" -pointsize 20 -annotate +386+146 'Connect the USB Cable'
         -fill '#19a7c9' -draw 'rectangle 386,175 460,177'
         -fill '#dbe4ee' -draw 'rectangle 461,176 680,176')
  convert "${args[@]}" "$work/usb.png"
  steps=(
    "Connect the USB cable from the gateway's USB port to a USB port on your PC."
    "Windows finds the gateway and completes the installation when the connection initialises. This may take a minute."
    "Press Close when finished."
  )
  y=196
  n=1
  for s in "${steps[@]}"; do
    convert -background none -size 262x -fill "$ink" -font "$regular" -pointsize 14 \
      caption:"$s" "$work/step.png"
    h=$(identify -format '%h' "$work/step.png")
    convert "$work/usb.png" -stroke none -fill "$blue" \
      -draw "circle 398,$((y + 9)) 398,$((y + 20))" \
      -fill white -font "$bold" -pointsize 14 -gravity NorthWest \
      -annotate "+394+$((y + 1))" "$n" \
      "$work/step.png" -geometry "+418+$y" -composite "$work/usb.png"
    y=$((y + h + 22))
    n=$((n + 1))
  done
}

# --- Partner service screen. ---
{
  args=("$work/frame.png" -gravity NorthWest)
  args+=(-stroke none -fill 'rgba(29,106,184,0.07)' -draw 'circle 176,285 176,415'
         # shield
         -fill '#0f4d8f' -draw 'path "M 176,170 L 256,198 C 256,290 226,350 176,385 C 126,350 96,290 96,198 Z"'
         -fill '#1d6ab8' -draw 'path "M 176,182 L 244,206 C 244,286 218,338 176,370 C 134,338 108,286 108,206 Z"'
         -fill 'rgba(255,255,255,0.14)' -draw 'path "M 176,182 L 176,370 C 134,338 108,286 108,206 Z"'
         -fill none -stroke white -strokewidth 12 -draw 'polyline 140,272 166,300 214,238'
         -stroke none)
  args+=(-fill "$navy" -font "$bold" -pointsize 20 -annotate +386+146 'Online Protection Service'
         -fill '#19a7c9' -draw 'rectangle 386,175 460,177'
         -fill '#dbe4ee' -draw 'rectangle 461,176 680,176')
  button args "${moreinfo_rect[@]}" 'More Info' 15
  convert "${args[@]}" "$work/selvo.png"
  text="Stay safe while you surf. Our partner's online protection service checks your PC for viruses, spyware and other threats, warns you about harmful web sites and keeps itself up to date automatically.

Click More Info to learn about the service and how to subscribe."
  convert -background none -size 290x -fill "$ink" -font "$regular" -pointsize 14 \
    caption:"$text" "$work/about.png"
  convert "$work/selvo.png" "$work/about.png" -geometry +386+196 -composite "$work/selvo.png"
}

for p in install uninstall usb selvo; do
  convert "$work/$p.png" -strip -interlace none -sampling-factor 2x2 \
    -quality 85 "$here/$p.jpg"
done

# --- Icon and cursor: ImageMagick cannot be relied on for 4-bpp ICO or for
# cursor hotspots, so they are written by hand. ---
convert -size 32x32 xc:none +antialias -stroke none \
  -fill '#000080' -draw 'roundrectangle 1,1 30,30 5,5' \
  -fill '#0000FF' -draw 'roundrectangle 2,2 29,29 4,4' \
  -fill '#FFFFFF' -draw 'roundrectangle 6,19 25,26 2,2' \
  -fill '#808080' -draw 'rectangle 7,25 24,26' \
  -fill '#00FF00' -draw 'rectangle 9,22 10,23' -draw 'rectangle 13,22 14,23' \
  -fill '#FFFF00' -draw 'rectangle 17,22 18,23' \
  -fill '#C0C0C0' -draw 'rectangle 21,9 22,19' \
  -fill none -stroke '#00FFFF' -strokewidth 2 \
  -draw 'arc 15,5 29,19 200,340' \
  -stroke '#FFFFFF' -strokewidth 1 -draw 'arc 18,8 26,16 200,340' \
  -depth 8 rgba:"$work/icon.rgba"

python3 - "$work/icon.rgba" "$here/qar.ico" "$here/hand.cur" <<'PY'
import struct, sys

# The standard 16-colour Windows palette, in index order.
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]

def nearest(rgb):
    return min(range(16), key=lambda i: sum((a - b) ** 2 for a, b in zip(rgb, PALETTE[i])))

def dib(width, height, bpp, palette, index, opaque):
    """A BITMAPINFOHEADER image with XOR (colour) and AND (mask) planes, bottom-up."""
    header = struct.pack('<IiiHHIIiiII', 40, width, height * 2, 1, bpp, 0,
                         0, 0, 0, len(palette), 0)
    pal = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in palette)
    xor_stride = ((width * bpp + 31) // 32) * 4
    and_stride = ((width + 31) // 32) * 4
    xor = bytearray()
    mask = bytearray()
    for y in reversed(range(height)):
        row = bytearray(xor_stride)
        bits = bytearray(and_stride)
        for x in range(width):
            v = index(x, y)
            pos = x * bpp
            row[pos // 8] |= v << (8 - bpp - pos % 8)
            if not opaque(x, y):
                bits[x // 8] |= 0x80 >> (x % 8)
        xor += row
        mask += bits
    return header + pal + bytes(xor) + bytes(mask)

def write(path, kind, width, height, colours, field1, field2, image):
    directory = struct.pack('<HHH', 0, kind, 1)
    entry = struct.pack('<BBBBHHII', width, height, colours, 0, field1, field2,
                        len(image), 6 + 16)
    with open(path, 'wb') as f:
        f.write(directory + entry + image)

# Window icon: 32x32, 4 bits per pixel, transparency from the AND mask.
rgba = open(sys.argv[1], 'rb').read()
px = lambda x, y: rgba[(y * 32 + x) * 4:(y * 32 + x) * 4 + 4]
icon = dib(32, 32, 4, PALETTE,
           lambda x, y: nearest(px(x, y)[:3]) if px(x, y)[3] >= 128 else 0,
           lambda x, y: px(x, y)[3] >= 128)
write(sys.argv[2], 1, 32, 32, 16, 1, 4, icon)

# Hand cursor: X outline (black), o fill (white), anything else transparent.
HAND = """
     XX
    XooX
    XooX
    XooX
    XooX
    XooXXX
    XooXooXXX
    XooXooXooXX
 XX XooXooXooXoX
XooXXooooooooooX
XoooXooooooooooX
 XooooooooooooooX
  XoooooooooooooX
  XoooooooooooooX
   XooooooooooooX
   XoooooooooooX
    XooooooooooX
    XooooooooooX
     XooooooooX
     XooooooooX
     XXXXXXXXXX
"""
rows = HAND.strip('\n').split('\n')
cell = lambda x, y: rows[y][x] if y < len(rows) and x < len(rows[y]) else ' '
hot_y = 0
hot_x = rows[0].index('X')  # the fingertip
cursor = dib(32, 32, 1, [(0, 0, 0), (255, 255, 255)],
             lambda x, y: 1 if cell(x, y) == 'o' else 0,
             lambda x, y: cell(x, y) in 'Xo')
write(sys.argv[3], 2, 32, 32, 2, hot_x, hot_y, cursor)
PY

identify "$here"/*.jpg "$here/qar.ico" "$here/hand.cur"
ls -l "$here"/*.jpg "$here/qar.ico" "$here/hand.cur"
