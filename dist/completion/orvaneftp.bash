# bash completion for orvaneftp: options, and file names after -s: and -script.
_orvaneftp() {
    local cur prev
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    # "-s:FILE" is one word to orvaneftp, but bash splits it at ":" (COMP_WORDBREAKS).
    if [[ $cur == -s: || ( $prev == : && ${COMP_WORDS[COMP_CWORD-2]} == -s ) ]]; then
        [[ $cur == -s: ]] && cur=""
        COMPREPLY=($(compgen -f -- "$cur"))
        return
    fi
    if [[ $cur == -s:* ]]; then
        COMPREPLY=($(compgen -f -P -s: -- "${cur#-s:}"))
        return
    fi
    case $prev in
        -script | -logfile | -log | -tslogfile | -cacert | -cert | -key)
            COMPREPLY=($(compgen -f -- "$cur"))
            return
            ;;
        -append | -rollover | -timeout | -parallel | -pin | -set)
            return
            ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "-ssh -ssl -implicit -cacert -pin -tlsstrict -insecure -cert -key
            -certpass -nopasv -nonlst -noprogress -nocolor -v -s: -script -logfile -log -tslogfile -append
            -rollover -timeout -parallel -set -h --help --version" -- "$cur"))
        [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == -s: ]] && compopt -o nospace
        return
    fi
    COMPREPLY=($(compgen -A hostname -- "$cur"))
}
complete -F _orvaneftp orvaneftp
