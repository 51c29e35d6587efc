#include "command/boot/initramfs_note.hpp"

#include "store/test_util.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

using conf_test::make_line;
using conf_test::write_file;

const std::string kWwidA = "3600a0b80000000000000000000000a01";
const std::string kWwidB = "3600a0b80000000000000000000000b02";

/// LUN A with sdb (C0P0, host 2) at `sdb` and sdc (C1P1, host 3) at `sdc`.
std::string lun_a(int sdb, int sdc, const std::string &alias = "vol01")
{
    return make_line(kWwidA,
                     {"/dev/sdb,2:0:0:1," + std::to_string(sdb) + ",", "", "",
                      "/dev/sdc,3:0:1:1," + std::to_string(sdc) + ","},
                     alias);
}

/// Sets the modification time of `path` to `seconds` (and `nanoseconds`).
void set_mtime(const std::string &path, time_t seconds, long nanoseconds = 0)
{
    timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

/// The note for kernel 6.1.0-9-amd64 with the records in `dir`, the boot
/// images in `dir`/boot and the preference file `conf`.
std::string note_of(const std::string &dir, const std::string &conf)
{
    char *text = nullptr;
    std::size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    if (out == nullptr)
        return "open_memstream failed";
    bool wrote = initramfs_stale_note(dir.c_str(), (dir + "/boot").c_str(), "6.1.0-9-amd64",
                                      conf.c_str(), out);
    std::fclose(out);
    std::string note(text, size);
    std::free(text);
    if (wrote == note.empty())
        note += "(the result disagrees with the output)";
    return note;
}

// Whether the overrides an image carries differ from the file's, and the
// command named for the builder that made the image last.
TEST(InitramfsNote, SaysWhenTheImageCarriesOtherOverrides)
{
    std::string pattern = std::filesystem::temp_directory_path() / "tald-note-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const std::string dir = pattern;
    const std::string conf = dir + "/tald.conf";
    const std::string tools = dir + "/6.1.0-9-amd64.initramfs-tools";
    const std::string dracut = dir + "/6.1.0-9-amd64.dracut";
    const std::string image = dir + "/boot/initrd.img-6.1.0-9-amd64";
    const std::string kNone = "-";  // no such file
    const std::string update =
        "The initramfs of kernel 6.1.0-9-amd64 carries an older copy of the overrides; to boot "
        "with these, run: update-initramfs -u -k 6.1.0-9-amd64\n";
    const std::string rebuild =
        "The initramfs of kernel 6.1.0-9-amd64 carries an older copy of the overrides; to boot "
        "with these, run: dracut -f --kver 6.1.0-9-amd64\n";
    const std::string lun_b = make_line(kWwidB, {"", "/dev/sdd,2:0:0:2,6,"}, "vol02");
    const struct {
        const char *name;
        std::string file, tools_record, dracut_record;  ///< kNone: absent
        std::string note;
    } cases[] = {
        {"no record: no image with multipath made", lun_a(7, 2), kNone, kNone, ""},
        {"the same overrides", lun_a(7, 2), lun_a(7, 2), kNone, ""},
        {"only defaults, names, aliases and order differ", lun_a(7, 3, "renamed") + lun_b,
         lun_b + lun_a(7, 0) + make_line(kWwidB + "0", {"/dev/sdx,4:0:0:3,1,"}, "new"), kNone, ""},
        {"an override set since", lun_a(7, 2), lun_a(1, 2), kNone, update},
        {"an override changed", lun_a(8, 2), lun_a(7, 2), kNone, update},
        {"an override reset", lun_a(1, 2), lun_a(7, 2), kNone, update},
        {"the file flushed", kNone, lun_a(7, 2), kNone, update},
        {"the image made before any file", lun_a(7, 2), "", kNone, update},
        {"no overrides either way, no file", kNone, "", kNone, ""},
        {"the override on another host", lun_a(7, 2),
         make_line(kWwidA, {"/dev/sdb,4:0:0:1,7,", "", "", "/dev/sdc,3:0:1:1,2,"}, "vol01"), kNone,
         update},
        {"a later slot of the same host, which no resolution reads", lun_a(7, 2),
         make_line(kWwidA, {"/dev/sdb,2:0:0:1,7,", "", "", "/dev/sdc,3:0:1:1,2,",
                            "/dev/sdq,2:0:0:9,8,"}, "vol01"),
         kNone, ""},
        {"dracut's record", lun_a(7, 2), kNone, lun_a(1, 2), rebuild},
        {"a file that cannot be read", "\x01", lun_a(1, 2), kNone, ""},
    };
    std::filesystem::create_directory(dir + "/boot");
    write_file(image, "the image, written after every record");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto &[path, text] : {std::pair{conf, c.file}, std::pair{tools, c.tools_record},
                                         std::pair{dracut, c.dracut_record}}) {
            std::filesystem::remove_all(path);
            if (text == "\x01")
                ASSERT_TRUE(std::filesystem::create_directory(path));
            else if (text != kNone)
                write_file(path, text);
        }
        EXPECT_EQ(note_of(dir, conf), c.note);
    }
    // Both builders recorded: the newer record names the command.
    std::filesystem::remove_all(conf);
    write_file(conf, lun_a(7, 2));
    write_file(dracut, lun_a(1, 2));
    write_file(tools, lun_a(1, 2));
    set_mtime(dracut, 1000);
    set_mtime(tools, 1500);
    set_mtime(image, 2000);
    EXPECT_EQ(note_of(dir, conf), update);
    std::filesystem::remove_all(dir);
}

