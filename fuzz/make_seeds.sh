#!/usr/bin/env bash
# Regenerates the seed inputs of the fuzz targets from small files compressed
# with every method by the built program:
#   fuzz/make_seeds.sh [path/to/vexa-Q38]   (default: build/vexa-Q38)
# Writes fuzz/corpus/<target>/seed-* in each target's input format:
#   unpack_file   pass-through byte (bit 0), then the compressed file;
#   unpack_block  method byte, 3 bytes block size - 1 (little-endian), then
#                 the first block's payload;
#   roundtrip     method byte, block size index byte, then the plain file;
#   sorters       the plain file, as one block.
# Method bytes follow fuzz::variants: 0 DC, 1 DC pass-through, 2 MTF adaptive,
# 3 MTF adaptive + RLE0, 4 MTF static, 5 MTF static + RLE0. The text files
# also go to unpack_file with every block checksum zeroed (-nocrc), as files
# of earlier writers are. Crash inputs (crash-*) in the same folders are kept.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
exe="${1:-$root/build/vexa-Q38}"
[ -x "$exe" ] || { echo "make_seeds: no program at $exe (build it first)" >&2; exit 1; }
corpus="$here/corpus"
mkdir -p "$corpus/unpack_file" "$corpus/unpack_block" "$corpus/roundtrip" "$corpus/sorters"
rm -f "$corpus"/*/seed-*

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Small inputs of different kinds: text, binary, all byte values, runs, tiny.
samples="$root/tests/data/samples"
head -c 1500 "$samples/text.txt" >"$work/text"
head -c 1200 "$samples/binary.bin" >"$work/binary"
cp "$samples/all256.bin" "$work/all256"
head -c 700 "$samples/repeat.bin" >"$work/repeat"
cp "$samples/one.bin" "$work/one"
cp "$samples/two.bin" "$work/two"

for input in text binary all256 repeat one two; do cp "$work/$input" "$corpus/sorters/seed-$input"; done

le32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }
# The compressed file with the checksum field of every block set to 0.
zero_checksums() {
    python3 - "$1" <<'PY'
import sys
d = bytearray(open(sys.argv[1], "rb").read())
left, at = int.from_bytes(d[8:12], "little"), 12
while left > 0 and at + 18 <= len(d):
    d[at + 14:at + 18] = bytes(4)
    left -= min(left, int.from_bytes(d[at + 8:at + 12], "little"))
    at += 18 + int.from_bytes(d[at + 4:at + 8], "little")
sys.stdout.buffer.write(bytes(d))
PY
}
byte() { printf "\\$(printf '%03o' "$1")"; }

methodArgs=("" "-p" "-m --norle0" "-m" "-m -s --norle0" "-m -s")
# Block sizes of the roundtrip target (index into its table) and the -b
# values given to the program for the same sizes.
blockIndex=(0 5)
blockArg=("" "-b 1000")

for input in text binary all256 repeat one two; do
    size=$(stat -c %s "$work/$input")
    for m in 0 1 2 3 4 5; do
        for k in 0 1; do
            # -b 1000 only cuts inputs longer than that.
            [ "$k" = 1 ] && [ "$size" -le 1000 ] && continue
            name="$input-m$m-b$k"
            packed="$work/$name.q38"
            # shellcheck disable=SC2086
            "$exe" -c "$work/$input" -o "$packed" ${methodArgs[$m]} ${blockArg[$k]} </dev/null >/dev/null
            { byte $((m == 1)); cat "$packed"; } >"$corpus/unpack_file/seed-$name"
            if [ "$input" = text ]; then
                { byte $((m == 1)); zero_checksums "$packed"; } >"$corpus/unpack_file/seed-$name-nocrc"
            fi
            # -b 1000 files give their first block.
            dataSize=$(le32 "$packed" 20)
            packedSize=$(le32 "$packed" 16)
            n=$((dataSize - 1))
            { byte "$m"; byte $((n & 255)); byte $(((n >> 8) & 255)); byte $(((n >> 16) & 255))
              tail -c +31 "$packed" | head -c "$packedSize"; } >"$corpus/unpack_block/seed-$name"
            { byte "$m"; byte "${blockIndex[$k]}"; cat "$work/$input"; } >"$corpus/roundtrip/seed-$name"
        done
    done
done
du -sh "$corpus"/* >&2
