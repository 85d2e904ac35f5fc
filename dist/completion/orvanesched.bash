# bash completion for orvanesched: its options (only the first argument counts).
_orvanesched() {
    [[ $COMP_CWORD -eq 1 ]] || return
    COMPREPLY=($(compgen -W "-debug -installauto -installman -remove -h --help --version" \
        -- "${COMP_WORDS[1]}"))
}
complete -F _orvanesched orvanesched
