# bash completion for mocslice.
# The options; after -o any file name; after -s and -e nothing, since a position is typed,
# not chosen; anywhere else BVH files (.bvh in any case) and folders, or every file when
# there are none. Needs nothing but bash's own compgen.

_mocslice() {
  local cur=${COMP_WORDS[COMP_CWORD]} option= i
  # The value after -s, -e or -o is never an option itself: in `-s -o x`, x is the input.
  for ((i = 1; i < COMP_CWORD; i++)); do
    if [[ -z $option && ${COMP_WORDS[i]} == -[seo] ]]; then
      option=${COMP_WORDS[i]}
    else
      option=
    fi
  done
  # A name begun with a quote is completed without it; readline puts it back.
  cur=${cur#[\"\']}
  COMPREPLY=()
  case $option in
    -s | -e) ;;
    -o) mapfile -t COMPREPLY < <(compgen -f -- "$cur") ;;
    *)
      if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W '-s -e -o -h' -- "$cur")
      else
        mapfile -t COMPREPLY < <(compgen -f -X '!*.[Bb][Vv][Hh]' -- "$cur"; compgen -d -- "$cur")
        ((${#COMPREPLY[@]})) || mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      fi
      ;;
  esac
}
complete -o filenames -F _mocslice mocslice
