# bash completion for vscc: its commands and their aliases, the options of
# each command and the common ones, and files or folders for the operands.
# Installed as share/bash-completion/completions/vscc, which bash-completion
# loads when "vscc" is first completed; `source` it to try it by hand.
# Keep it in step with "vscc --help" (tools/vscc/options.cc): a test checks
# that every command, alias and option the help names is offered here.

_vscc() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local prev=${COMP_WORDS[COMP_CWORD - 1]}
  local commands="bind unbind status list get checkout undo checkin add history properties diff client env prop dirs help"
  local aliases="ci co st up log"
  local common="--provider --ui --user --server --port --timeout --yes --no --defer --no-defer -C -q --quiet --progress --color= -h --help --version"
  COMPREPLY=()

  # "--color=WHEN": bash splits the word at "=" (COMP_WORDBREAKS).
  if [[ $cur == --color=* ]]; then
    mapfile -t COMPREPLY < <(compgen -P "--color=" -W "auto always never" -- "${cur#--color=}")
    return
  fi
  if [[ $prev == "--color" && $cur == "=" ]]; then
    mapfile -t COMPREPLY < <(compgen -W "auto always never")
    return
  fi
  if [[ $prev == "=" && ${COMP_WORDS[COMP_CWORD - 2]} == "--color" ]]; then
    mapfile -t COMPREPLY < <(compgen -W "auto always never" -- "$cur")
    return
  fi

  # The value of an option.
  case $prev in
    --provider | -o)
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      return
      ;;
    -C)
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -d -- "$cur")
      return
      ;;
    --ui)
      mapfile -t COMPREPLY < <(compgen -W "gui tty none script:" -- "$cur")
      return
      ;;
    --user | --server | --port | --timeout | -m | --message | -r | --new | --production | --parent)
      return
      ;;
  esac

  # The command: the first word that is neither an option nor its value.
  local i word command="" operands=0 options_done=0
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    if ((options_done == 0)); then
      case $word in
        --) options_done=1; continue ;;
        --provider | --ui | --user | --server | --port | --timeout | -C | -m | --message | -r | -o | --new | --production | --parent)
          ((i++)); continue ;;
        -*) continue ;;
        "=") ((i++)); continue ;;  # "--color" "=" "WHEN"
      esac
    fi
    if [[ -z $command ]]; then
      command=$word
    else
      ((operands++))
    fi
  done

  if [[ -z $command ]]; then
    if [[ $cur == -* && $options_done == 0 ]]; then
      mapfile -t COMPREPLY < <(compgen -W "$common" -- "$cur")
      [[ ${COMPREPLY[*]} == "--color=" ]] && compopt -o nospace 2>/dev/null
    else
      mapfile -t COMPREPLY < <(compgen -W "$commands $aliases" -- "$cur")
    fi
    return
  fi

  case $command in
    ci) command=checkin ;;
    co) command=checkout ;;
    st) command=status ;;
    up) command=get ;;
    log) command=history ;;
  esac
  local own=""
  case $command in
    bind) own="--new --production --parent" ;;
    status) own="--json" ;;
    get) own="-r -o" ;;
    checkout) own="--shared --no-get -m --message" ;;
    checkin) own="-m --message --keep --wip" ;;
    add) own="-m --message --keep" ;;
    diff) own="--tool" ;;
    env) own="--show" ;;
    dirs) own="--ids" ;;
  esac
  if [[ $cur == -* && $options_done == 0 ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$own $common" -- "$cur")
    [[ ${COMPREPLY[*]} == "--color=" ]] && compopt -o nospace 2>/dev/null
    return
  fi

  case $command in
    help)
      ((operands == 0)) && mapfile -t COMPREPLY < <(compgen -W "$commands $aliases" -- "$cur")
      ;;
    prop)
      ((operands == 0)) && mapfile -t COMPREPLY < <(compgen -W "get set" -- "$cur")
      ;;
    unbind | env | dirs) ;;  # no operand, an application's name, a Production's path
    bind | list)
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -d -- "$cur")
      ;;
    *)
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      ;;
  esac
}

complete -F _vscc vscc
