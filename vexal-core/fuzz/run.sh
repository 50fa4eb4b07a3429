#!/usr/bin/env bash
# Builds the JSON reader's libFuzzer target and runs it, seeded with the JSON
# conformance suite and a few valid configurations. Not part of scripts/test.
#   vexal-core/fuzz/run.sh [seconds, default 600] [extra libFuzzer flags...]
# Debian's clang-19 is used: clang 14 and 16 do not compile libstdc++ 12's
# <expected> (they lack the C++20 concepts level it checks for).
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
SECONDS_TO_RUN=${1:-600}
shift || true

if ! command -v clang++-19 >/dev/null || ! dpkg -s libclang-rt-19-dev >/dev/null 2>&1; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq clang-19 libclang-rt-19-dev >/dev/null
fi

BUILD=$ROOT/build-fuzz
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-19 -DCMAKE_CXX_COMPILER=clang++-19 -DVEXAL_FUZZ=ON \
  -DVEXAL_BUILD_TESTS=OFF -DVEXAL_BUILD_PYTHON=OFF -DVEXAL_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$BUILD" --target vexal_json_fuzz

CORPUS=$BUILD/fuzz-corpus
mkdir -p "$CORPUS"
cp vexal-core/fuzz/seeds/*.json "$CORPUS/"
cp vexal-core/tests/data/json-test-suite/test_parsing/*.json "$CORPUS/"

"$BUILD/vexal-core/fuzz/vexal_json_fuzz" -max_total_time="$SECONDS_TO_RUN" \
  -dict=vexal-core/fuzz/json.dict -artifact_prefix="$BUILD/" -print_final_stats=1 "$@" "$CORPUS"
