#!/usr/bin/env bash
# From a fresh Debian machine: installs what is missing, builds the driver and its tools, and
# opens the commissioning panel. With no arguments the panel plays a virtual card; its arguments
# pass through, e.g. `./scripts/run.sh --device /dev/ttyUSB0` for a real card.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
./scripts/build.sh linux
exec build/linux/tools/panel/vek-panel "$@"
