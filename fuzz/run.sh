#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) in build-fuzz
# and runs each for a bounded time on its corpus in fuzz/corpus/<target>.
# New inputs go to a scratch folder, so the corpora in the repository change
# only by hand. Exits non-zero when a target finds a crash.
#   fuzz/run.sh [seconds per target, default 20]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-20}"

./dev deps  # cmake, ninja and the host's libraries
fuzzer_lib() { ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; }
if ! command -v clang++ >/dev/null 2>&1 || ! fuzzer_lib; then
  sudo=""; [ "$(id -u)" = 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq clang libclang-rt-14-dev
fi

flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DKV_BUILD_FUZZ=ON -DKV_BUILD_TESTS=OFF -DKV_BUILD_BENCH=OFF \
  "-DCMAKE_C_FLAGS=$flags" "-DCMAKE_CXX_FLAGS=$flags" \
  "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined" >/dev/null

targets=()
for t in fuzz_patch_file fuzz_array_parse fuzz_filename_trim; do
  if cmake --build build-fuzz --target help | grep -q "^$t:"; then targets+=("$t"); else echo "fuzz: $t not available"; fi
done
cmake --build build-fuzz --target "${targets[@]}"

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
status=0
for t in "${targets[@]}"; do
  name="${t#fuzz_}"
  mkdir -p "$scratch/$name"
  echo "fuzz: $t for ${seconds}s"
  if ! build-fuzz/bin/"$t" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
       -artifact_prefix="$scratch/$name-" -print_final_stats=1 \
       "$scratch/$name" "fuzz/corpus/$name" > "$scratch/$name.log" 2>&1; then
    status=1
    echo "fuzz: $t FAILED"
    grep -E "ERROR|SUMMARY|runtime error|Test unit written" "$scratch/$name.log" | head -20 || true
    for a in "$scratch/$name-"*; do [ -f "$a" ] && { echo "  input (base64):"; base64 -w0 "$a" | head -c 2000; echo; }; done
  else
    grep -E "stat::number_of_executed_units|Done [0-9]+ runs" "$scratch/$name.log" | tail -1 || true
    echo "fuzz: $t passed"
  fi
done
exit $status
