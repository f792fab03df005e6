# shellcheck shell=bash
# Shared steps of the benchmark scripts; sourced, with $root set to the
# repository and $corpus to the corpus folder.

# bench_corpus GIVEN: a corpus given by hand (GIVEN not empty) needs its three
# inputs; the default one is built (again, when an earlier build stopped
# half-way) until make-corpus finishes. Returns 1 when there is none.
bench_corpus() {
  if [ -n "$1" ]; then
    for f in A B.html B2.bin; do
      [ -e "$corpus/$f" ] || { echo "no $f in $corpus (bench/make-corpus DIR builds a corpus)"; return 1; }
    done
  elif [ ! -e "$corpus/.complete" ]; then
    echo "building the corpus in $corpus ..."
    bash "$root/bench/make-corpus" "$corpus" || { echo "corpus could not be built"; return 1; }
  fi
}

# bench_native_tool: builds the native archiver tool (Release) and prints
# its path; returns 1 when it cannot.
bench_native_tool() {
  local tool
  cmake --preset host-release >/dev/null && cmake --build --preset host-release -j "$(nproc)" >/dev/null \
    || { echo "build failed" >&2; return 1; }
  tool=$(find "$root/build/host-release" -type f -name 'morvik-archiver' -perm -u+x | head -n 1)
  [ -n "$tool" ] || { echo "native archiver tool not found" >&2; return 1; }
  echo "$tool"
}
