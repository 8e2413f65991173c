#!/usr/bin/env bash
# Runs check-includes.sh over small trees made here, one include line each: the lines a
# module may write must pass, every other one must fail. Prints one line per case and
# a closing count; exits non-zero when a case goes the wrong way.
set -uo pipefail
check="$(cd "$(dirname "$0")" && pwd)/check-includes.sh"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
passed=0
failed=0

# expect pass|fail FILE INCLUDE: a tree holding FILE (relative to its root) with the
# line #include "INCLUDE", and the headers it may name.
expect() {
  local want=$1 file=$2 inc=$3 tree got
  tree=$(mktemp -d "$tmp/tree.XXXX")
  mkdir -p "$tree/Core/vnLss/tests" "$tree/Core/vnPersistStore/tests" "$tree/App"
  echo '#pragma once' >"$tree/Core/vnLss/LSS.h"
  echo '#pragma once' >"$tree/Core/vnLss/tests/Helper.h"
  echo '#pragma once' >"$tree/Core/vnPersistStore/Oid.h"
  mkdir -p "$(dirname "$tree/$file")"
  printf '#include "%s"\n' "$inc" >"$tree/$file"
  if bash "$check" "$tree" >"$tree.out" 2>&1; then got=pass; else got=fail; fi
  if [[ $got == "$want" ]]; then
    passed=$((passed + 1))
    echo "ok: $file including \"$inc\" does $want"
  else
    failed=$((failed + 1))
    echo "WRONG: $file including \"$inc\" should $want, did $got:"
    sed 's/^/  /' "$tree.out"
  fi
}

expect pass Core/vnPersistStore/Store.cpp "vnLss/LSS.h"
expect pass Core/vnPersistStore/tests/StoreTest.cpp "vnLss/tests/Helper.h"
expect pass Core/vnLss/bench/Bench.cpp "../tests/Helper.h"
expect pass Core/vnLss/tests/Test.cpp "Helper.h"
expect fail Core/vnLss/Store.cpp "../vnPersistStore/Oid.h"
expect fail Core/vnPersistStore/tests/StoreTest.cpp "../../vnLss/tests/Helper.h"
expect fail Core/vnLss/Store.cpp "vnLss/../vnPersistStore/Oid.h"
expect fail Core/vnLss/Store.cpp "vnPersistStore/Oid.h"
expect fail Core/vnPersistStore/Store.cpp "vnLss/tests/Helper.h"
expect fail Core/vnLss/Store.cpp "../vnLss/tests/Helper.h"
expect fail Core/vnLss/Store.cpp "unistd.h"

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
