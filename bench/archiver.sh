#!/usr/bin/env bash
# Archiver benchmark: our native archiver tool with the program's four default
# profiles, beside Info-ZIP zip, bsdtar's ZIP and 7z writers and xz, on the
# same inputs, in one run. Prints archive size, wall time and peak memory,
# our figures as fractions of the peers', the disk's copy rate for storing,
# zopfli's size for the single files (when installed) and a determinism check.
# It never fails a build; it only prints figures.
#
# Usage: [BENCH_RUNS=N] bench/archiver.sh [CORPUS_DIR]
#   Each command whose time is compared with a peer's runs N times (default
#   3) and its best time counts, ours and the peers' alike.
#   CORPUS_DIR holds A/ (a mixed folder), B.html and B2.bin (large single
#   files) as bench/make-corpus builds them from Debian packages; default
#   build/bench-corpus (built on first use, about 200 MB of disk).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
corpus=${1:-$root/build/bench-corpus}
maker=$root/bench/make-corpus

# The toolchain and the peers (zip, bsdtar, xz, zopfli, GNU time, bc).
"$root/scripts/setup" || { echo "setup failed"; exit 0; }

# A corpus given by hand needs its three inputs; the default one is built
# (again, when an earlier build stopped half-way) until make-corpus finishes.
if [ -n "${1:-}" ]; then
  for f in A B.html B2.bin; do
    [ -e "$corpus/$f" ] || { echo "no $f in $corpus (bench/make-corpus DIR builds a corpus)"; exit 0; }
  done
elif [ ! -e "$corpus/.complete" ]; then
  echo "building the corpus in $corpus ..."
  bash "$maker" "$corpus" || { echo "corpus could not be built"; exit 0; }
fi

cmake --preset host-release >/dev/null && cmake --build --preset host-release -j "$(nproc)" >/dev/null \
  || { echo "build failed"; exit 0; }
ours=$(find "$root/build/host-release" -type f -name 'morvik-archiver' -perm -u+x | head -n 1)
[ -n "$ours" ] || { echo "native archiver tool not found"; exit 0; }

# Runs of each timed command compared with a peer (best time kept).
runs=${BENCH_RUNS:-3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '%-8s %-44s %14s %9s %9s  %s\n' input tool bytes seconds "MaxRSS MB" "ratios (size, time)"

# measure INPUT LABEL OUTPUT COMMAND...: runs the command in the current
# folder, prints the output's size, the wall time and the peak memory, and
# leaves them in SIZE, SECS and RSS for comparisons (SIZE=0 on failure).
# With RUNS=N it runs N times and keeps the shortest time (this machine is
# shared: a single run can lose a core to another tenant); the size must be
# the same every time. Set KEEP=1 to keep the output file.
SIZE=0 SECS=0 RSS=0
measure() {
  local input=$1 label=$2 out=$3; shift 3
  local runs=${RUNS:-1} r t0 t1 rc secs rss size=-1 best="" peak=0
  for ((r = 0; r < runs; r++)); do
    rm -f "$out"
    t0=$(date +%s.%N)
    /usr/bin/env time -f '%M' -o "$work/rss" "$@" >/dev/null 2>"$work/err"
    rc=$?
    t1=$(date +%s.%N)
    if [ $rc -ne 0 ] || [ ! -f "$out" ]; then
      SIZE=0
      printf '%-8s %-44s %14s %9s %9s\n' "$input" "$label" "failed($rc)" - -
      head -n 3 "$work/err" | sed 's/^/         /'
      return
    fi
    if [ "$size" != -1 ] && [ "$size" != "$(stat -c %s "$out")" ]; then
      echo "         (size differs between runs: $size, $(stat -c %s "$out"))"
    fi
    size=$(stat -c %s "$out")
    secs=$(echo "$t1 - $t0" | bc)
    rss=$(echo "$(tail -n 1 "$work/rss" 2>/dev/null || echo 0) / 1024" | bc -l)
    if [ -z "$best" ] || [ "$(echo "$secs < $best" | bc)" = 1 ]; then best=$secs; fi
    if [ "$(echo "$rss > $peak" | bc)" = 1 ]; then peak=$rss; fi
  done
  SIZE=$size SECS=$best RSS=$peak
  local note=""
  [ "$runs" -gt 1 ] && note="  (best of $runs)"
  printf '%-8s %-44s %14d %9.2f %9.1f%s\n' "$input" "$label" "$SIZE" "$SECS" "$RSS" "$note"
  [ "${KEEP:-0}" = 1 ] || rm -f "$out"
}

# compare SET LABEL OUR_SIZE OUR_SECS PEER_SIZE PEER_SECS: prints our size
# and time as fractions of the peer's.
compare() {
  local set=$1 label=$2 os=$3 ot=$4 ps=$5 pt=$6
  if [ "$os" = 0 ] || [ "$ps" = 0 ]; then printf '%-8s %-56s %s\n' "$set" "$label" "n/a"; return; fi
  awk -v s="$set" -v l="$label" -v os="$os" -v ot="$ot" -v ps="$ps" -v pt="$pt" 'BEGIN {
    printf "%-8s %-56s size %.4f (%+.2f%%)  time %.2f\n", s, l, os / ps, (os / ps - 1) * 100, (pt > 0 ? ot / pt : 0) }'
}

