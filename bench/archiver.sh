#!/usr/bin/env bash
# Archiver benchmark: our native archiver tool with the program's four default
# profiles, beside Info-ZIP zip, bsdtar's ZIP and 7z writers and xz, on the
# same inputs, in one run. Prints archive size, wall time and peak memory.
# It never fails a build; it only prints figures.
#
# Usage: bench/archiver.sh [CORPUS_DIR]
#   CORPUS_DIR holds A/ (a mixed folder), B.html and B2.bin (large single
#   files) as ../shared/bench/make-corpus builds them; default build/bench-corpus
#   (built on first use, about 200 MB of disk).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
corpus=${1:-$root/build/bench-corpus}
maker=$root/../shared/bench/make-corpus

if [ ! -d "$corpus/A" ]; then
  [ -x "$maker" ] || { echo "no corpus at $corpus and no make-corpus script"; exit 0; }
  echo "building the corpus in $corpus ..."
  "$maker" "$corpus" || { echo "corpus could not be built"; exit 0; }
fi

cmake --preset host-release >/dev/null && cmake --build --preset host-release -j "$(nproc)" >/dev/null \
  || { echo "build failed"; exit 0; }
ours=$(find "$root/build/host-release" -type f -name 'morvik-archiver' -perm -u+x | head -n 1)
[ -n "$ours" ] || { echo "native archiver tool not found"; exit 0; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '%-8s %-44s %14s %9s %9s\n' input tool bytes seconds "MaxRSS MB"

# measure INPUT LABEL OUTPUT COMMAND...: runs the command in the input's
# folder, prints the output's size, the wall time and the peak memory.
measure() {
  local input=$1 label=$2 out=$3; shift 3
  rm -f "$out"
  local t0 t1 rss
  t0=$(date +%s.%N)
  /usr/bin/env time -f '%M' -o "$work/rss" "$@" >/dev/null 2>"$work/err"
  local rc=$?
  t1=$(date +%s.%N)
  rss=$(tail -n 1 "$work/rss" 2>/dev/null)
  if [ $rc -ne 0 ] || [ ! -f "$out" ]; then
    printf '%-8s %-44s %14s %9s %9s\n' "$input" "$label" "failed($rc)" - -
    head -n 3 "$work/err" | sed 's/^/         /'
    return
  fi
  printf '%-8s %-44s %14d %9.2f %9.1f\n' "$input" "$label" "$(stat -c %s "$out")" \
    "$(echo "$t1 - $t0" | bc)" "$(echo "${rss:-0} / 1024" | bc -l)"
  rm -f "$out"
}

run_folder() {
  local dir=$corpus/A
  cd "$corpus"
  measure A "ours a -tzip -mx=9 -mfb=64 -mpass=4 -r" "$work/o.zip" "$ours" a -tzip -mx=9 -mfb=64 -mpass=4 -r "$work/o.zip" "$dir/" '*'
  measure A "ours a -tzip -mx=0 -r" "$work/o.zip" "$ours" a -tzip -mx=0 -r "$work/o.zip" "$dir/" '*'
  measure A "ours a -t7z -mx=9 -r" "$work/o.7z" "$ours" a -t7z -mx=9 -r "$work/o.7z" "$dir/" '*'
  measure A "ours a -t7z -mx=0 -r" "$work/o.7z" "$ours" a -t7z -mx=0 -r "$work/o.7z" "$dir/" '*'
  cd "$dir"
  measure A "zip -9 -r" "$work/z.zip" zip -q -9 -r "$work/z.zip" .
  measure A "zip -0 -r" "$work/z.zip" zip -q -0 -r "$work/z.zip" .
  measure A "bsdtar zip (level 9)" "$work/b.zip" bsdtar --format zip --options zip:compression-level=9 -cf "$work/b.zip" .
  measure A "bsdtar 7z (lzma2, level 9)" "$work/b.7z" bsdtar --format 7zip --options 7zip:compression=lzma2,7zip:compression-level=9 -cf "$work/b.7z" .
  measure A "tar | xz -9" "$work/t.tar.xz" sh -c "tar -cf - . | xz -9 -T1 > '$work/t.tar.xz'"
}

run_file() {
  local name=$1 label=$2
  cd "$corpus"
  measure "$label" "ours a -tzip -mx=9 -mfb=64 -mpass=4 -r" "$work/o.zip" "$ours" a -tzip -mx=9 -mfb=64 -mpass=4 -r "$work/o.zip" "$corpus/$name"
  measure "$label" "ours a -tzip -mx=0 -r" "$work/o.zip" "$ours" a -tzip -mx=0 -r "$work/o.zip" "$corpus/$name"
  measure "$label" "ours a -t7z -mx=9 -r" "$work/o.7z" "$ours" a -t7z -mx=9 -r "$work/o.7z" "$corpus/$name"
  measure "$label" "ours a -t7z -mx=0 -r" "$work/o.7z" "$ours" a -t7z -mx=0 -r "$work/o.7z" "$corpus/$name"
  measure "$label" "zip -9" "$work/z.zip" zip -q -9 "$work/z.zip" "$name"
  measure "$label" "zip -0" "$work/z.zip" zip -q -0 "$work/z.zip" "$name"
  measure "$label" "bsdtar zip (level 9)" "$work/b.zip" bsdtar --format zip --options zip:compression-level=9 -cf "$work/b.zip" "$name"
  measure "$label" "bsdtar 7z (lzma2, level 9)" "$work/b.7z" bsdtar --format 7zip --options 7zip:compression=lzma2,7zip:compression-level=9 -cf "$work/b.7z" "$name"
  measure "$label" "xz -9" "$work/x.xz" sh -c "xz -9 -T1 -c '$name' > '$work/x.xz'"
}

run_folder
run_file B.html B.html
run_file B2.bin B2.bin
