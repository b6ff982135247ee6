#!/usr/bin/env bash
# The fuzz targets' regression test (run by CTest from the default build): builds the clang
# fuzz tree in <build dir> if needed and runs every target about 20 s over its corpus, which
# includes each input that once crashed it. Skips (77) where clang 16's libFuzzer or a
# symbolizer is missing.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:?build dir}"
cxx="${FUZZ_CXX:-clang++-16}"
if ! command -v "$cxx" > /dev/null ||
   ! "$cxx" -print-file-name=libclang_rt.fuzzer-x86_64.a 2>/dev/null | grep -q /; then
  echo "fuzz regression skipped: $cxx with libFuzzer (clang-16, libclang-rt-16-dev) is not installed"
  exit 77
fi
# The leak suppressions name functions inside libtorch, which only a symbolizer can see.
if ! command -v llvm-symbolizer-16 > /dev/null && ! command -v llvm-symbolizer > /dev/null &&
   ! command -v llvm-symbolizer-14 > /dev/null; then
  echo "fuzz regression skipped: no llvm-symbolizer (llvm-16) is installed"
  exit 77
fi
exec "$here/run.sh" "$build" "${FUZZ_REGRESSION_SECONDS:-20}"
