#compdef mocslice
# zsh completion for mocslice.
# The options; after -o any file name; after -s and -e only a hint of the three forms of a
# position; anywhere else BVH files (.bvh in any case) and folders, or every file when
# there are none. Options may repeat: the last -s and -e win.

local position='a frame number (20), a percentage (33.33%%) or seconds (1.5s)'
_arguments \
  "*-s[start of the range]:start position, $position: " \
  "*-e[end of the range, inclusive]:end position, $position: " \
  '*-o[output file name]:output file:_files' \
  '*-h[print the usage screen]' \
  '*:BVH file:_files -g "*.(#i)bvh(-.)"'
