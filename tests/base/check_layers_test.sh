#!/usr/bin/env bash
# The layering check must fail on what it exists to catch: an include that
# points upward, one between two folders of one floor, a folder on no floor.
set -euo pipefail
check=$1
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT

expect() {  # expect <exit code> <description>; runs the check on $tree/src
  local want=$1 got=0
  "$check" "$tree/src" >/dev/null 2>&1 || got=$?
  if [ "$got" -ne "$want" ]; then
    echo "FAIL: $2: exit $got, expected $want" >&2
    exit 1
  fi
}

mkdir -p "$tree/src/views" "$tree/src/dal" "$tree/src/controls" "$tree/src/vpn"
printf '#include "dal/a.h"\n#include <gtk/gtk.h>\n#include "beside.h"\n' >"$tree/src/views/v.cpp"
expect 0 "a downward include"
printf '#include "views/v.h"\n' >"$tree/src/dal/a.h"
expect 1 "dal includes views"
rm "$tree/src/dal/a.h"
printf '  #  include "vpn/x.h"\n' >"$tree/src/controls/c.cpp"
expect 1 "two folders of one floor"
rm "$tree/src/controls/c.cpp"
mkdir -p "$tree/src/extras"
printf '\n' >"$tree/src/extras/e.cpp"
expect 1 "a folder on no floor"
echo "check-layers catches upward, sideways and unplaced includes"
