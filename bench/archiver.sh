#!/usr/bin/env bash
# Archiver benchmark: our native archiver tool and our Windows library
# 7-ZIP32.DLL (run under Wine, as users run it) with the program's four
# default profiles, beside Info-ZIP zip, bsdtar's ZIP and 7z writers and xz,
# on the same inputs, in one run. Prints archive size, wall time, CPU time
# (user + system) and peak memory, our figures as fractions of the peers',
# the library's beside the native tool's, the disk's copy rate for storing,
# zopfli's size for the single files (when installed) and a determinism check.
# It never fails a build; it only prints figures.
#
# The library is called by bench/sevenzip_call.cpp (built by the win64
# preset), which times the SevenZip() call itself: Wine's start-up is not
# counted. Each of its runs is interleaved with a run of the native tool on
# the same files, so that both see the same load on a shared machine.
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

# The toolchain and the peers (zip, bsdtar, xz, zopfli, GNU time, bc).
"$root/scripts/setup" || { echo "setup failed"; exit 0; }

# shellcheck source=bench/lib.sh
. "$root/bench/lib.sh"
bench_corpus "${1:-}" || exit 0
ours=$(bench_native_tool) || exit 0

# Runs of each timed command compared with a peer (best time kept).
runs=${BENCH_RUNS:-3}
work=$(mktemp -d)

# The library under Wine, on a display of its own (its progress window shows
# after a second) and a Wine prefix of the benchmark's own.
. "$root/scripts/lib/wine.sh"
trap 'morvik_wine_stop; rm -rf "$work"' EXIT
lib=""
if cmake --preset win64 >/dev/null 2>&1 && cmake --build --preset win64 -j "$(nproc)" --target archiver_dll sevenzip-call >/dev/null 2>&1; then
  caller=$root/build/win64/bench/sevenzip-call.exe
  dll=$root/build/win64/archiver/dll/7-ZIP32.DLL
  if [ -f "$caller" ] && [ -f "$dll" ] && morvik_display_start && morvik_prefix_init "$root/build/bench-wineprefix" \
    && morvik_wine_server_start; then
    lib=$dll
  fi
