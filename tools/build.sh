#!/usr/bin/env bash
# build.sh <build dir> [cmake options...]: configures (once) and builds Tolvane.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
shift
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
fi
# Ninja builds of CMake 3.25 do not notice a new Q_OBJECT header in a folder that already had
# sources; dropping the moc step's stamp makes it look again (it only reruns moc where needed).
find "$dir" -maxdepth 3 -path '*_autogen/timestamp' -delete
cmake --build "$dir" --parallel "$(nproc)"
