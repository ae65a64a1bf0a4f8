#!/usr/bin/env bash
# Checks what `make demo` wrote: both videos with picture and sound, the
# vertical one 1080x1920, a contact sheet that is a real PNG, and the film
# and segments left for a first recap.
set -euo pipefail
dir="${1:-demo-output}"
fail() { echo "demo check: $*" >&2; exit 1; }

for video in FINAL_RECAP.mp4 horizontal_final.mp4; do
    [ -s "$dir/$video" ] || fail "$dir/$video missing or empty"
    types="$(ffprobe -v error -show_entries stream=codec_type -of csv=p=0 "$dir/$video" | sort -u | tr '\n' ' ')"
    [ "$types" = "audio video " ] || fail "$video has streams '$types', expected audio and video"
done
size="$(ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0:s=x "$dir/FINAL_RECAP.mp4")"
[ "$size" = "1080x1920" ] || fail "FINAL_RECAP.mp4 is $size, expected 1080x1920"
codec="$(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$dir/preview.png")"
[ "$codec" = "png" ] || fail "preview.png is not a PNG ($codec)"
left="$(ls "$dir" | sort | tr '\n' ' ')"
[ "$left" = "FINAL_RECAP.mp4 film.mp4 horizontal_final.mp4 preview.png segments.json " ] \
    || fail "unexpected files left: $left"
# What the README's first recap reads: the film as the page served it, and its segments.
cmp -s "$dir/segments.json" vantor/demo/segments.json || fail "segments.json is not the demo's"
[ "$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$dir/film.mp4" | cut -d. -f1)" = 64 ] \
    || fail "film.mp4 is not the demo's 64 s film"
echo "demo check: FINAL_RECAP.mp4 ${size}, horizontal_final.mp4, preview.png, film.mp4 and segments.json OK"
