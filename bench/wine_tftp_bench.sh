#!/usr/bin/env bash
# The shipped staged-upgrader and the shipped recovery-upgrader (in recovery
# mode, to the multicast group) under Wine against tftpd-hpa, all serving the
# sample image across the lab's veth link to the simulated device (see
# bench/README.md).  Needs root and the Windows build.
#
#   bench/wine_tftp_bench.sh
#   QVR_BENCH_RUNS=7 bench/wine_tftp_bench.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
exec "$root/tools/lab/lab.sh" /usr/bin/python3 "$root/bench/wine_tftp_bench.py"
