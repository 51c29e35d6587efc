# shellcheck shell=bash
# Sourced by tools/package_test.sh: the packages of old releases that its
# upgrades start from are built once per version and commit and kept outside
# the checkout, beside the Debian roots (TALD_ROOT_CACHE), so that a fresh
# checkout finds them made. A package is stored under a temporary name and
# renamed once it is whole, and one found there is used only when dpkg-deb
# reads all of it and it says the version wanted: a damaged or partial one is
# built again.
#
#   . tools/lib/old_debs.sh
#   old_deb_path VERSION COMMIT   where VERSION built from COMMIT is kept
#   old_deb_valid DEB VERSION     DEB is whole and of VERSION
#   old_deb_store FROM DEB VERSION
#                                 FROM (which must be valid) stored as DEB
old_debs_dir=${TALD_ROOT_CACHE:-/var/cache/tald-roots}/old-packages

old_deb_path() {
    echo "$old_debs_dir/${1}_$2/quelvane-path-manager_${1}_$(dpkg --print-architecture).deb"
}

# --info reads the control member; --contents reads the data member to its
# end, so that a truncated file fails too.
old_deb_valid() {
    local deb=$1 version=$2
    [ -f "$deb" ] && [ ! -L "$deb" ] && dpkg-deb --info "$deb" >/dev/null 2>&1 &&
        dpkg-deb --contents "$deb" >/dev/null 2>&1 &&
        [ "$(dpkg-deb -f "$deb" Version 2>/dev/null)" = "$version" ]
}

old_deb_store() {
    local from=$1 deb=$2 version=$3 tmp
    old_deb_valid "$from" "$version" || { echo "$from: not a whole package of $version"; return 1; }
    mkdir -p "${deb%/*}" && tmp=$(mktemp "${deb%/*}/.new.XXXXXX") || return
    if cp -- "$from" "$tmp" && sync -- "$tmp" && old_deb_valid "$tmp" "$version" && chmod 0644 "$tmp" &&
        mv -f -- "$tmp" "$deb"; then
        return 0
    fi
    rm -f -- "$tmp"
    return 1
}
