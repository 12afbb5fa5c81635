#!/usr/bin/env bash
# Renders every patch in examples/ twice, with the native kvhost and with the
# win64 kvhost.exe under wine64, and compares each output file:
#   .wav, .f32  sample by sample;  .csv  field by field (numbers as numbers).
# A file passes when it is bit-identical, or when no sample differs by more
# than TOLERANCE (absolute, in module units: 1.0 is 10 V), for the last bits
# that sin and friends may differ by between C runtimes. Prints one line per
# output file with the largest difference and exits non-zero on any failure.
#   usage: cmake/check_win64_renders.sh [native build, default build] [win64 build, default build-win64]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
native=${1:-build}
win=${2:-build-win64}
TOLERANCE=${TOLERANCE:-1e-9}

# Start programs with wine's own 64-bit loader: the `wine` wrapper tries the
# 32-bit one, which this kernel cannot run.
wine64=""
for w in /usr/lib/wine/wine64 "$(command -v wine64 || true)"; do
  [ -n "$w" ] && [ -x "$w" ] && { wine64=$w; break; }
done
[ -n "$wine64" ] || { echo "FAIL: wine64 not found (Debian package wine64)" >&2; exit 1; }
[ -x "$native/bin/kvhost" ] || { echo "FAIL: $native/bin/kvhost missing: build the native preset first" >&2; exit 1; }
[ -f "$win/bin/kvhost.exe" ] || { echo "FAIL: $win/bin/kvhost.exe missing: build the win64 preset first" >&2; exit 1; }

# A prefix of our own in the build folder; no window system, no debug noise.
export WINEPREFIX="$root/$win/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
# The patch memory seeds its random generator from the tick count: fix it.
export KV_TICK_COUNT=123456
out="$root/$win/renders"
rm -rf "$out"
mkdir -p "$out"

# Windows path of a Unix path (wine maps Z: to /).
winpath() { local p=$1; printf 'Z:%s' "${p//\//\\}"; }

