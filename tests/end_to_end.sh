#!/usr/bin/env bash
# Runs the built executable as a user would: bytes in, then exact bytes out,
# exit status 0 and nothing on standard error.
# Usage: end_to_end.sh PATH/TO/diagonal-picks EXAMPLES_DIR GOLDEN_CASES [--no-memory-limit]
# (--no-memory-limit for sanitizer and emulated builds, which cannot run
# under ulimit -v)
set -u
program=$1
examples=$2
golden=$3
memory_limit_test=1
[[ ${4:-} == --no-memory-limit ]] && memory_limit_test=0
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

# The golden cases, shared with the in-process case-loop test.
while IFS=$'\t' read -r input output; do
  [[ $input == '#'* ]] && continue
  check "golden case \"$input\"" "$input" "$output"
done <"$golden"
check "arguments are ignored" "1 0 0\n" "0.0000000000\n" 0 "--help"

# Random bytes: any output is ratio lines only, and the run ends normally.
head -c 200000 /dev/urandom >"$work/garbage"
if timeout 20 "$program" <"$work/garbage" >"$work/out" 2>"$work/err" && [[ ! -s "$work/err" ]] &&
  ! grep -qvE '^(-?[0-9]+\.[0-9]{10}|-?nan|-?inf)$' "$work/out"; then
  passed=$((passed + 1))
else
  fail "random bytes"
fi

# A closed standard input reads as an empty one.
if [[ -z $(timeout 20 "$program" <&- 2>&1) ]]; then passed=$((passed + 1)); else fail "closed standard input"; fi

# Output that cannot be written is not detected: the run goes on to the end.
printf '1 0 0\n2 0 0 1 1\n' >"$work/in"
if timeout 20 "$program" <"$work/in" >/dev/full 2>"$work/err" && [[ ! -s "$work/err" ]]; then
  passed=$((passed + 1))
else
  fail "standard output on /dev/full"
fi

# Long runs of white space and of leading zeros take linear time.
{ printf '1 '; head -c 100000000 /dev/zero | tr '\0' ' '; printf '5 5 '; } >"$work/in"
check_file() {
  local name=$1 want=$2
  if [[ $(timeout 60 "$program" <"$work/in" 2>&1) == "$want" ]]; then passed=$((passed + 1)); else fail "$name"; fi
}
check_file "100 MB of white space" 0.0000000000
{ printf '1 '; head -c 100000 /dev/zero | tr '\0' 0; printf '5 -'; head -c 100000 /dev/zero | tr '\0' 0; printf '5 '; } >"$work/in"
check_file "100,000 leading zeros" 0.0000000000

# Memory runs out in the middle of a large case: exit status 1 with one line
# on standard error, no core dump, and the earlier lines intact. Through a
# pipe, and from a file, which threads read and count.
if [[ $memory_limit_test == 1 ]]; then
  { printf '1 0 0\n'; awk 'BEGIN { print 20000000; for (i = 0; i < 5000000; i++) print i, 3 * i }'; } >"$work/large"
  for input in pipe file; do
    (
      if [[ $input == pipe ]]; then
        ulimit -v 100000 -c 0
        { printf '1 0 0\n'; awk 'BEGIN { print 20000000; for (i = 0; i < 20000000; i++) print i, 3 * i }'; } |
          timeout 60 "$program" >"$work/out" 2>"$work/err"
      else
        ulimit -v 40000 -c 0
        timeout 60 "$program" <"$work/large" >"$work/out" 2>"$work/err"
      fi
      echo $? >"$work/status"
    )
    if [[ $(cat "$work/status") == 1 && $(cat "$work/out") == 0.0000000000 &&
      $(cat "$work/err") == "diagonal-picks: out of memory" ]]; then
      passed=$((passed + 1))
    else
      fail "memory exhausted ($input): status $(cat "$work/status"), output $(head -c 100 "$work/out"), error $(head -c 100 "$work/err")"
    fi
  done
  rm -f "$work/large"
fi

# The bundled example.
if cmp -s <("$program" <"$examples/points.txt" 2>&1) "$examples/points.expected"; then
  passed=$((passed + 1))
else
  fail "bundled example"
fi

# Each line leaves the process as soon as its case is read, before the input
# ends: a producer that writes one case, one byte at a time, and waits for
# its line before it writes the next. The last case is large, so that its
# numbers cross the reader's blocks and batches.
large_case=$(awk 'BEGIN { printf "3000"; for (i = 0; i < 3000; i++) printf " %d %d", i, -i; print "" }')
coproc PROGRAM { "$program"; }
program_pid=$PROGRAM_PID  # bash unsets PROGRAM_PID once the coprocess ends
interactive_ok=1
for round in "1\n5 5\n|0.0000000000" "+2 -0 0\r\n1 1\t|0.5000000000" "0\n|-nan" "$large_case\n|0.9996666667"; do
  case_text=${round%|*}
  printf -v case_text -- "$case_text"
  for ((i = 0; i < ${#case_text}; i++)); do printf '%s' "${case_text:i:1}" >&"${PROGRAM[1]}"; done
  if ! read -r -t 10 line <&"${PROGRAM[0]}" || [[ $line != "${round##*|}" ]]; then
    interactive_ok=0
    echo "no line \"${round##*|}\" (got \"${line:-}\") for case ${case_text:0:20}"
    break
  fi
done
if [[ $interactive_ok == 1 ]]; then passed=$((passed + 1)); else fail "line written before the next case is sent"; fi
exec {PROGRAM[1]}>&-
wait "$program_pid"

# The same with cases large enough that a second thread counts them: each
# is written at once, and its line must come before the next is sent.
# Points (i, -i) give 1 - 1/n.
coproc PROGRAM { "$program"; }
program_pid=$PROGRAM_PID  # bash unsets PROGRAM_PID once the coprocess ends
interactive_ok=1
for round in "100000|0.9999900000" "3|0.6666666667" "70000|0.9999857143"; do
  awk -v n="${round%|*}" 'BEGIN { printf "%d", n; for (i = 0; i < n; i++) printf " %d %d", i, -i; print "" }' >&"${PROGRAM[1]}"
  if ! read -r -t 20 line <&"${PROGRAM[0]}" || [[ $line != "${round##*|}" ]]; then
    interactive_ok=0
    echo "no line \"${round##*|}\" (got \"${line:-}\") for a case of ${round%|*} points"
    break
  fi
done
if [[ $interactive_ok == 1 ]]; then passed=$((passed + 1)); else fail "large cases' lines written before the next case is sent"; fi
exec {PROGRAM[1]}>&-
wait "$program_pid"

# The same input from a pipe that delivers one byte at a time, and from a file.
{ printf '2 0 0 1 1\n'; printf '%s\n' "$large_case"; } >"$work/in"
printf '0.5000000000\n0.9996666667\n' >"$work/want"
if cmp -s <("$program" <"$work/in") "$work/want" &&
  cmp -s <(while IFS= read -r -d '' -n 1 byte; do printf "%s" "$byte"; done <"$work/in" | "$program") "$work/want"; then
  passed=$((passed + 1))
else
  fail "one byte at a time and from a file"
fi

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