fi
[ -n "$lib" ] || echo "(the library under Wine is left out: the win64 build or Wine is not available)"
# Whether Wine hands its top-level windows to an X window manager. This
# display has none, and on taking down a managed window that was shown Wine
# waits for a window manager's answer, 2 s, before it gives up: a wait that
# Windows does not have, paid at the end of every call that showed the
# progress window. The library is timed with unmanaged windows; the "Wine's
# own costs" block shows the wait itself.
wine_managed() { wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d "$1" /f >/dev/null 2>&1; }
[ -z "$lib" ] || wine_managed N
# A Linux path as Wine's Z: drive names it.
winpath() { local p=${1//\//\\}; printf 'Z:%s' "$p"; }

printf '%-8s %-44s %14s %9s %9s %9s  %s\n' input tool bytes seconds "cpu s" "MaxRSS MB" "ratios (size, time)"

# once OUTPUT COMMAND...: runs the command once in the current folder and
# leaves the output's size, the wall time, the CPU time (user + system) and
# the peak memory in ONE_SIZE, ONE_SECS, ONE_CPU and ONE_RSS (ONE_SIZE=0 and
# the first lines of its errors in $work/err on failure).
ONE_SIZE=0 ONE_SECS=0 ONE_CPU=0 ONE_RSS=0
once() {
  local out=$1; shift
  local t0 t1 rc
  rm -f "$out"
  t0=$(date +%s.%N)
  /usr/bin/env time -f '%M %U %S' -o "$work/rss" "$@" >/dev/null 2>"$work/err"
  rc=$?
  t1=$(date +%s.%N)
  ONE_SIZE=0
  if [ $rc -ne 0 ] || [ ! -f "$out" ]; then echo "failed($rc)" >>"$work/err"; return 1; fi
  ONE_SIZE=$(stat -c %s "$out")
  ONE_SECS=$(echo "$t1 - $t0" | bc)
  read -r ONE_RSS ONE_CPU < <(tail -n 1 "$work/rss" | awk '{ printf "%.1f %.2f\n", $1 / 1024, $2 + $3 }')
}

# once_lib OUTPUT ARCHIVER_ARGUMENTS: the same through the library under
# Wine; the times are those of the SevenZip() call as the caller measured
# it, the peak memory that of the whole Wine process.
once_lib() {
  local out=$1 line=$2 res rc
  rm -f "$out"
  /usr/bin/env time -f '%M' -o "$work/rss" wine "$caller" "$(winpath "$lib")" "$line" >"$work/call" 2>"$work/err" </dev/null
  rc=$?
  ONE_SIZE=0
  res=$(grep '^call ' "$work/call")
  if [ $rc -ne 0 ] || [ ! -f "$out" ] || [ -z "$res" ]; then echo "failed($rc)" >>"$work/err"; return 1; fi
  ONE_SIZE=$(stat -c %s "$out")
  read -r ONE_SECS ONE_CPU < <(echo "$res" | awk '{ printf "%.3f %.2f\n", $2, $3 + $4 }')
  ONE_RSS=$(echo "$(tail -n 1 "$work/rss") / 1024" | bc -l)
}

# The best of runs: SIZE, SECS (shortest wall time), CPU (least CPU time),
# RSS (highest peak). keep_best is called after each run; show prints the line.
SIZE=0 SECS=0 CPU=0 RSS=0
best_reset() { SIZE=-1 SECS="" CPU="" RSS=0 NOTE=""; }
keep_best() {
  if [ "$SIZE" != -1 ] && [ "$SIZE" != "$ONE_SIZE" ]; then NOTE="  (size differs between runs: $SIZE, $ONE_SIZE)"; fi
  SIZE=$ONE_SIZE
  if [ -z "$SECS" ] || [ "$(echo "$ONE_SECS < $SECS" | bc)" = 1 ]; then SECS=$ONE_SECS; fi
  if [ -z "$CPU" ] || [ "$(echo "$ONE_CPU < $CPU" | bc)" = 1 ]; then CPU=$ONE_CPU; fi
  if [ "$(echo "$ONE_RSS > $RSS" | bc)" = 1 ]; then RSS=$ONE_RSS; fi
}
show() {
  local input=$1 label=$2 runs=$3 note=""
  [ "$runs" -gt 1 ] && note="  (best of $runs)"
  printf '%-8s %-44s %14d %9.2f %9.2f %9.1f%s%s\n' "$input" "$label" "$SIZE" "$SECS" "$CPU" "$RSS" "$note" "$NOTE"
}
failed() {
  printf '%-8s %-44s %14s %9s %9s %9s\n' "$1" "$2" "$(tail -n 1 "$work/err")" - - -
  head -n 3 "$work/err" | sed 's/^/         /'
}

# measure INPUT LABEL OUTPUT COMMAND...: runs the command RUNS times (default
# 1) in the current folder (this machine is shared: a single run can lose a
# core to another tenant), prints the output's size, the best wall time, the
# CPU time and the peak memory, and leaves them in SIZE, SECS, CPU and RSS
# (SIZE=0 on failure). The size must be the same every time. Set KEEP=1 to
# keep the output file.
measure() {
  local input=$1 label=$2 out=$3; shift 3
  local runs=${RUNS:-1} r
  best_reset
  for ((r = 0; r < runs; r++)); do
    once "$out" "$@" || { SIZE=0; failed "$input" "$label"; return; }
    keep_best
  done
  show "$input" "$label" "$runs"
  [ "${KEEP:-0}" = 1 ] || rm -f "$out"
}

# measure_both INPUT LABEL EXT ARCHIVER_ARGUMENT...: our native tool and, when
# it is there, the library under Wine, on the same command, run in turn RUNS
# times each. Leaves the native tool's figures in SIZE, SECS, CPU and the
# library's in LSIZE, LSECS, LCPU (0 when missing or failed).
LSIZE=0 LSECS=0 LCPU=0
measure_both() {
  local input=$1 label=$2 ext=$3; shift 3
  local runs=${RUNS:-1} r nout="$work/o.$ext" lout="$work/l.$ext" line="" w nok=1 lok=1
  local -a args=("$@")
  # The library's command line: the same words, the archive by its Z: name.
  for w in "${args[@]}"; do
    if [ "$w" = "@OUT" ]; then w="\"$(winpath "$lout")\""; fi
    line+="${line:+ }$w"
  done
  local -a nargs=("${args[@]/#@OUT/$nout}")
  local ns=-1 nt="" nc="" nr=0 ls=-1 lt="" lc="" lr=0 nnote="" lnote=""
  for ((r = 0; r < runs; r++)); do
    if [ $nok = 1 ]; then
      best_reset; SIZE=$ns SECS=$nt CPU=$nc RSS=$nr
      if once "$nout" "$ours" "${nargs[@]}"; then keep_best; ns=$SIZE nt=$SECS nc=$CPU nr=$RSS nnote=$NOTE
      else nok=0; failed "$input" "ours $label"; fi
    fi
    if [ -n "$lib" ] && [ $lok = 1 ]; then
      best_reset; SIZE=$ls SECS=$lt CPU=$lc RSS=$lr
      if once_lib "$lout" "$line"; then keep_best; ls=$SIZE lt=$SECS lc=$CPU lr=$RSS lnote=$NOTE
      else lok=0; failed "$input" "lib $label"; fi
    fi
  done
  LSIZE=0 LSECS=0 LCPU=0
  if [ -n "$lib" ] && [ $lok = 1 ]; then
    SIZE=$ls SECS=$lt CPU=$lc RSS=$lr NOTE=$lnote
    show "$input" "lib $label" "$runs"
    LSIZE=$SIZE LSECS=$SECS LCPU=$CPU
  fi
  SIZE=0 SECS=0 CPU=0
  if [ $nok = 1 ]; then
    SIZE=$ns SECS=$nt CPU=$nc RSS=$nr NOTE=$nnote
    show "$input" "ours $label" "$runs"
  fi
  rm -f "$nout" "$lout"
}

# compare SET LABEL OUR_SIZE OUR_SECS PEER_SIZE PEER_SECS: prints our size
# and time as fractions of the peer's.
compare() {
  local set=$1 label=$2 os=$3 ot=$4 ps=$5 pt=$6
  if [ "$os" = 0 ] || [ "$ps" = 0 ]; then printf '%-8s %-56s %s\n' "$set" "$label" "n/a"; return; fi
  awk -v s="$set" -v l="$label" -v os="$os" -v ot="$ot" -v ps="$ps" -v pt="$pt" 'BEGIN {
    printf "%-8s %-56s size %.4f (%+.2f%%)  time %.2f\n", s, l, os / ps, (os / ps - 1) * 100, (pt > 0 ? ot / pt : 0) }'
}

# versus SET LABEL LIB_SECS LIB_CPU OUR_SECS OUR_CPU: the library's wall and
# CPU time as fractions of the native tool's.
versus() {
  local set=$1 label=$2 lt=$3 lc=$4 nt=$5 nc=$6
  if [ "$lt" = 0 ] || [ "$nt" = 0 ]; then printf '%-8s %-56s %s\n' "$set" "$label" "n/a"; return; fi
  awk -v s="$set" -v l="$label" -v lt="$lt" -v lc="$lc" -v nt="$nt" -v nc="$nc" 'BEGIN {
    printf "%-8s %-56s wall %.2f s / %.2f s = %.2f  cpu %.2f s / %.2f s = %.2f\n", s, l, lt, nt, lt / nt, lc, nc, (nc > 0 ? lc / nc : 0) }'
}

