# bash completion for orvanesched: its options (only the first argument counts) and those of -add.
_orvanesched() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    if [[ $COMP_CWORD -eq 1 ]]; then
        COMPREPLY=($(compgen -W "-debug -installauto -installman -remove -list -add -remove-task -run-now -export \
            -h --help --version" -- "$cur"))
        return
    fi
    if [[ ${COMP_WORDS[1],,} == -export ]]; then
        case $COMP_CWORD in
            2) COMPREPLY=($(compgen -W "systemd kubernetes" -- "$cur")) ;;
            3) COMPREPLY=($(compgen -d -- "$cur")) ;;
        esac
        return
    fi
    [[ ${COMP_WORDS[1],,} == -add ]] || return
    case $prev in
        -program) COMPREPLY=($(compgen -c -- "$cur") $(compgen -f -- "$cur")) ;;
        -output) COMPREPLY=($(compgen -f -- "$cur")) ;;
        -every) COMPREPLY=($(compgen -W "30s 15m 2h 1d 1w 3months 1year hourly daily weekly monthly yearly" \
            -- "$cur")) ;;
        -args | -start | -until) ;;  # free text and times: no guesses
        *) COMPREPLY=($(compgen -W "-program -args -output -replace -start -every -until" -- "$cur")) ;;
    esac
}
complete -F _orvanesched orvanesched
