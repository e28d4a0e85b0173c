#!/usr/bin/env bash
# Draws the two pictures of the student page with ImageMagick (Debian's imagemagick and
# fonts-dejavu-core). The PNGs are committed; run this again only to change them.
set -euo pipefail
cd "$(dirname "$0")"
FONT=DejaVu-Sans
BOLD=DejaVu-Sans-Bold
ACCENT='#0088aa'

# The logo: a speech bubble holding a "K", on a rounded accent square (256 px, shown at 64).
convert -size 256x256 xc:none \
  -fill "$ACCENT" -draw 'roundrectangle 8,8 247,247 56,56' \
  -fill '#ffffff' -draw 'roundrectangle 44,50 212,182 34,34' \
  -draw 'polygon 84,176 84,222 130,178' \
  -fill "$ACCENT" -font "$BOLD" -pointsize 112 -gravity center -annotate +0-12 'K' \
  -strip klarion_petit.png

# Where the context length is set: a sketch of the model loading settings.
convert -size 960x560 xc:'#f4f7f9' \
  -fill '#1f2933' -draw 'roundrectangle 40,30 920,440 18,18' \
  -fill '#2d3a45' -draw 'roundrectangle 40,30 920,86 18,18' -draw 'rectangle 40,70 920,86' \
  -fill '#e6edf2' -font "$BOLD" -pointsize 22 -annotate +70+66 'LM Studio  ›  Charger un modèle' \
  -fill '#9fb3c2' -font "$FONT" -pointsize 18 -annotate +70+126 'Modèle : qwen2.5-7b-instruct' \
  -fill '#9fb3c2' -annotate +70+186 'GPU Offload' \
  -fill '#3b4b58' -draw 'roundrectangle 470,166 880,196 8,8' \
  -fill '#0088aa' -draw 'roundrectangle 470,166 760,196 8,8' \
  -fill '#ffffff' -font "$BOLD" -pointsize 20 -annotate +70+259 'Context Length' \
  -fill '#3b4b58' -draw 'roundrectangle 470,232 880,272 8,8' \
  -fill '#ffffff' -font "$BOLD" -pointsize 22 -annotate +490+261 '8192' \
  -fill none -stroke '#ff5a36' -strokewidth 5 -draw 'roundrectangle 56,220 896,284 12,12' \
  -stroke none -fill '#9fb3c2' -font "$FONT" -pointsize 18 -annotate +70+326 'Flash Attention' \
  -fill '#3b4b58' -draw 'roundrectangle 830,308 880,332 12,12' \
  -fill '#0088aa' -draw 'roundrectangle 56,370 330,420 10,10' \
  -fill '#ffffff' -font "$BOLD" -pointsize 20 -annotate +92+403 'Charger le modèle' \
  -fill '#ff5a36' -draw 'polygon 650,318 700,318 675,292' -draw 'rectangle 667,318 683,352' \
  -fill '#1f2933' -font "$BOLD" -pointsize 24 -annotate +40+490 'Réglez « Context Length » sur 8192 ou plus,' \
  -font "$FONT" -pointsize 22 -annotate +40+526 "puis chargez (ou rechargez) le modèle avant d'analyser les journaux." \
  -strip context_help.png