# One set: INPUT_LABEL, then the archiver arguments for ours (folder
# contents or one file), run from $corpus; the peers run in PEER_DIR on
# PEER_ARGS; then zopfli's input, if any, and profile 1's time goal
# against zip -9.
run_set() {
  local label=$1 ourargs=$2 peerdir=$3 peerargs=$4 zopfli_in=$5 p1goal=$6
  local -a inputs
  read -r -a inputs <<<"$ourargs"
  cd "$corpus"
  RUNS=$runs measure_both "$label" "a -tzip -mx=9 -mfb=64 -mpass=4 -r" zip a -tzip -mx=9 -mfb=64 -mpass=4 -r @OUT "${inputs[@]}"
  local p1s=$SIZE p1t=$SECS p1c=$CPU l1ps=$LSIZE l1pt=$LSECS l1pc=$LCPU
  RUNS=$runs measure_both "$label" "same, -mmt=1" zip a -tzip -mx=9 -mfb=64 -mpass=4 -mmt=1 -r @OUT "${inputs[@]}"
  local m1t=$SECS m1c=$CPU lm1t=$LSECS lm1c=$LCPU
  measure "$label" "ours a -tzip -mx=1 -r" "$work/o.zip" "$ours" a -tzip -mx=1 -r "$work/o.zip" "${inputs[@]}"
  local l1s=$SIZE l1t=$SECS
  RUNS=$runs measure_both "$label" "a -tzip -mx=0 -r" zip a -tzip -mx=0 -r @OUT "${inputs[@]}"
  local p2s=$SIZE p2t=$SECS p2c=$CPU l2s=$LSIZE l2t=$LSECS l2c=$LCPU
  RUNS=$runs measure_both "$label" "a -t7z -mx=9 -r" 7z a -t7z -mx=9 -r @OUT "${inputs[@]}"
  local p3s=$SIZE p3t=$SECS p3c=$CPU l3s=$LSIZE l3t=$LSECS l3c=$LCPU
  RUNS=$runs measure_both "$label" "a -t7z -mx=0 -r" 7z a -t7z -mx=0 -r @OUT "${inputs[@]}"
  local p4s=$SIZE p4t=$SECS p4c=$CPU l4s=$LSIZE l4t=$LSECS l4c=$LCPU
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
  local cpt=$SECS
  rm -rf "$work/copy"
  # shellcheck disable=SC2086
  measure "$label" "bsdtar zip (level 9)" "$work/b.zip" bsdtar --format zip --options zip:compression-level=9 -cf "$work/b.zip" $peerargs
  # shellcheck disable=SC2086
  RUNS=$runs measure "$label" "bsdtar 7z (lzma2, level 9)" "$work/b.7z" bsdtar --format 7zip --options 7zip:compression=lzma2,7zip:compression-level=9 -cf "$work/b.7z" $peerargs
  local b7s=$SIZE b7t=$SECS
  measure "$label" "tar | xz -9" "$work/t.tar.xz" sh -c "tar -cf - $peerargs | xz -9 -T1 > '$work/t.tar.xz'"
  if [ -n "$zopfli_in" ] && command -v zopfli >/dev/null; then
    # The practical limit for deflate, capped in time.
    measure "$label" "zopfli --i5 (deflate limit, max 120 s)" "$work/zf.deflate" sh -c "timeout 120 zopfli --i5 --deflate -c '$zopfli_in' > '$work/zf.deflate'"
  fi
  echo "         -- ratios (ours / peer)"
  compare "$label" "profile 1 zip vs zip -9 (goal <= 0.97, time <= $p1goal)" "$p1s" "$p1t" "$z9s" "$z9t"
  compare "$label" "zip -mx=1 vs zip -1" "$l1s" "$l1t" "$z1s" "$z1t"
  compare "$label" "profile 2 store vs zip -0 (time goal <= 1.2)" "$p2s" "$p2t" "$z0s" "$z0t"
  compare "$label" "profile 2 store vs the disk's copy (time)" "$p2s" "$p2t" "$p2s" "$cpt"
  compare "$label" "profile 3 7z vs bsdtar 7z (goal <= 1, time <= 0.6)" "$p3s" "$p3t" "$b7s" "$b7t"
  compare "$label" "profile 4 7z store vs zip -0 (time goal <= 1.2)" "$p4s" "$p4t" "$z0s" "$z0t"
  [ -n "$lib" ] || return
  echo "         -- the library under Wine"
  compare "$label" "lib profile 1 vs zip -9 (goal <= 0.97, time <= $p1goal)" "$l1ps" "$l1pt" "$z9s" "$z9t"
  compare "$label" "lib profile 3 7z vs bsdtar 7z (goal <= 1, time <= 0.6)" "$l3s" "$l3t" "$b7s" "$b7t"
  echo "         -- the library under Wine / the native tool (goal: wall <= 1.1)"
  versus "$label" "profile 1 zip" "$l1pt" "$l1pc" "$p1t" "$p1c"
  versus "$label" "profile 1 zip, -mmt=1" "$lm1t" "$lm1c" "$m1t" "$m1c"
  versus "$label" "profile 2 zip store" "$l2t" "$l2c" "$p2t" "$p2c"
  versus "$label" "profile 3 7z" "$l3t" "$l3c" "$p3t" "$p3c"
  versus "$label" "profile 4 7z store" "$l4t" "$l4c" "$p4t" "$p4c"
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

# What Wine itself costs, without the library: the same ReadFile/WriteFile
# loop in 1 MiB pieces, and the same per-file calls (list, attributes, open,
# type, reads, close) over the whole of A/, under Wine and natively; and the
# taking down of a shown window with and without a window manager's wait.
wine_costs() {
  [ -n "$lib" ] || return
  echo "         -- Wine's own costs (no library; the calls it makes, timed by sevenzip-call)"
  local t
  t=$(wine "$caller" --copy "$(winpath "$corpus/B2.bin")" "$(winpath "$work/copy.bin")" 1048576 </dev/null 2>/dev/null)
  printf '%-8s %-44s %s\n' B2.bin "ReadFile/WriteFile loop, 1 MiB, under Wine" "$(echo "$t" | awk '{printf "%.2f s wall, %.2f s cpu", $2, $3 + $4}')"
  once "$work/copy.bin" dd if="$corpus/B2.bin" of="$work/copy.bin" bs=1M
  printf '%-8s %-44s %.2f s wall, %.2f s cpu\n' B2.bin "dd bs=1M, natively" "$ONE_SECS" "$ONE_CPU"
  rm -f "$work/copy.bin"
  t=$(wine "$caller" --read-tree "$(winpath "$corpus/A")" </dev/null 2>/dev/null)
  printf '%-8s %-44s %s\n' A "every file listed, opened, read, under Wine" "$(echo "$t" | awk '{printf "%.2f s wall, %.2f s cpu (%d files)", $2, $3 + $4, $6}')"
  once "$work/tree.done" sh -c "find '$corpus/A' -type f -print0 | xargs -0 cat > /dev/null && touch '$work/tree.done'"
  printf '%-8s %-44s %.2f s wall, %.2f s cpu\n' A "the same with find | xargs cat, natively" "$ONE_SECS" "$ONE_CPU"
  rm -f "$work/tree.done"
  local m
  for m in Y N; do
    wine_managed $m
    t=$(wine "$caller" --window </dev/null 2>/dev/null)
    printf '%-8s %-44s %s\n' - "DestroyWindow of a shown window, Managed=$m" "$(echo "$t" | awk '{printf "%.3f s wall", $2}')"
  done
}

run_set A "A/ *" "$corpus/A" "." "" 1.0
run_set B.html "B.html" "$corpus" "B.html" "$corpus/B.html" 2.4
run_set B2.bin "B2.bin" "$corpus" "B2.bin" "$corpus/B2.bin" 1.0
determinism
wine_costs

# Thread scaling: size, CPU time and peak memory for -mmt=1 to 16 with the
# same native tool, and the 8-against-1 goals.
echo
ARCHIVER="$ours" bash "$root/bench/scaling.sh" "$corpus"
