# bash completion for morvane-uvc-stereo
_morvane_uvc_stereo() {
  local cur prev words cword
  _init_completion || return

  local global="--device --simulate --force --no-fast --no-cache --reuse-cache --version --help"
  local commands="list watch info config imu capture record firmware sensor"
  local command="" sub="" i
  for ((i = 1; i < cword; i++)); do
    case ${words[i]} in
      # Options with a value: the value is not a command.
      -d | --device | -o | --output | --output-dir | --slave | --reg | --reg-len | --len | --value | -n | --count | -t | \
        --duration | --rate | --size | --fps | --flash-size | --format) ((i++)) ;;
      # The state file is optional: a command name after it is the command.
      --simulate)
        if ((i + 1 < cword)) && [[ " $commands " != *" ${words[i + 1]} "* ]]; then ((i++)); fi
        ;;
      -*) ;;
      *)
        if [[ -z $command ]]; then command=${words[i]}; elif [[ -z $sub ]]; then sub=${words[i]}; fi
        ;;
    esac
  done

  case $prev in
    -d | --device | --slave | --reg | --value | -n | --count | -t | --duration | --rate | --size | --fps | --flash-size)
      return ;;
    --output-dir)
      _filedir -d
      return ;;
    --format)
      COMPREPLY=($(compgen -W "table csv json" -- "$cur"))
      return ;;
    -o | --output)
      _filedir
      return ;;
    --simulate)
      if [[ -z $command ]]; then COMPREPLY=($(compgen -W "$commands" -- "$cur")); fi
      _filedir
      return ;;
  esac

  case $command in
    "") COMPREPLY=($(compgen -W "$commands $global" -- "$cur")) ;;
    list | watch | info) COMPREPLY=($(compgen -W "--json --help" -- "$cur")) ;;
    config)
      case $sub in
        "") COMPREPLY=($(compgen -W "get set backup restore check" -- "$cur")) ;;
        get) COMPREPLY=($(compgen -W "--pretty --output --help" -- "$cur")) ;;
        *) _filedir ;;
      esac ;;
    imu) COMPREPLY=($(compgen -W "--count --duration --rate --raw --format --help" -- "$cur")) ;;
    capture) COMPREPLY=($(compgen -W "--count --output-dir --color --size --fps --mjpeg --help" -- "$cur")) ;;
    record) if [[ $cur == -* ]]; then COMPREPLY=($(compgen -W "--duration --size --fps --mjpeg --help" -- "$cur")); else _filedir -d; fi ;;
    firmware)
      case $sub in
        "") COMPREPLY=($(compgen -W "version export burn params" -- "$cur")) ;;
        version | params) COMPREPLY=($(compgen -W "--json --help" -- "$cur")) ;;
        export) if [[ $cur == -* ]]; then COMPREPLY=($(compgen -W "--size --help" -- "$cur")); else _filedir; fi ;;
        burn) if [[ $cur == -* ]]; then COMPREPLY=($(compgen -W "--yes --flash-size --help" -- "$cur")); else _filedir; fi ;;
      esac ;;
    sensor)
      case $sub in
        "") COMPREPLY=($(compgen -W "read write" -- "$cur")) ;;
        read) COMPREPLY=($(compgen -W "--slave --reg --reg-len --len --help" -- "$cur")) ;;
        write) COMPREPLY=($(compgen -W "--slave --reg --reg-len --len --value --help" -- "$cur")) ;;
      esac ;;
  esac
} &&
  complete -F _morvane_uvc_stereo morvane-uvc-stereo
