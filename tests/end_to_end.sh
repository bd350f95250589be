#!/usr/bin/env bash
# Runs the built executable as a user would: bytes in, then exact bytes out,
# exit status 0 and nothing on standard error.
# Usage: end_to_end.sh PATH/TO/diagonal-picks EXAMPLES_DIR
set -u
program=$1
examples=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0

fail() {
  echo "FAIL: $1"
  failed=$((failed + 1))
}

# check NAME INPUT EXPECTED [EXPECTED_STATUS]: INPUT and EXPECTED are printf formats.
check() {
  local name=$1 status
  printf -- "$2" >"$work/in"
  printf -- "$3" >"$work/want"
  timeout 20 "$program" ${5:-} <"$work/in" >"$work/out" 2>"$work/err"
  status=$?
  if [[ $status -ne ${4:-0} ]]; then
    fail "$name: exit status $status"
  elif ! cmp -s "$work/out" "$work/want"; then
    fail "$name: output differs"; diff <(od -c "$work/want") <(od -c "$work/out") | head -5
  elif [[ -s "$work/err" ]]; then
    fail "$name: wrote to standard error"
  else
    passed=$((passed + 1))
  fi
}

check "empty input" "" ""
check "white space only" " \t\n\v\f\r" ""
check "one case" "2\n0 0\n1 1\n" "0.5000000000\n"
check "two cases" "1\n5 5\n2\n0 0\n0 0\n" "0.0000000000\n1.0000000000\n"
check "no trailing newline" "2 0 0 1 1" "0.5000000000\n"
check "count of zero" "0\n" "-nan\n"
check "count ending the input" "1 5 5\n0" "0.0000000000\n"
check "negative count" "-3\n1\n5 5\n" "0.6666666667\n0.0000000000\n"
check "carriage returns and signs" "+2\r\n+0 -0\r\n+1 +1\r\n" "0.5000000000\n"
check "count glued to letters" "12abc" "-0.1666666667\n"
check "huge count, short input" "1000000000000000000 1 1" "0.3618501904\n"
check "arguments are ignored" "1 0 0\n" "0.0000000000\n" 0 "--help"

# The bundled example.
if cmp -s <("$program" <"$examples/points.txt" 2>&1) "$examples/points.expected"; then
  passed=$((passed + 1))
else
  fail "bundled example"
fi

# Each line leaves the process as soon as its case is read, before the input ends.
coproc PROGRAM { "$program"; }
printf '1\n5 5\n' >&"${PROGRAM[1]}"
if read -r -t 10 line <&"${PROGRAM[0]}" && [[ $line == 0.0000000000 ]]; then
  passed=$((passed + 1))
else
  fail "line flushed before the input ends"
fi
exec {PROGRAM[1]}>&-
wait "$PROGRAM_PID"

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
