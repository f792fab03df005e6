#!/usr/bin/env bash
# Thread scaling of the native archiver tool, shown through what does not
# depend on how many cores this machine has: for -mmt=1,2,4,8,16 on A,
# B.html and B2.bin it prints the archive's size, the total CPU time (user +
# system) and the peak memory, for ZIP profile 1 and 7z profile 3, each also
# as a fraction of the one-thread figure; then the figures at 8 threads
# against the goals. A CPU time at 8 threads of at most 1.15 times the
# one-thread time means that on 8 cores the wall time would fall at least
# sevenfold. It never fails a build; it only prints figures.
#
# CPU time also depends on what the threads share: with more threads than
# cores they take turns, each turn starting with caches full of another
# thread's data, and two threads running at once on this virtual machine's
# cores each run slower than one alone. Neither is work the command does.
# So each run with more than one thread is made twice: as it is (size,
# memory, and the CPU time as this machine spends it), and with its tasks
# run one at a time (MORVIK_RUNNING_LIMIT=1), which does the same work and
# writes the same archive: that CPU time is the work, and the goal is judged
# on it.
#
# Usage: [ARCHIVER=path] [SCALING_RUNS=N] bench/scaling.sh [CORPUS_DIR]
#   CORPUS_DIR holds A/, B.html and B2.bin as bench/make-corpus builds them;
#   default build/bench-corpus (built on first use). ARCHIVER names a built
#   morvik-archiver (bench/archiver.sh passes its own); without it the
#   host-release preset is built. Each command runs N times (default 1) and
#   its smallest CPU time counts; size and memory are the largest seen.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
corpus=${1:-$root/build/bench-corpus}

# shellcheck source=bench/lib.sh
. "$root/bench/lib.sh"
ours=${ARCHIVER:-}
if [ -z "$ours" ]; then
  "$root/scripts/setup" || { echo "setup failed"; exit 0; }
  ours=$(bench_native_tool) || exit 0
fi
[ -n "$ours" ] && [ -x "$ours" ] || { echo "native archiver tool not found"; exit 0; }
[ -x /usr/bin/time ] || { echo "GNU time not found (scripts/setup installs it)"; exit 0; }

bench_corpus "${1:-}" || exit 0

runs=${SCALING_RUNS:-1}
threads=(1 2 4 8 16)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# run LIMIT OUT ARGS...: runs the tool in $corpus with at most LIMIT threads
# running at once (0: no limit) and leaves the output's size, the CPU seconds
# and the peak memory in MiB in SIZE, CPU and RSS (SIZE=0 when it failed).
SIZE=0 CPU=0 RSS=0
run() {
  local limit=$1 out=$2; shift 2
  local r best="" size=0 peak=0 line
  for ((r = 0; r < runs; r++)); do
    rm -f "$out"
    if ! (cd "$corpus" && MORVIK_RUNNING_LIMIT=$limit /usr/bin/time -f '%U %S %M' -o "$work/time" "$ours" "$@" \
      >/dev/null 2>"$work/err") ||
      [ ! -f "$out" ]; then
      SIZE=0 CPU=0 RSS=0
      head -n 3 "$work/err" | sed 's/^/    /'
      return
    fi
    line=$(tail -n 1 "$work/time")
    local cpu rss s
    cpu=$(awk '{ printf "%.2f", $1 + $2 }' <<<"$line")
    rss=$(awk '{ printf "%.1f", $3 / 1024 }' <<<"$line")
    s=$(stat -c %s "$out")
    [ "$s" -gt "$size" ] && size=$s
    if [ -z "$best" ] || awk -v a="$cpu" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$cpu; fi
    if awk -v a="$rss" -v b="$peak" 'BEGIN { exit !(a > b) }'; then peak=$rss; fi
  done
  rm -f "$out"
  SIZE=$size CPU=$best RSS=$peak
}

# The goals' lines, gathered while the table is printed.
summary=()

