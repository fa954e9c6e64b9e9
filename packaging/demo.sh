#!/usr/bin/env bash
# The demo: shows what the command-line tool does with what is built so far.
set -euo pipefail
BUILD=${1:?build dir}
CLI="$BUILD/cli/tarnwell-cli"
echo "== tarnwell-cli --version"
"$CLI" --version
echo
echo "== tarnwell-cli --help"
"$CLI" --help
echo
echo "== the link framing of a DIAG NV read of item 550 (IMEI)"
"$CLI" frame 26 26 02
