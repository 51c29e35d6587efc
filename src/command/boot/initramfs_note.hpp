// Whether the initramfs of a kernel carries an older copy of the overrides
// than the preference file.
//
// The package's initramfs-tools hook and dracut module record, each time
// they build an image that carries multipath, what they put into it: a copy
// of the preference file (empty when none went in), at
// RECORDS/VERSION.BUILDER, replaced whole (initramfs/state.sh); the
// initramfs-tools record only once update-initramfs has put the image into
// /boot, the dracut one during the build. A record says what the image the
// host boots carries only when that image, /boot/initrd.img-VERSION, was
// written no earlier than the record; otherwise (a build that failed after
// the hook, an image written elsewhere, none) the image is stale. Comparing
// the record with the preference file costs a stat per builder, one of the
// image and two small reads; no image is unpacked. Only the overrides count
// (each path's identity as a resolution finds it, and its priority 5..8): a
// callout that stored the default of a new path does not make an image
// stale, since the image computes that default itself.
#pragma once

#include <cstdio>

/// Where the hook and the module keep their records.
inline constexpr const char *kInitramfsRecords = "/var/lib/quelvane-path-manager/initramfs";
/// Where the host boots its images from: BOOT/initrd.img-VERSION (both
/// builders on Debian).
inline constexpr const char *kBootDir = "/boot";

/// The note: the kernel version, then the command that builds its image
/// again and the version once more.
inline constexpr const char *kFmtInitramfsStale =
    "The initramfs of kernel %s carries an older copy of the overrides; to boot with these, "
    "run: %s %s\n";
inline constexpr const char *kUpdateInitramfs = "update-initramfs -u -k";
inline constexpr const char *kDracut = "dracut -f --kver";

/// Writes kFmtInitramfsStale to `out` when the newest record in `records`
/// for the kernel `release` is not that of `boot`/initrd.img-RELEASE (that
/// image missing, or older than the record), or holds other overrides than
/// the preference file at `conf_path`. True when it wrote. No record, or a
/// file of either that cannot be read: nothing (what cannot be read says so
/// elsewhere).
bool initramfs_stale_note(const char *records, const char *boot, const char *release,
                          const char *conf_path, FILE *out);

/// The same for the running kernel (uname), kInitramfsRecords, kBootDir and
/// the preference file.
bool initramfs_stale_note(FILE *out);
