#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang in build/fuzz and runs
# each for a short while from its seed corpus. The seeds are copied to a
# scratch corpus first, so the repository's corpus only ever holds the
# hand-written seeds. Exits non-zero when a target crashes, breaks one of its
# properties, or cannot be built.
#
#   tools/fuzz.sh [seconds per target, default 20] [target ...]
#
# A failing input is left in build/fuzz/findings/<target>/; replay it with
#   build/fuzz/<target>_fuzz build/fuzz/findings/<target>/crash-...
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=()
  for source in tests/fuzz/*_fuzz.cpp; do
    name=$(basename "$source" .cpp)
    targets+=("${name%_fuzz}")
  done
fi

build=build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G "Unix Makefiles" -DADDRSMITH_FUZZ=ON -DADDRSMITH_WERROR=ON >/dev/null || exit 1
for t in "${targets[@]}"; do
  cmake --build "$build" -j2 --target "${t}_fuzz" || exit 1
done

scratch=$(mktemp -d /tmp/addrsmith-fuzz-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
status=0
for t in "${targets[@]}"; do
  work="$scratch/$t"
  mkdir -p "$work" "$build/findings/$t"
  if [ -d "tests/fuzz/corpus/$t" ]; then cp -r "tests/fuzz/corpus/$t/." "$work/"; fi
  echo "== $t: ${seconds}s"
  log="$build/findings/$t/last-run.log"
  # A fixed seed by default, so that a run can be repeated exactly (CI gates
  # on it); FUZZ_SEED=0 lets libFuzzer pick one for exploring by hand.
  "$build/${t}_fuzz" "$work" \
      -max_total_time="$seconds" -seed="${FUZZ_SEED:-1}" -print_final_stats=1 \
      -artifact_prefix="$build/findings/$t/" >"$log" 2>&1
  rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  took=$(sed -n 's/^Done \([0-9]*\) runs in \([0-9]*\) second.*/\2/p' "$log")
  cover=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
  echo "   exit $rc, ${runs:-?} executions in ${took:-?}s, ${cover:-cov: ?}, corpus $(ls "$work" | wc -l) inputs"
  if [ $rc -ne 0 ]; then
    status=1
    grep -E 'property failed|ERROR:|SUMMARY:|Test unit written' "$log" | sed 's/^/   /'
  fi
done
exit $status
