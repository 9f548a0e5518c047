#!/usr/bin/env bash
# Builds the configuration reader's libFuzzer target with clang, apart from the
# CMake build. Usage: build.sh [output]   then: <output> -max_total_time=60
set -euo pipefail
root=$(cd "$(dirname "$0")/../../../.." && pwd)
out=${1:-$root/build/fuzz/fuzz_config_manager}
mkdir -p "$(dirname "$out")"
core=$root/FendralCore
clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -I"$root" \
  "$core/tests/config/fuzz/ConfigManagerFuzz.cpp" \
  "$core/foundation/ConfigManager.cpp" "$core/foundation/GlobalData.cpp" \
  "$core/foundation/FrameworkErrno.cpp" "$core/foundation/TrimString.cpp" \
  "$core/foundation/UnsortedHashTable.cpp" "$core/foundation/Int2Txt.cpp" \
  "$core/foundation/TimeFunc.cpp" "$core/runtime/AppLogger.cpp" \
  "$core/runtime/AppLogSink.cpp" "$core/runtime/FwLog.cpp" \
  -lpthread -o "$out"
echo "$out"
