#!/usr/bin/env bash
# The main job: installs what DVL needs, builds it and runs the typical host run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
exec build/bin/dvl demo
