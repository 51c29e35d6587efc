#include "command/initramfs_note.hpp"

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
        char *text = nullptr;
        std::size_t size = 0;
        FILE *out = open_memstream(&text, &size);
        ASSERT_NE(out, nullptr);
        bool wrote = initramfs_stale_note(dir.c_str(), "6.1.0-9-amd64", conf.c_str(), out);
        std::fclose(out);
        EXPECT_EQ(std::string(text, size), c.note);
        EXPECT_EQ(wrote, !c.note.empty());
        std::free(text);
    }
    // Both builders recorded: the newer record names the command.
    std::filesystem::remove_all(conf);
    write_file(conf, lun_a(7, 2));
    write_file(dracut, lun_a(1, 2));
    write_file(tools, lun_a(1, 2));
    timespec older[2] = {{1000, 0}, {1000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, dracut.c_str(), older, 0), 0);
    char *text = nullptr;
    std::size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    initramfs_stale_note(dir.c_str(), "6.1.0-9-amd64", conf.c_str(), out);
    std::fclose(out);
    EXPECT_EQ(std::string(text, size), update);
    std::free(text);
    std::filesystem::remove_all(dir);
}

}  // namespace
