#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the whole suite, then the unit tests
# again built with AddressSanitizer and UndefinedBehaviorSanitizer.
#
#   bash scripts/test.sh            (build trees: build/ and build-sanitize/ in the source tree)
set -euo pipefail

src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=packages.sh
. "$src/scripts/packages.sh"
ensure_packages "${BUILD_PACKAGES[@]}"

jobs=$(nproc)
status=0

echo "== Build and test: $src/build"
cmake -S "$src" -B "$src/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$src/build" -j"$jobs"
(cd "$src/build" && ctest --output-on-failure -j"$jobs") || status=1

echo "== Unit tests with AddressSanitizer and UndefinedBehaviorSanitizer: $src/build-sanitize"
cmake -S "$src" -B "$src/build-sanitize" -DCMAKE_BUILD_TYPE=Debug -DHDMI_PREVIEW_SANITIZE=ON \
    -DHDMI_PREVIEW_BENCHMARKS=OFF >/dev/null
cmake --build "$src/build-sanitize" -j"$jobs"
(cd "$src/build-sanitize" && ctest --output-on-failure -j"$jobs" -L unit) || status=1

exit $status
