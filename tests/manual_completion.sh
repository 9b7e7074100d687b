#!/usr/bin/env bash
# Makes fish's completions from the manual page as fish_update_completions makes them (fish's
# own generator, run by the Python fish finds) and checks that they are the four options,
# each with a description of one whole sentence: no options taken from the examples or the
# text, no sentence cut apart at a file name's dot. The generator runs a second time with only
# its last, most general parser (--deroff-only), which it falls back to when the others find
# nothing.
#
#   tests/manual_completion.sh FISH MANUAL_PAGE
set -euo pipefail
fish=$1
manual=$2

generator=$("$fish" --no-config -c 'echo $__fish_data_dir/tools/create_manpage_completions.py')
python=$("$fish" --no-config -c '__fish_anypython' 2>/dev/null) || python=
if [ ! -f "$generator" ] || [ -z "$python" ]; then
  echo "skipped: fish has no completion generator here, or no Python to run it"
  exit 77
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The generator names the command after the file.
cp "$manual" "$scratch/mocslice.1"

failures=0
for parsers in "" --deroff-only; do
  made=$("$python" -B "$generator" --stdout $parsers "$scratch/mocslice.1" | grep '^complete ' || true)
  options=$(sed -n "s/^complete -c mocslice \(.*\) -d '.*'\$/\1/p" <<<"$made" | paste -sd '|')
  if [ "$options" != "-s s|-s e|-s o|-s h" ] || [ "$(wc -l <<<"$made")" -ne 4 ]; then
    echo "FAIL (generator ${parsers:-as fish runs it}): it made"
    echo "$made"
    failures=$((failures + 1))
  fi
  while IFS= read -r description; do
    if [[ ! $description =~ ^[A-Z][^.…\\]*[^\ .]$ ]] || [[ $description == *"  "* ]]; then
      echo "FAIL (generator ${parsers:-as fish runs it}): not one whole sentence: '$description'"
      failures=$((failures + 1))
    fi
  done < <(sed -n "s/^complete -c mocslice .* -d '\(.*\)'\$/\1/p" <<<"$made")
done

[ "$failures" -eq 0 ] || exit 1
echo "fish makes -s, -e, -o and -h from the manual page, each with one sentence"
