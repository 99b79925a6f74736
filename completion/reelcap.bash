# bash completion for reelcap: options, the values of -codec, -emulation, -theme, -bold-bright,
# -cursor and -chapters, file names.

_reelcap_files() {
    if declare -F _filedir >/dev/null; then
        _filedir
    else
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    fi
}

_reelcap() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()
    if ((COMP_CWORD == 1)); then
        if [[ $cur == -* ]]; then
            mapfile -t COMPREPLY < <(compgen -W '-h --help -help --version' -- "$cur")
        else
            _reelcap_files
        fi
        return
    fi
    # Option names ignore letter case.
    case ${prev,,} in
        -codec)
            mapfile -t COMPREPLY < <(compgen -W 'list dib zmbv ffv1 mjpeg h264 vp9 av1 gif' -- "${cur,,}")
            return ;;
        -emulation)
            mapfile -t COMPREPLY < <(compgen -W 'basic xterm' -- "${cur,,}")
            return ;;
        -theme)
            local themes
            mapfile -t themes < <(compgen -W 'classic xterm tango solarized-dark solarized-light dracula
                gruvbox-dark nord monokai asciinema' -- "${cur,,}")
            _reelcap_files
            COMPREPLY+=("${themes[@]}")
            return ;;
        -bold-bright | -chapters)
            mapfile -t COMPREPLY < <(compgen -W 'on off' -- "${cur,,}")
            return ;;
        -cursor)
            mapfile -t COMPREPLY < <(compgen -W 'block bar underline' -- "${cur,,}")
            return ;;
        -output | -font | -audio)
            _reelcap_files
            return ;;
        -width | -height | -fps | -skip | -stop | -font-size | -line-height | -padding | -margin | -margin-color | -idle | -speed | -last | -from | -to | -at | -chapter-every | -keys-hold | -audio-offset | -jobs)
            return ;;
    esac
    mapfile -t COMPREPLY < <(compgen -W '-width -height -fps -skip -stop -output -double -png -codec -emulation
        -font -font-size -line-height -theme -bold-bright -padding -cursor -window -margin -margin-color -keys -keys-hold -idle -speed -realtime -record-frames -last -from -to
        -at -progress -quiet -tidy -chapters -chapter-every -audio -audio-offset -jobs' -- "${cur,,}")
}

complete -F _reelcap reelcap
