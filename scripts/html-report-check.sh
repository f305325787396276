#!/usr/bin/env bash
# The HTML report in a real browser: rngacq-check writes a page for random, biased and assessed
# data, headless Chromium renders it, and the check fails unless the screenshot shows the charts'
# colours, the DOM holds every section, and the console stayed quiet. A page with a script error is
# rendered first, to prove that the console check sees errors at all.
#   [KEEP=DIR] scripts/html-report-check.sh [RNGACQ_CHECK]   (default build/debug/check/rngacq-check)
set -euo pipefail
cd "$(dirname "$0")/.."
check=$(realpath "${1:-build/debug/check/rngacq-check}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Each run is bounded: a browser that hangs fails the check instead of the CI run.
browse() {
  timeout 90 chromium --headless --disable-gpu --no-sandbox --hide-scrollbars --no-first-run \
    --user-data-dir="$work/profile" --enable-logging=stderr --v=0 "$@"
}
# Console messages (errors included) and uncaught exceptions, as Chromium logs them.
console_errors() { grep -E ':CONSOLE\(|Uncaught' "$1" || true; }

echo '<!DOCTYPE html><html><body><script>notDefinedAnywhere();</script></body></html>' >"$work/broken.html"
browse --dump-dom "file://$work/broken.html" >/dev/null 2>"$work/broken.log"
if [ -z "$(console_errors "$work/broken.log")" ]; then
  echo "html-report-check: the console check missed a script error; Chromium logged:" >&2
  cat "$work/broken.log" >&2
  exit 1
fi

head -c 100000 /dev/urandom >"$work/random.bin"
head -c 50000 /dev/urandom | tr '\200-\377' '\000-\177' >"$work/biased.bin"  # the top bit always 0
cp tests/data/sp800-90b/rand8_short.bin "$work/nist sample <1>.bin"
status=0
(cd "$work" && "$check" --html=report.html --assess --claim=5 random.bin biased.bin "nist sample <1>.bin") \
  >"$work/report.txt" || status=$?
if [ "$status" -ne 1 ]; then
  echo "html-report-check: rngacq-check exited with $status, not 1 (the biased file fails)" >&2
  cat "$work/report.txt" >&2
  exit 1
fi

browse --dump-dom "file://$work/report.html" >"$work/dom.html" 2>"$work/dom.log"
browse --screenshot="$work/shot.png" --window-size=1280,2400 "file://$work/report.html" 2>"$work/shot.log"

failures=0
fail() { echo "html-report-check: $*" >&2; failures=$((failures + 1)); }
for part in '<h1>Data quality report</h1>' '<h2>random.bin</h2>' '<h2>biased.bin</h2>' \
  '<h2>nist sample &lt;1&gt;.bin</h2>' '<svg class="histogram"' '<svg class="assessment"' \
  '<p class="verdict fail">Verdict: fail' 'src="data:image/png;base64,' \
  'The claim of 5 bits per sample holds: the assessed min-entropy is 5.86.'; do
  grep -qF -- "$part" "$work/dom.html" || fail "the rendered page lacks: $part"
done
for section in 'class="histogram"' 'class="assessment"' 'class="bitmap"'; do
  [ "$(grep -oF -- "$section" "$work/dom.html" | wc -l)" -eq 3 ] || fail "not three of $section"
done
for log in "$work/dom.log" "$work/shot.log"; do
  errors=$(console_errors "$log")
  [ -z "$errors" ] || fail "console messages: $errors"
done
[ -f "$work/shot.png" ] || fail "no screenshot"
# The screenshot shows the bars' blue, the red of the failed verdict and the bars outside the
# band, black and white bits, and many colours more where text is smoothed: a page drawn.
python3 - "$work/shot.png" <<'EOF' || failures=$((failures + 1))
import struct, sys, zlib

data = open(sys.argv[1], "rb").read()
if len(data) < 50000 or data[:8] != b"\x89PNG\r\n\x1a\n":
    sys.exit(f"html-report-check: the screenshot is {len(data)} bytes, or no PNG")
at, idat, header = 8, b"", None
while at < len(data):
    length, kind = struct.unpack(">I4s", data[at:at + 8])
    body = data[at + 8:at + 8 + length]
    if kind == b"IHDR":
        header = struct.unpack(">IIBBBBB", body)
    elif kind == b"IDAT":
        idat += body
    at += 12 + length
width, height, depth, colour, _, _, interlace = header
if depth != 8 or colour not in (2, 6) or interlace:
    sys.exit(f"html-report-check: a screenshot PNG this check does not read: {header}")
step = 3 if colour == 2 else 4
raw, stride = zlib.decompress(idat), width * step
previous, colours = bytearray(stride), set()
for y in range(height):
    kind, row = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
    for i in range(stride):
        left = row[i - step] if i >= step else 0
        up, corner = previous[i], previous[i - step] if i >= step else 0
        if kind == 1:
            row[i] = (row[i] + left) & 255
        elif kind == 2:
            row[i] = (row[i] + up) & 255
        elif kind == 3:
            row[i] = (row[i] + (left + up) // 2) & 255
        elif kind == 4:
            p = left + up - corner
            pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
            row[i] = (row[i] + (left if pa <= pb and pa <= pc else up if pb <= pc else corner)) & 255
    colours.update(bytes(row[x:x + 3]) for x in range(0, stride, step))
    previous = row
wanted = {"bar blue": b"\x28\x28\x8f", "red": b"\xd4\x00\x00", "black": b"\0\0\0", "white": b"\xff\xff\xff"}
missing = [name for name, rgb in wanted.items() if rgb not in colours]
if missing or len(colours) < 50:
    sys.exit(f"html-report-check: {len(colours)} colours in the screenshot, without {missing}")
print(f"html-report-check: screenshot {width}x{height}, {len(data)} bytes, {len(colours)} colours")
EOF
if [ "$failures" -ne 0 ]; then
  echo "html-report-check: $failures failures (KEEP=DIR keeps the page and its screenshot there)" >&2
  if [ -n "${KEEP:-}" ]; then cp "$work/report.html" "$work/shot.png" "$KEEP/" 2>/dev/null || true; fi
  exit 1
fi
files=$(grep -oF '<section' "$work/dom.html" | wc -l)
echo "html-report-check: $(chromium --version 2>/dev/null) rendered the page of $files files, no console messages"
