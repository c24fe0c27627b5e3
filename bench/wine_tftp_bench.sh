#!/usr/bin/env bash
# The shipped staged-upgrader and the shipped recovery-upgrader (in recovery
# mode, to the multicast group) under Wine against tftpd-hpa, all serving the
# sample image across the end-to-end namespaces' veth link to the simulated
# device (see bench/README.md).  Needs root and the Windows build.
#
#   bench/wine_tftp_bench.sh [pytest arguments]
#   QVR_BENCH_RUNS=7 bench/wine_tftp_bench.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export QVR_E2E_TESTS=tests/e2e/bench_wine_tftp.py
exec "$root/tests/e2e/run.sh" -s "$@"
