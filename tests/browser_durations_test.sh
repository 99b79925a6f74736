#!/usr/bin/env bash
# Movies as a browser sees them: the demo recordings to MP4 and WebM, opened in headless Chromium
# (a local page, no network), whose <video> must report the length the container gives, within
# a frame. A browser takes an MP4's length from its video track, so a track that ends before the
# final screen's hold shows there and nowhere else.
#
#   tests/browser_durations_test.sh [REELCAP]    (build/reelcap by default)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
reelcap=$(realpath "${1:-$repo/build/reelcap}")
scratch=$(mktemp -d "${TMPDIR:-/tmp}/browser-durations-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"

fail() {
    echo "browser_durations_test: $*" >&2
    exit 1
}

fps=30
movies=()
convert() {
    local name=$1
    shift
    PATH=${reelcap%/*}:$PATH "$reelcap" "$@" -quiet -tidy -fps "$fps" -output "$name" >/dev/null || fail "reelcap $* -output $name failed"
    movies+=("$name")
}
convert cast.mp4 "$repo/samples/demo.cast"
convert cast.webm "$repo/samples/demo.cast"
convert ttyrec.mp4 "$repo/samples/demo.ttyrec" -last 2
convert ttyrec-x264-bframes.mp4 "$repo/samples/demo.ttyrec" -codec h264 -realtime

{
    echo '<!doctype html><body><pre id="out"></pre><script>'
    echo 'const out = document.getElementById("out");'
    for movie in "${movies[@]}"; do
        echo "{ const v = document.createElement('video'); v.preload = 'metadata';
  v.onloadedmetadata = () => { out.textContent += '$movie ' + v.duration + '\n'; };
  v.onerror = () => { out.textContent += '$movie error ' + (v.error ? v.error.code : '') + '\n'; };
  v.src = '$movie'; }"
    done
    echo '</script></body>'
} >page.html

# The page is our own, and neither root nor a machine without chromium-sandbox can sandbox.
timeout 120 chromium --headless --no-sandbox --disable-gpu --user-data-dir="$scratch/profile" \
    --virtual-time-budget=20000 --dump-dom "file://$scratch/page.html" 2>/dev/null >dom.html ||
    fail "chromium did not load the page"
for movie in "${movies[@]}"; do
    browser=$(sed -n "s/^\(<html>.*<pre id=\"out\">\)\{0,1\}$movie \([^ <]*\).*/\2/p" dom.html)
    container=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$movie")
    [ -n "$browser" ] || fail "Chromium gave no length for $movie: $(grep -A5 'id="out"' dom.html)"
    awk -v b="$browser" -v c="$container" -v f="$fps" 'BEGIN { d = b - c; if (d < 0) d = -d; exit !(d <= 1 / f) }' ||
        fail "Chromium says $movie lasts $browser s, its container $container s"
done
echo "browser_durations_test: Chromium's lengths of ${movies[*]} are their containers'"