// The record speaks for the image the host boots only when that image was
// written no earlier: the hook records what goes in before the image is
// packed, and a build that then fails, or writes its image elsewhere, leaves
// the host booting an image the record does not describe.
TEST(InitramfsNote, TheRecordCountsOnlyForAnImageWrittenSinceWhereTheHostBoots)
{
    std::string pattern = std::filesystem::temp_directory_path() / "tald-image-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const std::string dir = pattern;
    const std::string conf = dir + "/tald.conf";
    const std::string tools = dir + "/6.1.0-9-amd64.initramfs-tools";
    const std::string dracut = dir + "/6.1.0-9-amd64.dracut";
    const std::string boot = dir + "/boot";
    const std::string image = boot + "/initrd.img-6.1.0-9-amd64";
    const std::string stale =
        "The initramfs of kernel 6.1.0-9-amd64 carries an older copy of the overrides; to boot "
        "with these, run: update-initramfs -u -k 6.1.0-9-amd64\n";
    const std::string dracut_stale =
        "The initramfs of kernel 6.1.0-9-amd64 carries an older copy of the overrides; to boot "
        "with these, run: dracut -f --kver 6.1.0-9-amd64\n";
    enum Image { kNoImage, kFile, kDirectory, kOtherKernel };
    const struct {
        const char *name;
        std::string record;  ///< the newest record (initramfs-tools unless dracut)
        bool by_dracut;
        std::string pending;  ///< initramfs-tools' record of a build not yet in /boot
        Image image;
        time_t record_time, image_time;
        long image_nanoseconds;
        std::string note;
    } cases[] = {
        {"the image written after the record", lun_a(7, 2), false, "", kFile, 1000, 1010, 0,
         ""},
        {"the image written in the record's second (a file system of whole seconds)",
         lun_a(7, 2), false, "", kFile, 1000, 1000, 0, ""},
        {"the image older: a build that failed after the hook", lun_a(7, 2), false, "", kFile,
         1000, 999, 999999999, stale},
        {"the image older: a build that wrote its image elsewhere", lun_a(7, 2), true, "", kFile,
         2000, 1000, 0, dracut_stale},
        {"no image where the host boots", lun_a(7, 2), false, "", kNoImage, 1000, 1010, 0, stale},
        {"a directory where the image belongs", lun_a(7, 2), false, "", kDirectory, 1000, 1010,
         0, stale},
        {"only another kernel's image", lun_a(7, 2), true, "", kOtherKernel, 1000, 1010, 0,
         dracut_stale},
        {"the image older and no override either way", "", false, "", kFile, 1000, 900, 0,
         stale},
        {"a build's record never put in place: the one before still counts", lun_a(1, 2), false,
         lun_a(7, 2), kFile, 1000, 1010, 0, stale},
        {"a build's record never put in place, the one before current", lun_a(7, 2), false,
         lun_a(1, 2), kFile, 1000, 1010, 0, ""},
    };
    std::filesystem::create_directory(boot);
    write_file(conf, lun_a(7, 2));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        for (const std::string &path : {tools, dracut, tools + ".pending", image,
                                        boot + "/initrd.img-6.1.0-10-amd64"})
            std::filesystem::remove_all(path);
        const std::string &record = c.by_dracut ? dracut : tools;
        write_file(record, c.record);
        set_mtime(record, c.record_time);
        if (!c.pending.empty())
            write_file(tools + ".pending", c.pending);
        if (c.image == kFile || c.image == kOtherKernel) {
            const std::string path =
                c.image == kFile ? image : boot + "/initrd.img-6.1.0-10-amd64";
            write_file(path, "an image");
            set_mtime(path, c.image_time, c.image_nanoseconds);
        } else if (c.image == kDirectory) {
            std::filesystem::create_directory(image);
            set_mtime(image, c.image_time);
        }
        EXPECT_EQ(note_of(dir, conf), c.note);
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
