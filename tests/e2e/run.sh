#!/bin/bash
# End-to-end tests: pytest on tests/e2e inside the lab (tools/lab/lab.sh:
# the programs under Wine, the simulated device, private namespaces).
#
#   tests/e2e/run.sh [pytest arguments...]      e.g. -k notice, -x, -v
#
# QVR_E2E_TIMEOUT bounds the whole pytest run (seconds, default 2400); the
# lab's own variables (QVR_BUILD_DIR, QVR_E2E_BIN, QVR_E2E_DRIVER) apply.
# Exit code: pytest's; 2 when a prerequisite is missing.
set -u
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
/usr/bin/python3 -c "import pytest" 2>/dev/null || { echo "e2e: missing python3-pytest for /usr/bin/python3" >&2; exit 2; }
QVR_LAB_TIMEOUT=${QVR_E2E_TIMEOUT:-2400} exec "$root/tools/lab/lab.sh" \
    /usr/bin/python3 -m pytest tests/e2e -q -p no:cacheprovider "$@"
