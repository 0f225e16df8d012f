# bash completion for kvx

_kvx() {
    local cur prev command
    COMPREPLY=()
    cur="${COMP_WORDS[COMP_CWORD]}"
    prev="${COMP_WORDS[COMP_CWORD-1]}"
    command="${COMP_WORDS[1]}"

    if [[ ${COMP_CWORD} -eq 1 ]]; then
        COMPREPLY=($(compgen -W "pack unpack info verify compare --help --version" -- "$cur"))
        return
    fi

    case "$prev" in
        --format)
            COMPREPLY=($(compgen -W "stl ply obj" -- "$cur"))
            return ;;
        --input-format)
            COMPREPLY=($(compgen -W "stl ply obj off" -- "$cur"))
            return ;;
        --stl-colors)
            COMPREPLY=($(compgen -W "valid-bit header" -- "$cur"))
            return ;;
        --file-unit)
            COMPREPLY=($(compgen -W "mm cm m in ft" -- "$cur"))
            return ;;
        --grid|--unit)
            COMPREPLY=($(compgen -W "1um 10nm 100nm 0.01mm 0.1mm" -- "$cur"))
            return ;;
        --password-env)
            COMPREPLY=($(compgen -v -- "$cur"))
            return ;;
        --name|--mesh)
            return ;;
        -o|--output)
            if [[ "$command" == unpack ]]; then
                COMPREPLY=($(compgen -d -- "$cur"))
            else
                COMPREPLY=($(compgen -f -X '!*.@(kvx|KVX|exe)' -- "$cur") $(compgen -d -- "$cur"))
            fi
            return ;;
        --data|--password-file|--sfx)
            COMPREPLY=($(compgen -f -- "$cur"))
            return ;;
    esac

    local common="--grid --unit --file-unit --password --password-file --password-env -q --quiet --help"
    local options files
    case "$command" in
        pack)
            options="-o --output --name --colors --no-colors --data --split --reproducible --sfx -f --force --input-format $common"
            files='!*.@(stl|STL|ply|PLY|obj|OBJ|off|OFF)' ;;
        unpack)
            options="-o --output --format --ascii --colors --no-colors --stl-colors --mesh -f --force $common"
            files='!*.@(kvx|KVX|exe)' ;;
        info|verify)
            options="--json --grid --unit --file-unit --password --password-file --password-env -q --quiet --help"
            files='!*.@(kvx|KVX|exe)' ;;
        compare)
            options="--colors --input-format --grid --unit --file-unit --password --password-file --password-env -q --quiet --help"
            files='!*.@(stl|STL|ply|PLY|obj|OBJ|off|OFF|kvx|KVX|exe)' ;;
        *)
            return ;;
    esac
    if [[ "$cur" == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
    else
        COMPREPLY=($(compgen -f -X "$files" -- "$cur") $(compgen -d -- "$cur"))
    fi
}

complete -o filenames -F _kvx kvx
