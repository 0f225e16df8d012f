#!/usr/bin/env bash
# A fuzzing campaign: builds the fuzz preset (Clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer), runs every fuzz target in turn for MINUTES minutes each (default
# 2), merges what each found into its corpus under fuzz/corpus (minimised with -merge=1), and
# prints executions, rate and coverage per target. Each run is appended to fuzz/record.tsv.
#
#   scripts/fuzz.sh [MINUTES] [TARGET...]
#
# Environment: FUZZ_RUNS=N stops each target after N executions instead of at the time limit
# (the time limit still applies); FUZZ_PARALLEL=N runs N targets at a time (default 1).
# Every target runs with -rss_limit_mb=512, -timeout=5 and -max_len of 1 MiB, so memory and
# time bombs are findings. Findings (crash-, leak-, timeout-, oom- files) are kept under
# build/fuzz/findings/CAMPAIGN/TARGET (never removed by later campaigns) and make the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."

minutes="${1:-2}"
shift || true
targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then
  targets=(fuzz_envelope fuzz_chunks fuzz_zstd fuzz_stream fuzz_meshio fuzz_rans fuzz_geometry
           fuzz_edgebreaker fuzz_codec2 fuzz_import fuzz_cli_read)
fi
parallel="${FUZZ_PARALLEL:-1}"

bash scripts/setup.sh >/dev/null
if ! command -v clang++ >/dev/null; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends clang
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j 2 --target "${targets[@]}" kvx_fuzz_seeds

build=build/fuzz
# Findings of earlier campaigns are kept: each campaign has its own folder.
findings_dir="$build/findings/$(date -u +%Y%m%dT%H%M%S)-$$"
scratch="$(mktemp -d "${TMPDIR:-/tmp}/kvx-fuzz.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT INT TERM
# The readers write temporary files: keep them in memory where the system allows.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  export TMPDIR="$(mktemp -d /dev/shm/kvx-fuzz.XXXXXX)"
  trap 'rm -rf "$scratch" "$TMPDIR"' EXIT INT TERM
fi
# Fresh seeds of the file-reading targets, from this build's exporter.
mkdir -p "$scratch/seeds"
# (The package is built on a stand-in stub, not the real one of 1.5 MB: large inputs only slow
# the fuzzer down, and readers never run the stub.)
"$build/fuzz/kvx_fuzz_seeds" "$scratch/seeds" >/dev/null
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
commit="$(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
record=fuzz/record.tsv
[ -f "$record" ] || printf 'date\tcommit\ttarget\tseconds\texecutions\trate_per_s\tcoverage\tfindings\n' >"$record"

run_target() {
  local target="$1" work="$scratch/$1" corpus="fuzz/corpus/$1"
  mkdir -p "$work/new" "$work/artifacts" "$corpus"
  local seeds=()
  case "$target" in
    fuzz_import | fuzz_cli_read | fuzz_envelope) seeds=("$scratch/seeds") ;;
  esac
  local limits=(-rss_limit_mb=512 -timeout=5 -max_len=1048576 -print_final_stats=1
                -artifact_prefix="$work/artifacts/")
  local runs=()
  [ -n "${FUZZ_RUNS:-}" ] && runs=(-runs="$FUZZ_RUNS")
  local start end
  start=$(date +%s)
  "$build/fuzz/$target" "${limits[@]}" "${runs[@]}" -max_total_time=$((minutes * 60)) \
    "$work/new" "$corpus" "${seeds[@]}" >"$work/log" 2>&1 || true
  end=$(date +%s)
  local executions coverage findings seconds
  executions=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$work/log" | tail -1 | awk '{print $2}')
  coverage=$(grep -o 'cov: [0-9]*' "$work/log" | tail -1 | awk '{print $2}')
  findings=$(find "$work/artifacts" -type f | wc -l)
  seconds=$((end - start))
  [ "$seconds" -gt 0 ] || seconds=1
  executions="${executions:-0}"
  if [ "$findings" -gt 0 ]; then
    mkdir -p "$findings_dir/$target"
    cp "$work/artifacts"/* "$findings_dir/$target/"
  fi
  # What the run found joins the corpus, minimised.
  "$build/fuzz/$target" -merge=1 -max_len=1048576 -rss_limit_mb=512 -timeout=5 \
    "$corpus" "$work/new" "${seeds[@]}" >"$work/merge.log" 2>&1 || true
  # Inputs above 32 KiB stay out of the committed corpus: they slow every later campaign and the
  # test suite's replay, and the small inputs reach the same code.
  find "$corpus" -type f -size +32k -delete
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$(date -u +%F)" "$commit" "$target" "$seconds" \
    "$executions" "$((executions / seconds))" "${coverage:-?}" "$findings" >>"$record"
  printf '%-18s %10s runs %8s/s  cov %6s  findings %s  (%s s, corpus %s files)\n' "$target" \
    "$executions" "$((executions / seconds))" "${coverage:-?}" "$findings" "$seconds" \
    "$(find "$corpus" -type f | wc -l)"
}

status=0
running=0
for target in "${targets[@]}"; do
  run_target "$target" &
  running=$((running + 1))
  if [ "$running" -ge "$parallel" ]; then
    wait -n || status=1
    running=$((running - 1))
  fi
done
wait || status=1
if find "$findings_dir" -type f 2>/dev/null | grep -q .; then
  echo "fuzz: findings under $findings_dir" >&2
  status=1
fi
exit "$status"
