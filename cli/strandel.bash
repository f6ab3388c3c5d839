# bash completion for strandel, the command line of the Isaac Sim bridge client.

_strandel() {
  local cur prev words cword
  _init_completion 2>/dev/null || {
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    words=("${COMP_WORDS[@]}")
    cword=$COMP_CWORD
  }
  local commands="get post put patch delete stream capture ping view"
  local shared="--url --ws-url --timeout --retries --help"

  local command="" i
  for ((i = 1; i < cword; i++)); do
    case ${words[i]} in
      get | post | put | patch | delete | stream | capture | ping | view)
        command=${words[i]}
        break
        ;;
    esac
  done

  case $prev in
    --url | --ws-url | --timeout | --retries | --count | -n | --seconds | -s | --idle-timeout | --types | --window)
      return
      ;;
    --rate)
      # a number after capture's --rate; stream's --rate is a flag
      [[ $command == capture ]] && return
      ;;
    --out | -o)
      if [[ $command == stream ]]; then
        COMPREPLY=($(compgen -f -- "$cur"))
      else
        COMPREPLY=($(compgen -d -- "$cur"))
      fi
      return
      ;;
  esac

  local options
  case $command in
    "") COMPREPLY=($(compgen -W "$commands $shared" -- "$cur")); return ;;
    get | delete) options="-i --include" ;;
    post | put | patch)
      options="-i --include"
      if [[ $cur == @* ]]; then
        COMPREPLY=($(compgen -f -- "${cur#@}" | sed 's/^/@/'))
        return
      fi
      ;;
    stream)
      options="-n --count -s --seconds -o --out --force --rate --window --reconnect --idle-timeout"
      if [[ $cur != -* ]]; then
        COMPREPLY=($(compgen -W "articulations/" -- "$cur"))
        compopt -o nospace 2>/dev/null
        return
      fi
      ;;
    capture) options="--types --world-frame -o --out -n --count --rate -v --verbose" ;;
    ping) options="" ;;
    view)
      options="--camera --stream --host --port --fps --history --quality --chart-js"
      case $prev in
        --camera | --host | --port | --fps | --history | --quality) return ;;
        --stream)
          COMPREPLY=($(compgen -W "articulations/" -- "$cur"))
          compopt -o nospace 2>/dev/null
          return
          ;;
        --chart-js) COMPREPLY=($(compgen -f -- "$cur")); return ;;
      esac
      ;;
  esac
  COMPREPLY=($(compgen -W "$options $shared" -- "$cur"))
}
complete -F _strandel strandel
