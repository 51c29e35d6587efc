# Sourced by the tools that fetch Debian packages themselves: the archive
# they use is the one this machine's own APT takes its packages from, so no
# file of the tree names a mirror.
#
# apt_mirror: prints the archive's base URI (scheme, host and path, without
# a suite), in this order:
#   TALD_MIRROR, when set and not empty;
#   the first URIs: of an enabled deb stanza in /etc/apt/sources.list.d/*.sources;
#   the first "deb" line of /etc/apt/sources.list (its [options] skipped).
# Fails with a message when none is found or it is no URI debootstrap can use.
apt_mirror() {
    local uri=${TALD_MIRROR:-} f
    if [ -z "$uri" ]; then
        for f in /etc/apt/sources.list.d/*.sources; do
            [ -f "$f" ] || continue
            uri=$(awk '
                function flush() {
                    if (types ~ /(^|[ \t])deb([ \t]|$)/ && enabled != "no" && uris != "") { print uris; found = 1; exit }
                    types = ""; uris = ""; enabled = ""
                }
                /^[ \t]*#/ { next }
                /^[ \t]*$/ { flush(); next }
                tolower($1) == "types:" { $1 = ""; types = $0 }
                tolower($1) == "uris:" { uris = $2 }
                tolower($1) == "enabled:" { enabled = tolower($2) }
                END { if (!found) flush() }' "$f")
            [ -z "$uri" ] || break
        done
    fi
    if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
        uri=$(awk '$1 == "deb" {
                i = 2
                if ($i ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
                print $i; exit }' /etc/apt/sources.list)
    fi
    case $uri in
    http://?* | https://?* | ftp://?* | file:/?*) echo "${uri%/}" ;;
    '') echo "no Debian archive in /etc/apt/sources.list.d/*.sources or /etc/apt/sources.list; set TALD_MIRROR" >&2
        return 1 ;;
    *) echo "the archive $uri (from APT's sources) is no http, https, ftp or file URI; set TALD_MIRROR" >&2
        return 1 ;;
    esac
}
