# fish completion for mocslice.
# The options, each matched whole (-s20 is not -s 20); after -o any file name; after -s and
# -e nothing, since a position is typed, not chosen (the options' descriptions show its
# three forms); anywhere else BVH files (.bvh in any case) and folders, or every file when
# there are none.

# The files and folders that complete the current token, as fish lists them for a command
# it knows nothing about, narrowed to BVH files and folders when there are any.
function __mocslice_inputs
    set -l token (commandline -ct)
    set -l files (complete -C "__mocslice_any_file $token")
    set -l inputs (string match -ri -- '^.*(?:\.bvh|/)$' $files)
    if set -q inputs[1]
        printf '%s\n' $inputs
    else
        printf '%s\n' $files
    end
end

complete -c mocslice -f -a '(__mocslice_inputs)'
complete -c mocslice -o s -x -d 'start: frame number (20), percentage (33.33%) or seconds (1.5s)'
complete -c mocslice -o e -x -d 'end, inclusive: frame number, percentage or seconds'
complete -c mocslice -o o -r -F -d 'output file name'
complete -c mocslice -o h -d 'print the usage screen'
