#!/usr/bin/env bash
# Boots N new Wine prefixes one after another (default 30) with the Windows
# step's own boot_wine_prefix, and counts the boots that failed even when tried
# a second time and those whose first attempt failed. Not part of ./dev test:
# each boot takes several seconds.
#
#   scripts/wine_boots.sh [N]
#
# The prefix and each boot's log are in build/windows/boots; a failed
# attempt's log is kept beside it (boot-I.log.first, boot-I.log). The exit
# status is 1 when any attempt failed.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
VENV=${VENV:-$ROOT/.venv}
# shellcheck source=scripts/windows.sh
source "$ROOT/scripts/windows.sh"

n=${1:-30}
if [[ ! $n =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: scripts/wine_boots.sh [N]   (N a positive count of boots)" >&2
    exit 2
fi
need_windows_tools

dir=$WIN_BUILD/boots
prefix=$dir/wineprefix
stop_wineserver "$prefix"
rm -rf "$dir"
mkdir -p "$dir"

failed=0 retried=0
for ((i = 1; i <= n; i++)); do
    start=$SECONDS
    if boot_wine_prefix "$prefix" "$dir/boot-$i.log"; then
        result=booted
    else
        result=FAILED
        failed=$((failed + 1))
    fi
    if ((WINE_BOOT_ATTEMPTS > 1)); then
        retried=$((retried + 1))
        result="$result at the second attempt"
    fi
    echo "boot $i of $n: $result in $((SECONDS - start)) s" >&2
done
stop_wineserver "$prefix"
rm -rf "$prefix"

echo "$n boots: $failed failed, $retried with a failed first attempt" >&2
((failed == 0 && retried == 0))
