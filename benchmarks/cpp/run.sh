#!/usr/bin/env bash
# Builds and runs the table benchmark, then prints the medians as tables.
#
#   bash benchmarks/cpp/run.sh                 # 9 repetitions of 0.25 s each, about 5 minutes
#   bash benchmarks/cpp/run.sh --quick         # 3 short repetitions, under a minute
#   bash benchmarks/cpp/run.sh --goal          # only the 2-thread mixed comparison, 15 times
#   bash benchmarks/cpp/run.sh --state         # the core's operations and their fixed parts
#   bash benchmarks/cpp/run.sh --benchmark_filter='^mixed/'   # other options go to the binary
#
# Installs libbenchmark-dev and libtbb-dev with apt-get when they are missing. Builds
# in build-bench-cpp (GALTRO_BENCH_CPP_BUILD=DIR for another folder), Release, module
# and tests off. Results: DIR/table_benchmark.json (every aggregate) and
# DIR/table_benchmark.md (the printed tables).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build="${GALTRO_BENCH_CPP_BUILD:-$root/build-bench-cpp}"

mode=full
pass=()
for arg in "$@"; do
  case "$arg" in
    --quick) mode=quick ;;
    --goal) mode=goal ;;
    --state) mode=state ;;
    *) pass+=("$arg") ;;
  esac
done

missing=()
for package in libbenchmark-dev libtbb-dev; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  echo "installing ${missing[*]}"
  sudo_cmd=()
  if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DGALTRO_BUILD_MODULE=OFF \
  -DGALTRO_BUILD_TESTS=OFF -DGALTRO_BUILD_BENCHMARKS=ON >/dev/null

if [[ $mode == state ]]; then
  cmake --build "$build" --target galtro_state_benchmark -j "$(nproc)"
  echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)   processors: $(nproc)"
  exec "$build/benchmarks/cpp/galtro_state_benchmark" --benchmark_repetitions=5 \
    --benchmark_report_aggregates_only=true --benchmark_enable_random_interleaving=true \
    ${pass[@]+"${pass[@]}"}
fi
cmake --build "$build" --target galtro_table_benchmark -j "$(nproc)"

# Many short repetitions rather than a few long ones: interleaved, they spread a
# busy stretch of the machine thinly over every benchmark.
case "$mode" in
  quick) timing=(--benchmark_repetitions=3 --benchmark_min_time=0.05) ;;
  goal) timing=(--benchmark_repetitions=15 --benchmark_min_time=0.2
                '--benchmark_filter=^(mixed/text/(sharded|umap_rw)/|baseline/spin)') ;;
  *) timing=(--benchmark_repetitions=9 --benchmark_min_time=0.25) ;;
esac

json="$build/table_benchmark.json"
log="$build/table_benchmark.log"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)   processors: $(nproc)"
echo "running; the benchmark's own report goes to $log"
# Repetitions of all benchmarks are interleaved in random order, so that a busy
# stretch of the machine spreads over every map instead of landing on one.
if ! "$build/benchmarks/cpp/galtro_table_benchmark" \
  "${timing[@]}" \
  --benchmark_report_aggregates_only=true \
  --benchmark_enable_random_interleaving=true \
  --benchmark_out="$json" --benchmark_out_format=json \
  ${pass[@]+"${pass[@]}"} >"$log" 2>&1; then
  cat "$log" >&2
  exit 1
fi
echo "load average after:  $(cut -d' ' -f1-3 /proc/loadavg)"
echo
python3 "$here/summarize.py" "$json" --out "$build/table_benchmark.md"
