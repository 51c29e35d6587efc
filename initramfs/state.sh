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
# tell a stale image from a stat and a small read. The record counts for an
# image only while /boot/initrd.img-VERSION is at least as new as it: a
# build that fails after the hook, or writes its image elsewhere, leaves the
# boot image older, and tald then calls it stale. initramfs-tools' record is
# moreover written as VERSION.initramfs-tools.pending during the build and
# put in place by its post-update step, which update-initramfs runs only
# once the image is in /boot, so that the record of the image there stays
# until a build replaces that image (mkinitramfs -o elsewhere never does).
# dracut runs nothing after it wrote its image: its record is written during
# the build, and only for an image it writes to /boot.

tald_state_dir=/etc/lvm/cache
tald_conf=/etc/lvm/cache/tald.conf
tald_records=/var/lib/quelvane-path-manager/initramfs

# tald_state_trusted: true when a run as root would read tald.conf.
tald_state_trusted() {
    [ -n "$(find -L "$tald_state_dir" -maxdepth 0 -type d -user 0 ! -perm /022 2>/dev/null)" ] &&
        [ -n "$(find "$tald_conf" -maxdepth 0 -type f -user 0 ! -perm /022 2>/dev/null)" ]
}

# tald_initramfs_state IMAGE VERSION BUILDER: the state into the image rooted
# at IMAGE, and the record of what it got (none without a VERSION).
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

# tald_initramfs_record IMAGE VERSION BUILDER: the record, replaced whole;
# initramfs-tools' under its pending name.
tald_initramfs_record() {
    [ -n "$2" ] || return 0
    mkdir -p "$tald_records" || return
    _record=$tald_records/$2.$3
    if [ "$3" = initramfs-tools ]; then
        rm -f "$_record.gone"
        _record=$_record.pending
    fi
    if [ -f "$1$tald_conf" ]; then
        cp "$1$tald_conf" "$_record.new" || return
    else
        : >"$_record.new" || return
    fi
    chmod 0600 "$_record.new" && mv -f "$_record.new" "$_record" || return
    [ "$3" = initramfs-tools ] || tald_initramfs_only "$2" "$_record"
}

# tald_initramfs_only VERSION RECORD: the image of that version is RECORD's
# builder's now; the records of the others go.
tald_initramfs_only() {
    for _other in "$tald_records/$1".*; do
        case $_other in
        "$2" | *.pending | *.gone) ;;
        *) rm -f "$_other" ;;
        esac
    done
}

# tald_initramfs_forget VERSION: an image of initramfs-tools without
# multipath carries nothing; its records go once that image is in /boot.
tald_initramfs_forget() {
    [ -n "$1" ] || return 0
    mkdir -p "$tald_records" && rm -f "$tald_records/$1.initramfs-tools.pending" &&
        : >"$tald_records/$1.initramfs-tools.gone"
}

# tald_initramfs_promote VERSION IMAGE: initramfs-tools' post-update step,
# after update-initramfs put IMAGE into place: when that is the image the
# host boots, the build's record (or its want of one) becomes the record.
tald_initramfs_promote() {
    _record=$tald_records/$1.initramfs-tools
    [ -n "$1" ] && [ "$2" = "/boot/initrd.img-$1" ] && [ -f "$2" ] || return 0
    if [ -f "$_record.pending" ]; then
        mv -f "$_record.pending" "$_record" && tald_initramfs_only "$1" "$_record"
    elif [ -f "$_record.gone" ]; then
        rm -f "$_record.gone" && tald_initramfs_only "$1" "$_record.gone"
    fi
}