failures=0
for patch in examples/*.json; do
  name=$(basename "$patch" .json)
  mkdir -p "$out/native/$name" "$out/wine/$name"
  # Each render runs in its own folder, so files a patch writes beside it do
  # not meet.
  if ! (cd "$out/native/$name" && "$root/$native/bin/kvhost" render "$root/$patch" --out-dir . \
          --plugins "$root/$native/plugins" >log.txt 2>&1); then
    echo "FAIL: $name: native render failed:" >&2; cat "$out/native/$name/log.txt" >&2
    failures=$((failures + 1)); continue
  fi
  if ! (cd "$out/wine/$name" && "$wine64" "$root/$win/bin/kvhost.exe" render "$(winpath "$root/$patch")" \
          --out-dir . --plugins "$(winpath "$root/$win/plugins")" >log.txt 2>&1); then
    echo "FAIL: $name: render under wine64 failed:" >&2; cat "$out/wine/$name/log.txt" >&2
    failures=$((failures + 1)); continue
  fi
done

# The platform layer's file functions (CreateFileA, WriteFile, MoveFileExA
# over an existing file, DeleteFileA in the Windows build): an array module
# with a data file writes it on close, the next render loads it, saves it
# again unchanged, and a third clears (deletes) it and saves the zeros.
patches="$out/platform-patches"
mkdir -p "$patches"
array='"modules": [{"name": "arr", "plugin": "ZB_Array",
              "pins": {"Array Size": 12, "Use File?": "Yes", "File Name": "array_data.txt"}}]'
index='"arr.Index In": {"type": "saw", "frequency": 50.0, "amplitude": 6.0, "offset": 5.5}'
cat > "$patches/1_write.json" <<JSON
{"sample_rate": 48000, "block_size": 64, "samples": 4800, $array,
 "sources": {"arr.Input": {"type": "sine", "frequency": 37.0, "amplitude": 7.0}, $index,
             "arr.Write": {"type": "square", "frequency": 1130.0, "amplitude": 5.0, "offset": 5.0}},
 "outputs": [{"file": "1_write.wav", "pins": ["arr.Output", "arr.Index Out"]}]}
JSON
cat > "$patches/2_read.json" <<JSON
{"sample_rate": 48000, "block_size": 64, "samples": 4800, $array, "sources": {$index},
 "outputs": [{"file": "2_read.wav", "pins": ["arr.Output"]}]}
JSON
cat > "$patches/3_clear.json" <<JSON
{"sample_rate": 48000, "block_size": 64, "samples": 4800, $array, "sources": {$index},
 "automation": {"arr.Clear": [[0.05, 1], [0.06, 0]]},
 "outputs": [{"file": "3_clear.wav", "pins": ["arr.Output"]}]}
JSON
for side in native wine; do
  dir="$out/$side/platform-files"
  mkdir -p "$dir"
  for patch in "$patches"/*.json; do
    step=$(basename "$patch" .json)
    if [ $side = native ]; then
      (cd "$dir" && "$root/$native/bin/kvhost" render "$patch" --out-dir . --plugins "$root/$native/plugins" >>log.txt 2>&1)
    else
      (cd "$dir" && "$wine64" "$root/$win/bin/kvhost.exe" render "$(winpath "$patch")" --out-dir . \
         --plugins "$(winpath "$root/$win/plugins")" >>log.txt 2>&1)
    fi || { echo "FAIL: platform-files/$step: $side render failed" >&2; failures=$((failures + 1)); }
    if [ -f "$dir/array_data.txt" ]; then cp "$dir/array_data.txt" "$dir/$step.data"; else : >"$dir/$step.missing"; fi
  done
done
for step in 1_write 2_read 3_clear; do
  a="$out/native/platform-files/$step.data" b="$out/wine/platform-files/$step.data"
  if [ -f "$a" ] && [ -f "$b" ] && cmp -s "$a" "$b"; then
    echo "ok   platform-files/$step: data file byte-identical ($(wc -c <"$a") bytes)"
  else
    echo "FAIL platform-files/$step: data files differ or are missing" >&2
    failures=$((failures + 1))
  fi
done
if ! cmp -s "$out/wine/platform-files/1_write.data" "$out/wine/platform-files/2_read.data" ||
   cmp -s "$out/wine/platform-files/2_read.data" "$out/wine/platform-files/3_clear.data"; then
  echo "FAIL platform-files: under wine64 the reloaded file changed, or Clear left the values" >&2
  failures=$((failures + 1))
fi

# Compares the two trees; one line per output file.
python3 - "$out" "$TOLERANCE" <<'EOF' || failures=$((failures + 1))
import math, os, struct, sys

out, tol = sys.argv[1], float(sys.argv[2])

def wav_samples(path):
    data = open(path, 'rb').read()
    if data[:4] != b'RIFF' or data[8:12] != b'WAVE':
        raise ValueError('not a WAV file')
    pos, fmt, samples = 12, None, None
    while pos + 8 <= len(data):
        cid, n = data[pos:pos + 4], struct.unpack_from('<I', data, pos + 4)[0]
        body = data[pos + 8:pos + 8 + n]
        if cid == b'fmt ':
            tag, ch, rate = struct.unpack_from('<HHI', body, 0)
            bits = struct.unpack_from('<H', body, 14)[0]
            if tag == 0xFFFE:
                tag = struct.unpack_from('<H', body, 24)[0]
            fmt = (tag, ch, rate, bits)
        elif cid == b'data':
            samples = body
        pos += 8 + n + (n & 1)
    if fmt is None or samples is None or fmt[0] != 3 or fmt[3] != 32:
        raise ValueError('not a 32-bit float WAV file: %r' % (fmt,))
    return fmt[1:3], struct.unpack('<%df' % (len(samples) // 4), samples[:len(samples) // 4 * 4])

def f32_samples(path):
    data = open(path, 'rb').read()
    return None, struct.unpack('<%df' % (len(data) // 4), data[:len(data) // 4 * 4])

def csv_values(path):
    # Fields as numbers where they parse, else as text.
    vals = []
    for line in open(path, newline='').read().split('\n'):
        for field in line.split(','):
            try:
                vals.append(float(field))
            except ValueError:
                vals.append(field)
    return None, vals

def bits(x):
    return struct.pack('<f', x) if isinstance(x, float) else x

failed = 0
for name in sorted(os.listdir(os.path.join(out, 'native'))):
    nd, wd = os.path.join(out, 'native', name), os.path.join(out, 'wine', name)
    files = sorted(f for f in os.listdir(nd) if f.rsplit('.', 1)[-1] in ('wav', 'f32', 'csv'))
    if not files:
        print('FAIL %-28s no output files' % name)
        failed += 1
    for f in files:
        label = '%s/%s' % (name, f)
        if not os.path.exists(os.path.join(wd, f)):
            print('FAIL %-40s missing from the wine64 render' % label)
            failed += 1
            continue
        read = {'wav': wav_samples, 'f32': f32_samples, 'csv': csv_values}[f.rsplit('.', 1)[-1]]
        try:
            (ha, a), (hb, b) = read(os.path.join(nd, f)), read(os.path.join(wd, f))
        except (ValueError, struct.error) as e:
            print('FAIL %-40s %s' % (label, e))
            failed += 1
            continue
        if ha != hb or len(a) != len(b):
            print('FAIL %-40s shape differs: %s %d values vs %s %d' % (label, ha, len(a), hb, len(b)))
            failed += 1
            continue
        worst, differing, text_differs = 0.0, 0, False
        for x, y in zip(a, b):
            if isinstance(x, float) and isinstance(y, float):
                if x == y or (math.isnan(x) and math.isnan(y)):
                    if struct.pack('<d', x) != struct.pack('<d', y) and not math.isnan(x):
                        differing += 1  # +0 against -0
                    continue
                differing += 1
                d = abs(x - y)
                worst = max(worst, d if not math.isnan(d) else math.inf)
            elif x != y:
                text_differs = True
        if text_differs:
            print('FAIL %-40s text fields differ' % label)
            failed += 1
        elif differing == 0:
            print('ok   %-40s bit-identical (%d values)' % (label, len(a)))
        elif worst <= tol:
            print('ok   %-40s %d of %d values differ, largest difference %.3g <= tolerance %g'
                  % (label, differing, len(a), worst, tol))
        else:
            print('FAIL %-40s %d of %d values differ, largest difference %.3g > tolerance %g'
                  % (label, differing, len(a), worst, tol))
            failed += 1
sys.exit(1 if failed else 0)
EOF

if ((failures)); then
  echo "win64 renders under wine64: FAILED (outputs in $out)" >&2
  exit 1
fi
echo "win64 renders under wine64: every example matches the native render (tolerance $TOLERANCE)"
