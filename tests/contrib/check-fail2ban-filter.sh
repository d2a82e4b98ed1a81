#!/bin/sh
# Runs fail2ban-regex with the shipped filter over lines the server's own
# formatter and the real program wrote, and compares the addresses it finds
# with the expected ones.
# Usage: check-fail2ban-filter.sh SAMPLE-PROGRAM FILTER SERVER-PROGRAM
set -eu
program=$1
filter=$2
server=$3
common=/etc/fail2ban/filter.d/common.conf

if ! command -v fail2ban-regex >/dev/null 2>&1 || [ ! -f "$common" ]; then
    echo "SKIP: fail2ban-regex is not installed (Debian package fail2ban)"
    exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The filter includes common.conf from its own folder, as in /etc/fail2ban.
mkdir "$work/filter.d"
cp "$filter" "$work/filter.d/tarnwick-server.conf"
ln -s "$common" "$work/filter.d/common.conf"

"$program" "$work/sample.log" "$work/expected.txt" "$server"
fail2ban-regex -o ip "$work/sample.log" "$work/filter.d/tarnwick-server.conf" >"$work/found.txt"

if ! cmp -s "$work/expected.txt" "$work/found.txt"; then
    echo "FAIL: the filter did not find exactly the expected addresses"
    diff -u "$work/expected.txt" "$work/found.txt" || true
    echo "--- sample:"
    cat "$work/sample.log"
    exit 1
fi
echo "PASS: $(wc -l <"$work/found.txt") of $(wc -l <"$work/sample.log") lines matched, as expected"
