# Sourced by the scripts in tools/ once they have a usage function that
# prints their usage. check_args MAX "$@": -h or --help prints the usage and
# ends the script; any other option, or more than MAX arguments, is refused
# with the usage on standard error and exit status 2.
check_args() {
    max=$1
    shift
    case "${1:-}" in
        -h|--help)
            usage
            exit 0 ;;
        -*)
            usage >&2
            exit 2 ;;
    esac
    if [ $# -gt "$max" ]; then
        usage >&2
        exit 2
    fi
}
