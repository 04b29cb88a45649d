#!/usr/bin/env bash
# Formats the project's C++ sources with the repository's .clang-format.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files '*.cpp' '*.h' | xargs -r clang-format -i
