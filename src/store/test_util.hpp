// Helpers shared by the store's unit tests: a fresh directory per test, file
// contents, the worked-example record and probed records.
#pragma once

#include "base/test_records.hpp"
#include "base/text.hpp"
#include "store/file.hpp"
#include "store/records.hpp"
#include "store/resolve.hpp"
#include "trace/trace.hpp"

#include <sysfs/dlist.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace conf_test {

inline const std::string kExampleWwid = "360a1b2c3d4e5f60718293a4b5c6d7e8f";
inline const std::string kFreeEntry = "x,0:0:0:0,0,";
inline const std::string kExampleLine =
    "360a1b2c3d4e5f60718293a4b5c6d7e8f,/dev/sdb,2:0:0:1,8,/dev/sdd,3:0:0:1,4,/dev/sdc,2:0:1:1,1,"
    "/dev/sde,3:0:1:1,2,x,0:0:0:0,0,x,0:0:0:0,0,x,0:0:0:0,0,x,0:0:0:0,0,x,0:0:0:0,0,x,0:0:0:0,0,"
    "x,0:0:0:0,0,x,0:0:0:0,0,x,0:0:0:0,0,x,0:0:0:0,0,x,0:0:0:0,0,x,0:0:0:0,0,vol_db01\n";

/// A line of the file: `entries` are the 16 entries in file order (slot by
/// slot, port by port), free ones filled in.
inline std::string make_line(const std::string &wwid, std::vector<std::string> entries,
                             const std::string &alias)
{
    entries.resize(16, kFreeEntry);
    std::string line = wwid + ",";
    for (const std::string &e : entries)
        line += e.empty() ? kFreeEntry : e;
    return line + alias + "\n";
}

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void write_file(const std::string &path, const std::string &data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

inline mode_t file_mode(const std::string &path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

inline bool exists(const std::string &path) { return std::filesystem::exists(path); }

/// The record of the worked example, without the "x" of its free slots.
inline pathinfo *example_record()
{
    pathinfo *rec = new_record();
    copy_field(rec->wwid, kWwidSize, kExampleWwid.c_str());
    copy_field(rec->text_name, kTextNameSize, "vol_db01");
    set_slot(rec, 0, 0, "/dev/sdb", 2, 0, 0, 1, 8);
    set_slot(rec, 1, 0, "/dev/sdd", 3, 0, 0, 1, 4);
    set_slot(rec, 2, 0, "/dev/sdc", 2, 0, 1, 1, 1);
    set_slot(rec, 3, 0, "/dev/sde", 3, 0, 1, 1, 2);
    return rec;
}

struct Probe {
    std::string wwid = kExampleWwid;
    std::string alias = "vol_db01";
    std::string dev = "/dev/sdb";
    int host = 2, channel = 0, id = 0, lun = 1, cp = 0, lunref = 1;
};

/// A record as the probe fills it: identity, the path's own fields, and the
/// path entered into slot 0 of its row with prio 0.
inline pathinfo *probed_record(const Probe &p)
{
    pathinfo *rec = new_record();
    copy_field(rec->wwid, kWwidSize, p.wwid.c_str());
    copy_field(rec->text_name, kTextNameSize, p.alias.c_str());
    copy_field(rec->dev, kDevSize, p.dev.c_str());
    rec->host = p.host;
    rec->channel = p.channel;
    rec->id = p.id;
    rec->lun = p.lun;
    rec->cp = p.cp;
    rec->lunref = p.lunref;
    addDevToPathInfo(rec, rec->dev, p.host, p.channel, p.id, p.lun, p.cp);
    return rec;
}

/// Frees a probed record, as the operations do: the store keeps a copy.
inline void release(const Store *, pathinfo *rec) { std::free(rec); }

/// The records of the list in walk order.
inline std::vector<pathinfo *> records(const Store *store)
{
    std::vector<pathinfo *> out;
    if (store->luns == nullptr)
        return out;
    for (DL_node *n = store->luns->head->next; n != nullptr && n != store->luns->head; n = n->next)
        out.push_back(static_cast<pathinfo *>(n->data));
    return out;
}

/// True when `rec` itself is a record of the store's list.
inline bool list_holds(const Store *store, const pathinfo *rec)
{
    for (const pathinfo *held : records(store))
        if (held == rec)
            return true;
    return false;
}

/// True when the list holds a record of `probed`'s LUN that is the store's
/// own, not `probed` itself.
inline bool holds_copy_of(const Store *store, const pathinfo *probed)
{
    for (const pathinfo *held : records(store))
        if (held != probed && std::strcmp(held->wwid, probed->wwid) == 0)
            return true;
    return false;
}

/// Each test starts as a fresh process: a store of its own for a file in an
/// empty directory of its own, verbosity 0.
class StoreTest : public testing::Test {
protected:
    void SetUp() override
    {
        saved_verbosity_ = log_verbosity;
        log_verbosity = 0;
        std::string tmpl = (std::filesystem::temp_directory_path() / "conf_test.XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        file_ = dir_ + "/tald.conf";
        store_ = new Store(file_.c_str());
    }
    void TearDown() override
    {
        delete store_;
        log_verbosity = saved_verbosity_;
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    void new_list() { store_->luns = dlist_new(sizeof(pathinfo)); }
    /// Points the store's saves at another file.
    void use_file(const std::string &path) { copy_field(store_->file, sizeof store_->file, path.c_str()); }
    /// Loads `content` as the preference file; returns load_config's result.
    int load(const std::string &content)
    {
        write_file(file_, content);
        return load_config(store_, file_.c_str());
    }

    std::string dir_;
    std::string file_;
    Store *store_ = nullptr;
    int saved_verbosity_ = 0;
};

}  // namespace conf_test
