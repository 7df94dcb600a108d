#!/usr/bin/env bash
# Sets up and builds, then starts the panel with COM1 on the built-in virtual projector.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
exec build/mero-control --demo "$@"
