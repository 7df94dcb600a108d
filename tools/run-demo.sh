#!/usr/bin/env bash
# Sets up and builds the panel and the virtual projector (not the tests), then starts the panel
# with COM1 on the built-in virtual projector.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh --targets mero-control virtual-projector
exec build/mero-control --demo "$@"
