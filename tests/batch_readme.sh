#!/usr/bin/env bash
# Runs the README's two batch snippets (the `for` loop and the `xargs -P` line), taken
# from README.md as they stand, on a folder of samples with broken files and names with
# a blank among them. Each must cut every good file into its own output, exactly as a
# single run would, and go on past the broken ones; every line it prints must be a whole
# message of one run (the lines of parallel runs kept apart), and each error must name its
# file. Then runs the README's line that pipes the cut alone to `next-program`, which must
# receive exactly the cut a file would hold.
#
#   tests/batch_readme.sh README.md MOCSLICE SAMPLES_FOLDER
set -euo pipefail
readme=$1
tool=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
samples=$3

fail() {
  echo "FAIL: $*"
  exit 1
}

# The indented code block of the README that contains `pattern`, unindented.
snippet() {
  awk -v pattern="$1" '
    /^    / { block = block substr($0, 5) "\n"; next }
    index(block, pattern) { exit }
    { block = "" }
    END { if (index(block, pattern)) printf "%s", block }
  ' "$readme"
}
for_loop=$(snippet 'for f in *.bvh')
parallel=$(snippet 'xargs -0')
[ -n "$for_loop" ] || fail "no for loop over *.bvh in $readme"
[ -n "$parallel" ] || fail "no xargs line in $readme"
piped=$(snippet '/dev/fd/3')
[ -n "$piped" ] || fail "no line that pipes the cut in $readme"
# The range the snippets cut, to make the reference cuts with.
range=$(sed -n 's/.*mocslice "$f" \(.*\) -o .*/\1/p' <<<"$for_loop")
[ -n "$range" ] || fail "cannot find the range in: $for_loop"
[[ $parallel == *"mocslice \"\$1\" $range -o"* ]] || fail "the two snippets cut different ranges"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
takes=$scratch/takes
mkdir "$takes" "$scratch/reference"
cp "$samples"/*.bvh "$takes/"
cp "$samples/walk.bvh" "$takes/my take.bvh"
for broken in broken.bvh "broken 2.bvh" broken3.bvh broken4.bvh; do
  printf 'HIERARCHY\nno motion here\n' >"$takes/$broken"
done

export PATH="$(dirname "$tool"):$PATH"
[ "$(command -v mocslice)" = "$tool" ] || fail "mocslice on the PATH is not $tool"

good=0
for f in "$takes"/*.bvh; do
  name=$(basename "$f" .bvh)
  [[ $name == broken* ]] && continue
  # shellcheck disable=SC2086  # the range is several words
  (cd "$takes" && "$tool" "$name.bvh" $range -o "$scratch/reference/${name}_cut.bvh" >/dev/null)
  good=$((good + 1))
done

# Both snippets are run from the folder of takes, as the README says.
run_snippet() {
  local status=0
  (cd "$takes" && bash -c "$1") >"$scratch/console" 2>&1 || status=$?
  echo "$status"
}

# Every line of the console is a whole message of one run: OK or the warning, a summary
# line whose input and output names agree, or the MOTION error with the broken file's name.
check_console() {
  local line name summaries=0 errors=0
  while IFS= read -r line; do
    case $line in
      OK | "Warning: Incorrect value 'Frames' in input file, check number of copied frames.") ;;
      "Motion with "*)
        name=$(sed -n 's/^Motion with [0-9]* frames ([0-9]*\.\.-\{0,1\}[0-9]*) from \(.*\) copied to .*/\1/p' <<<"$line")
        [ -n "$name" ] && [ "$line" = "${line% from *} from $name copied to cuts/${name%.bvh}_cut.bvh" ] ||
          fail "the $1 printed a line run together from several runs: $line"
        summaries=$((summaries + 1))
        ;;
      "Error: Incomplete input file, the MOTION section missing (broken"*".bvh)")
        errors=$((errors + 1))
        ;;
      *) fail "the $1 printed a line that is no whole message of a run, or an error without its file: $line" ;;
    esac
  done <"$scratch/console"
  [ "$summaries" -eq "$good" ] || fail "the $1 printed $summaries summary lines for $good good files"
  [ "$errors" -eq 4 ] || fail "the $1 printed $errors errors naming their file for 4 broken files"
  for broken in broken.bvh "broken 2.bvh" broken3.bvh broken4.bvh; do
    grep -qxF "Error: Incomplete input file, the MOTION section missing ($broken)" "$scratch/console" ||
      fail "the $1 printed no error naming $broken"
  done
}

status=$(run_snippet "$for_loop")
[ "$status" -eq 0 ] || fail "the for loop ended with status $status"
mv "$takes/cuts" "$scratch/cuts_for"
check_console "for loop"

status=$(run_snippet "$parallel")
[ "$status" -eq 123 ] || fail "the xargs line ended with status $status, expected 123"
mv "$takes/cuts" "$scratch/cuts_xargs"
check_console "xargs line"

for made in for xargs; do
  diff -r "$scratch/reference" "$scratch/cuts_$made" >/dev/null ||
    fail "the $made snippet's cuts differ from single runs: $(diff -rq "$scratch/reference" "$scratch/cuts_$made")"
done
echo "both README batch snippets cut $good files like single runs ($range), went on past 4 broken ones and named them, each message on lines of its own"

# The pipe's far end: a `next-program` on the PATH that keeps what it reads.
mkdir "$scratch/bin"
printf '#!/bin/sh\ncat >"%s"\n' "$scratch/received.bvh" >"$scratch/bin/next-program"
chmod +x "$scratch/bin/next-program"
cp "$samples/walk.bvh" "$takes/in.bvh"
status=0
(cd "$takes" && PATH="$scratch/bin:$PATH" bash -c "$piped") >"$scratch/console" 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "the pipe line ended with status $status: $(cat "$scratch/console")"
[ ! -s "$scratch/console" ] || fail "the pipe line printed: $(cat "$scratch/console")"
(cd "$takes" && "$tool" in.bvh -o "$scratch/in_cut.bvh" >/dev/null)
cmp -s "$scratch/received.bvh" "$scratch/in_cut.bvh" ||
  fail "next-program received other bytes than the cut: $(cmp "$scratch/received.bvh" "$scratch/in_cut.bvh")"
echo "the README's pipe line sent exactly the cut to next-program, and nothing else"
