#!/usr/bin/env bash
# Installs the build into a scratch prefix and drives the script of one
# shell there, in a folder of files made here: the candidates offered for each command line
# of the table below must be those it lists (bash through the registered completion
# function, fish through `complete -C`, zsh through its completion system in a terminal of
# its own). Exits 77 (skipped) when the shell is not installed.
#
#   tests/completion_test.sh bash|zsh|fish CMAKE BUILD_FOLDER SCRIPT_PATH_UNDER_THE_PREFIX
set -euo pipefail
shell=$1
cmake=$2
build=$3
installed_as=$4

fail() {
  echo "FAIL ($shell): $*"
  exit 1
}
command -v "$shell" >/dev/null || {
  echo "skipped: $shell is not installed"
  exit 77
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$cmake" --install "$build" --prefix "$scratch/prefix" >/dev/null
script=$scratch/prefix/$installed_as
[ -f "$script" ] || fail "cmake --install put no completion script at $installed_as"
# fish loads the completion of commands that are there.
export PATH="$scratch/prefix/bin:$PATH"

folder=$scratch/takes
mkdir -p "$folder/sub" "$folder/plain"
touch "$folder/a.bvh" "$folder/B.BVH" "$folder/my take.bvh" "$folder/notes.txt" \
  "$folder/plain/notes.txt" "$folder/plain/x"

# A command line (completed at its end) and the names offered, without folders' trailing
# slash and without the folder part, in sorted order, separated by `|`.
cases=$(
  cat <<'EOF'
mocslice -	-e|-h|-o|-s
mocslice 	B.BVH|a.bvh|my take.bvh|plain|sub
mocslice m	my take.bvh
mocslice -e 50% -s 1 	B.BVH|a.bvh|my take.bvh|plain|sub
mocslice a.bvh -o 	B.BVH|a.bvh|my take.bvh|notes.txt|plain|sub
mocslice -o n	notes.txt
mocslice -s 	
mocslice a.bvh -e 	
mocslice plain/	notes.txt|x
EOF
)

# The names offered for the command line $1, one a line; zsh adds a line "hint <text>" for
# each hint it shows.
offered_bash() {
  bash --norc --noprofile -c '
    source "$1"
    registered=$(complete -p mocslice)
    function=$(sed -n "s/.* -F \([^ ]*\) .*/\1/p" <<<"$registered")
    [ -n "$function" ] || { echo "no completion function in: $registered"; exit 1; }
    read -ra COMP_WORDS <<<"$2"
    [[ $2 == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE=$2
    COMP_POINT=${#2}
    "$function" mocslice "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf "%s\n" "${COMPREPLY[@]}"
  ' bash "$script" "$1"
}

offered_fish() {
  # Found by its name in a completion folder, as fish finds the installed one.
  fish --no-config -c 'set fish_complete_path $argv[1] $fish_complete_path; complete -C $argv[2]' \
    "$(dirname "$script")" "$1" | cut -f 1
}

# zsh completes only in its line editor: a second zsh on a terminal of its own (zpty) gets
# the line and a TAB; every compadd is recorded, and a function run after the completion
# says that it is over. (compinit's dump of what it found, $log.dump, serves every line.)
offered_zsh() {
  local log=$scratch/zsh.log
  rm -f "$log" "$log.done"
  cat >"$scratch/setup.zsh" <<'EOF'
exec 2>>$LOG.done
PS1= RPS1=
autoload -Uz compinit && compinit -u -d $LOG.dump
print -r -- "registered $_comps[mocslice]" >>$LOG
zstyle ':completion:*' format '%d'
compadd() {
  if (( ${@[(I)-[OAD]]} )); then builtin compadd "$@"; return; fi
  local -a names
  local i
  builtin compadd -O names "$@"
  for (( i = 1; i < $#; i++ )); do [[ ${@[i]} == -x ]] && print -r -- "hint ${@[i+1]}" >>$LOG; done
  (( $#names )) && print -rl -- ${(Q)names} >>$LOG
  builtin compadd "$@"
}
completed() { print -r -- completed >>$LOG.done; }
comppostfuncs=(completed)
EOF
  LOG=$log COMPLETIONS="$(dirname "$script")" zsh -f -c '
    zmodload zsh/zpty
    zpty shell zsh -f -i
    zpty -w shell "fpath=(\$COMPLETIONS \$fpath); source ${(q)1}"
    zpty -w -n shell "$2"$'\''\t'\''
    for (( i = 0; i < 600; i++ )); do [[ -s $LOG.done ]] && break; sleep 0.05; done
    zpty -d shell
  ' zsh "$scratch/setup.zsh" "$1"
  grep -qx completed "$log.done" || fail "zsh did not complete '$1': $(cat "$log.done" 2>/dev/null)"
  grep -qx 'registered _mocslice' "$log" || fail "zsh has no _mocslice for mocslice in \$_comps"
  grep -v '^registered ' "$log" || true
}

failures=0
while IFS=$'\t' read -r line expected; do
  got=$(cd "$folder" && "offered_$shell" "$line")
  names=$(sed -e '/^hint /d' -e 's|/$||' -e 's|.*/||' -e '/^$/d' <<<"$got" | LC_ALL=C sort |
    paste -sd '|')
  if [ "$names" != "$expected" ]; then
    echo "'$line': offered '$names', expected '$expected'"
    failures=$((failures + 1))
  fi
  # After -s and -e, zsh shows the three forms of a position.
  if [ "$shell" = zsh ] && [[ $line == *" -"[se]" " ]] &&
    ! grep -q '^hint .*frame number.*percentage.*seconds' <<<"$got"; then
    echo "'$line': no hint of a position's forms: $got"
    failures=$((failures + 1))
  fi
done <<<"$cases"
[ "$failures" -eq 0 ] || fail "$failures of $(wc -l <<<"$cases") command lines completed wrongly"
echo "$shell completes $(wc -l <<<"$cases") command lines as expected"