# one SET FORMAT_LABEL OUT FORMAT_ARGS -- INPUTS...
one() {
  local set=$1 label=$2 out=$3; shift 3
  local -a fmt=()
  while [ "$1" != -- ]; do fmt+=("$1"); shift; done
  shift
  local s1=0 c1=0 s8=0 c8=0 w8=0 r8=0 mt ls lc
  for mt in "${threads[@]}"; do
    run 0 "$out" a "${fmt[@]}" -mmt="$mt" -r "$out" "$@"
    ls=$SIZE lc=$CPU
    if [ "$SIZE" != 0 ] && [ "$mt" -gt 1 ]; then
      local s=$SIZE c=$CPU r=$RSS
      run 1 "$out" a "${fmt[@]}" -mmt="$mt" -r "$out" "$@"
      ls=$SIZE lc=$CPU
      SIZE=$s CPU=$c RSS=$r
    fi
    if [ "$mt" = 1 ]; then s1=$SIZE c1=$CPU; fi
    if [ "$mt" = 8 ]; then s8=$SIZE c8=$lc w8=$CPU r8=$RSS; fi
    awk -v set="$set" -v l="$label" -v mt="$mt" -v s="$SIZE" -v c="$CPU" -v r="$RSS" -v s1="$s1" -v c1="$c1" \
      -v ls="$ls" -v lc="$lc" 'BEGIN {
      if (s == 0 || ls == 0) { printf "%-8s %-10s %4s %14s\n", set, l, mt, "failed"; exit }
      printf "%-8s %-10s %4s %14d %9.2f %10.1f %9.4f %8.2f %9.2f %8.2f%s\n", set, l, mt, s, c, r,
             (s1 > 0 ? s / s1 : 0), (c1 > 0 ? c / c1 : 0), lc, (c1 > 0 ? lc / c1 : 0),
             (ls != s ? "  (archives differ!)" : "") }'
  done
  summary+=("$(awk -v set="$set" -v l="$label" -v s1="$s1" -v c1="$c1" -v s8="$s8" -v c8="$c8" -v w8="$w8" \
    -v r8="$r8" 'BEGIN {
    if (s1 == 0 || s8 == 0) { printf "%-8s %-10s n/a (a run failed)", set, l; exit }
    size = s8 / s1; cpu = (c1 > 0 ? c8 / c1 : 0)
    sizeGoal = (set == "B.html") ? "reported" : (size <= 1.01 ? "met" : "NOT met")
    printf "%-8s %-10s size %.4f (%+.2f%%, %s)  CPU %.2fx (%s; %.2fx with the threads running at once)  memory %.0f MiB (%s)",
           set, l, size, (size - 1) * 100, sizeGoal, cpu, (cpu <= 1.15 ? "met" : "NOT met"), (c1 > 0 ? w8 / c1 : 0),
           r8, (r8 <= 1024 ? "met" : "NOT met") }')")
}

echo "thread scaling: $ours on $corpus"
printf '%-8s %-10s %4s %14s %9s %10s %9s %8s %9s %8s\n' set format mmt bytes "CPU s" "MaxRSS MB" "size/1" "CPU/1" \
  "CPU s *" "CPU*/1"
echo "  (* the threads' tasks run one at a time: the same work and archive)"
for set in A B.html B2.bin; do
  if [ "$set" = A ]; then inputs=("A/" "*"); else inputs=("$set"); fi
  one "$set" "zip p1" "$work/o.zip" -tzip -mx=9 -mfb=64 -mpass=4 -- "${inputs[@]}"
  one "$set" "7z p3" "$work/o.7z" -t7z -mx=9 -- "${inputs[@]}"
done
echo "-- 8 threads against 1 (goals: size at most 1% larger for A and B2.bin, CPU at most 1.15x, peak memory at most 1 GiB)"
printf '%s\n' "${summary[@]}"
