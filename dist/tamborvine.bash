# bash completion for tamborvine: the option letters and long options, HEX
# and ELF files as the first word, file names after the file options, port
# names after -c, and the rates after -r and -b. Installed as
# share/bash-completion/completions/tamborvine; it also works when sourced
# by itself.

_tamborvine() {
    # Every option, by what follows it. A new long option is one word added
    # to one of these lists (and its entry in the manual page).
    local flags="-w -t -E -T -V -q -h -v --help --incremental --then-terminal --list-ports --colors --echo
                 --log-append --log-time --watch"
    local file_options="-d -e -l --events --read-flash --read-eeprom"
    local port_options="-c"
    local download_rate_options="-r --download-rate"
    local rate_options="-b"
    local reset_options="--reset"
    local protocol_options="--protocol"
    local choice_options="--data-bits --parity --stop-bits --flow --keys --time-format" # one of a few words
    local text_options="--expect --send --timeout --reset-ms --boot-wait-ms --wait-port --exit-key --map-in --map-out
                        --profile --reflash-key --build" # a value that no list can offer

    local cur=${COMP_WORDS[COMP_CWORD]}
    local option="" prefix=""
    if [[ $cur == --*=* ]]; then # --name=value as one word
        option=${cur%%=*}
        prefix=$option=
        cur=${cur#*=}
    elif ((COMP_CWORD >= 2)) && [[ ${COMP_WORDS[COMP_CWORD - 1]} == = ]]; then # split at the '='
        option=${COMP_WORDS[COMP_CWORD - 2]}
    elif ((COMP_CWORD >= 2)); then
        option=${COMP_WORDS[COMP_CWORD - 1]}
        # In a cluster such as -wc, the last letter takes this word.
        [[ $option == -[!-]?* ]] && option=-${option: -1}
    fi

    COMPREPLY=()
    if [[ " $file_options " == *" $option "* ]]; then
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    elif [[ " $port_options " == *" $option "* ]]; then
        # Devices, the usb: names of the adapters plugged in, and the
        # beginnings of the network names.
        mapfile -t COMPREPLY < <(compgen -G '/dev/tty[A-Za-z]*'; compgen -G '/dev/serial/by-id/*'
            "${COMP_WORDS[0]}" --list-ports 2>/dev/null | grep -o 'usb:[^ ]*'; echo rfc2217://; echo socket://)
        mapfile -t COMPREPLY < <(for port in "${COMPREPLY[@]}"; do [[ $port == "$cur"* ]] && echo "$port"; done)
        [[ ${COMPREPLY[*]} == *:// ]] && compopt -o nospace 2>/dev/null # the host comes next
        if ((${#COMPREPLY[@]} == 0)); then # a link of one's own, such as the simulator's
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        fi
    elif [[ " $reset_options " == *" $option "* ]]; then
        COMPREPLY=($(compgen -W "dtr rts dtr,rts none" -- "$cur"))
    elif [[ " $protocol_options " == *" $option "* ]]; then
        COMPREPLY=($(compgen -W "tamborvine stk500v1 arduino" -- "$cur"))
    elif [[ " $choice_options " == *" $option "* ]]; then
        local choices
        case $option in
            --data-bits) choices="5 6 7 8" ;;
            --parity) choices="none even odd" ;;
            --stop-bits) choices="1 2" ;;
            --flow) choices="none rts-cts xon-xoff" ;;
            --keys) choices="pc vt100" ;;
            --time-format) choices="clock iso" ;;
        esac
        COMPREPLY=($(compgen -W "$choices" -- "$cur"))
    elif [[ " $download_rate_options " == *" $option "* ]]; then
        local rates="19200 38400 57600 115200"
        [[ $option == --download-rate ]] && rates="$rates 250000 500000 1000000"
        COMPREPLY=($(compgen -W "$rates" -- "$cur"))
    elif [[ " $rate_options " == *" $option "* ]]; then
        COMPREPLY=($(compgen -W "1200 2400 4800 9600 19200 38400 57600 115200 230400 460800 921600" -- "$cur"))
    elif [[ -n $option && " $text_options " == *" $option "* ]]; then
        return 0
    elif [[ $cur == -* ]]; then
        local all="$flags $file_options $port_options $reset_options $protocol_options $choice_options
                   $download_rate_options $rate_options $text_options"
        COMPREPLY=($(compgen -W "$all" -- "$cur"))
    elif ((COMP_CWORD == 1)); then # the flash file is the first word
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -d -- "$cur"; compgen -f -X '!*.[hH][eE][xX]' -- "$cur"
            compgen -f -X '!*.[eE][lL][fF]' -- "$cur")
    fi
    if [[ -n $prefix ]]; then
        COMPREPLY=("${COMPREPLY[@]/#/$prefix}")
    fi
    return 0
}

complete -F _tamborvine tamborvine
