# Sourced by the package's initramfs-tools hook and dracut module (POSIX sh).
#
# What an initramfs that carries multipath gets of the prioritizer's state:
# a copy of /etc/lvm/cache/tald.conf, when a run as root may use it (the
# directory and the file root's, neither writable by group or others, the
# file a regular one), and never the lock file or a temporary file of a save,
# even when another hook copied /etc/lvm whole. The image's boot script then
# makes /etc/lvm/cache read-only there, so that the prioritizer answers from
# the copy and writes nothing; the real /etc/lvm/cache is never written.
#
# What went into the image is recorded on the host, per kernel version and
# builder, as /var/lib/quelvane-path-manager/initramfs/VERSION.BUILDER (a copy
# of the file; empty when the image carries none), so that tald --check can
# tell a stale image from a stat and a small read.

tald_state_dir=/etc/lvm/cache
tald_conf=/etc/lvm/cache/tald.conf
tald_records=/var/lib/quelvane-path-manager/initramfs

# tald_state_trusted: true when a run as root would read tald.conf.
tald_state_trusted() {
    [ -n "$(find -L "$tald_state_dir" -maxdepth 0 -type d -user 0 ! -perm /022 2>/dev/null)" ] &&
        [ -n "$(find "$tald_conf" -maxdepth 0 -type f -user 0 ! -perm /022 2>/dev/null)" ]
}

# tald_initramfs_state IMAGE VERSION BUILDER: the state into the image rooted
# at IMAGE, and the record of what it got.
tald_initramfs_state() {
    _image=$1 _version=$2 _builder=$3
    rm -f "$_image$tald_state_dir/tald.lock" "$_image$tald_state_dir/tald.lock.new" \
        "$_image$tald_conf" "$_image$tald_conf.tmp"
    mkdir -p "$_image$tald_state_dir" && chmod 0700 "$_image$tald_state_dir" || return
    if [ -e "$tald_conf" ] || [ -L "$tald_conf" ]; then
        if tald_state_trusted; then
            # One read: the writer renames a whole new file into place.
            cp "$tald_conf" "$_image$tald_conf" && chmod 0600 "$_image$tald_conf" || return
        else
            echo "quelvane-path-manager: $tald_conf or its directory is not root's alone (or no regular file): not put into the initramfs" >&2
        fi
    fi
    tald_initramfs_record "$_image" "$_version" "$_builder"
}

# tald_initramfs_record IMAGE VERSION BUILDER: the record, replaced whole.
tald_initramfs_record() {
    [ -n "$2" ] || return 0
    mkdir -p "$tald_records" || return
    _record=$tald_records/$2.$3
    if [ -f "$1$tald_conf" ]; then
        cp "$1$tald_conf" "$_record.new" || return
    else
        : >"$_record.new" || return
    fi
    chmod 0600 "$_record.new" && mv -f "$_record.new" "$_record" || return
    # The image of that version is this builder's now.
    for _other in "$tald_records/$2".*; do
        [ "$_other" = "$_record" ] || rm -f "$_other"
    done
}

# tald_initramfs_forget VERSION: an image without multipath carries nothing.
tald_initramfs_forget() {
    [ -n "$1" ] || return 0
    rm -f "$tald_records/$1".*
}
