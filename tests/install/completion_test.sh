#!/usr/bin/env bash
# The bash completion offers the options and file names after -s: and -script; the zsh files parse.
# Usage: completion_test.sh DIST_COMPLETION_DIR
set -u
src=$1
failed=0
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
touch "$scratch/job.fscr" "$scratch/commands.txt"
source "$src/orvaneftp.bash"
source "$src/orvanesched.bash"
compopt() { :; }  # only valid while bash itself completes

# complete FUNCTION WORD...: COMPREPLY for the last word, sorted, one line.
complete_words() {
    local fn=$1
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    "$fn"
    [ ${#COMPREPLY[@]} -eq 0 ] || printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' '
}
expect() {
    local want=$1 got=$2 what=$3
    if [ "$got" != "$want" ]; then
        echo "$what: got [$got], want [$want]"
        failed=1
    fi
}
expect "-s: -script -set -ssh -ssl " "$(complete_words _orvaneftp orvaneftp -s)" "options beginning with -s"
expect "--help --version " "$(complete_words _orvaneftp orvaneftp --)" "long options"
expect "$scratch/job.fscr " "$(complete_words _orvaneftp orvaneftp -script "$scratch/j")" "-script FILE"
# bash splits "-s:FILE" at the colon: the words are "-s" ":" "FILE".
expect "$scratch/commands.txt " "$(complete_words _orvaneftp orvaneftp -s : "$scratch/c")" "-s:FILE"
expect "-s:$scratch/commands.txt " "$(complete_words _orvaneftp orvaneftp "-s:$scratch/c")" "-s:FILE unsplit"
expect "" "$(complete_words _orvaneftp orvaneftp -timeout "")" "no guesses for a number"
expect "-installauto -installman " "$(complete_words _orvanesched orvanesched -inst)" "orvanesched options"
expect "" "$(complete_words _orvanesched orvanesched -debug -)" "only the first argument counts"
expect "-remove -remove-task " "$(complete_words _orvanesched orvanesched -rem)" "orvanesched commands"
expect "-replace " "$(complete_words _orvanesched orvanesched -add -program x -re)" "-add's options"
expect "monthly " "$(complete_words _orvanesched orvanesched -add -every mo)" "-every's words"
expect "" "$(complete_words _orvanesched orvanesched -add -start 2)" "no guesses for a time"
if command -v zsh >/dev/null; then
    for f in "$src/_orvaneftp" "$src/_orvanesched"; do
        zsh -n "$f" || { echo "zsh cannot parse $f"; failed=1; }
    done
else
    echo "zsh not installed: its completion files were not parsed"
fi
exit $failed