# One set: INPUT_LABEL, then the archiver arguments for ours (folder
# contents or one file), run from $corpus; the peers run in PEER_DIR on
# PEER_ARGS.
run_set() {
  local label=$1 ourargs=$2 peerdir=$3 peerargs=$4
  local -a inputs
  read -r -a inputs <<<"$ourargs"
  cd "$corpus"
  RUNS=$runs measure "$label" "ours a -tzip -mx=9 -mfb=64 -mpass=4 -r" "$work/o.zip" "$ours" a -tzip -mx=9 -mfb=64 -mpass=4 -r "$work/o.zip" "${inputs[@]}"
  local p1s=$SIZE p1t=$SECS
  measure "$label" "ours same, -mmt=1" "$work/o.zip" "$ours" a -tzip -mx=9 -mfb=64 -mpass=4 -mmt=1 -r "$work/o.zip" "${inputs[@]}"
  measure "$label" "ours a -tzip -mx=1 -r" "$work/o.zip" "$ours" a -tzip -mx=1 -r "$work/o.zip" "${inputs[@]}"
  local l1s=$SIZE l1t=$SECS
  RUNS=$runs measure "$label" "ours a -tzip -mx=0 -r" "$work/o.zip" "$ours" a -tzip -mx=0 -r "$work/o.zip" "${inputs[@]}"
  local p2s=$SIZE p2t=$SECS
  RUNS=$runs measure "$label" "ours a -t7z -mx=9 -r" "$work/o.7z" "$ours" a -t7z -mx=9 -r "$work/o.7z" "${inputs[@]}"
  local p3s=$SIZE p3t=$SECS
  RUNS=$runs measure "$label" "ours a -t7z -mx=0 -r" "$work/o.7z" "$ours" a -t7z -mx=0 -r "$work/o.7z" "${inputs[@]}"
  local p4s=$SIZE p4t=$SECS
  cd "$peerdir"
  # shellcheck disable=SC2086
  RUNS=$runs measure "$label" "zip -9" "$work/z.zip" zip -q -9 -r "$work/z.zip" $peerargs
  local z9s=$SIZE z9t=$SECS
  # shellcheck disable=SC2086
  measure "$label" "zip -1" "$work/z.zip" zip -q -1 -r "$work/z.zip" $peerargs
  local z1s=$SIZE z1t=$SECS
  # shellcheck disable=SC2086
  RUNS=$runs measure "$label" "zip -0" "$work/z.zip" zip -q -0 -r "$work/z.zip" $peerargs
  local z0s=$SIZE z0t=$SECS
  # shellcheck disable=SC2086
  RUNS=$runs measure "$label" "copy (cp, the disk's rate)" "$work/copy/done" sh -c "rm -rf '$work/copy' && mkdir -p '$work/copy' && cp -r $peerargs '$work/copy/' && sync && touch '$work/copy/done'"
  local cps=$SIZE cpt=$SECS
  rm -rf "$work/copy"
  # shellcheck disable=SC2086
  measure "$label" "bsdtar zip (level 9)" "$work/b.zip" bsdtar --format zip --options zip:compression-level=9 -cf "$work/b.zip" $peerargs
  # shellcheck disable=SC2086
  RUNS=$runs measure "$label" "bsdtar 7z (lzma2, level 9)" "$work/b.7z" bsdtar --format 7zip --options 7zip:compression=lzma2,7zip:compression-level=9 -cf "$work/b.7z" $peerargs
  local b7s=$SIZE b7t=$SECS
  measure "$label" "tar | xz -9" "$work/t.tar.xz" sh -c "tar -cf - $peerargs | xz -9 -T1 > '$work/t.tar.xz'"
  if [ -n "${5:-}" ] && command -v zopfli >/dev/null; then
    # The practical limit for deflate, capped in time.
    measure "$label" "zopfli --i5 (deflate limit, max 120 s)" "$work/zf.deflate" sh -c "timeout 120 zopfli --i5 --deflate -c '$5' > '$work/zf.deflate'"
  fi
  echo "         -- ratios (ours / peer)"
  compare "$label" "profile 1 zip vs zip -9 (goal <= 0.97, time <= 1)" "$p1s" "$p1t" "$z9s" "$z9t"
  compare "$label" "zip -mx=1 vs zip -1" "$l1s" "$l1t" "$z1s" "$z1t"
  compare "$label" "profile 2 store vs zip -0 (time goal <= 1.2)" "$p2s" "$p2t" "$z0s" "$z0t"
  compare "$label" "profile 2 store vs the disk's copy (time)" "$p2s" "$p2t" "$p2s" "$cpt"
  compare "$label" "profile 3 7z vs bsdtar 7z (goal <= 1, time <= 0.6)" "$p3s" "$p3t" "$b7s" "$b7t"
  compare "$label" "profile 4 7z store vs zip -0 (time goal <= 1.2)" "$p4s" "$p4t" "$z0s" "$z0t"
}

# Determinism: the same command twice gives the same bytes.
determinism() {
  cd "$corpus"
  local a b
  for mt in 1 2; do
    "$ours" a -tzip -mx=9 -mfb=64 -mpass=4 -mmt=$mt "$work/d1.zip" B.html >/dev/null
    "$ours" a -tzip -mx=9 -mfb=64 -mpass=4 -mmt=$mt "$work/d2.zip" B.html >/dev/null
    a=$(sha256sum <"$work/d1.zip"); b=$(sha256sum <"$work/d2.zip")
    echo "determinism: B.html profile 1 -mmt=$mt twice: $([ "$a" = "$b" ] && echo identical || echo DIFFERENT)"
    rm -f "$work/d1.zip" "$work/d2.zip"
  done
}

run_set A "A/ *" "$corpus/A" "."
run_set B.html "B.html" "$corpus" "B.html" "$corpus/B.html"
run_set B2.bin "B2.bin" "$corpus" "B2.bin" "$corpus/B2.bin"
determinism
