// What a store keeps of the file it last read: its bytes, its record lines,
// and for an indexed load the hash index of the lines by wwid; the indexed
// load itself, its turn into a whole one, and the save that copies the kept
// lines.
#include "base/grow_array.hpp"
#include "base/text.hpp"
#include "store/internal.hpp"
#include "trace/trace.hpp"

#include <sysfs/dlist.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

/// The level of the traces of the lines a save writes.
constexpr int kLineTraceLevel = 7;

const char *wwid_text(const LoadedFile &loaded, std::size_t line)
{
    return loaded.content.data + loaded.lines[line].offset;
}

/// Whether line `line` holds the encoded wwid `text`.
bool holds_wwid(const LoadedFile &loaded, std::size_t line, const char *text, std::size_t len)
{
    return loaded.lines[line].wwid_len == len && std::memcmp(wwid_text(loaded, line), text, len) == 0;
}

/// Builds the index of the noted lines by wwid; false without memory or when
/// two lines hold the same wwid.
bool build_index(LoadedFile *loaded)
{
    const LoadedFile &file = *loaded;
    auto hash_of = [&file](std::size_t line) {
        return hash_bytes(wwid_text(file, line), file.lines[line].wwid_len);
    };
    if (!hash_reserve(&loaded->index, loaded->lines.size(), hash_of))
        return false;
    for (std::size_t line = 0; line < loaded->lines.size(); ++line) {
        const char *text = wwid_text(file, line);
        std::size_t len = file.lines[line].wwid_len;
        std::uint32_t *slot = hash_slot(loaded->index, hash_bytes(text, len), [&](std::size_t n) {
            return holds_wwid(file, n, text, len);
        });
        // A second line of a LUN is for the whole load to skip and trace.
        if (*slot != 0)
            return false;
        hash_put(&loaded->index, slot, static_cast<std::uint32_t>(line));
    }
    return true;
}

/// Notes every line of a file in the writer's form with its wwid; false
/// (nothing noted) at the first line that is not. Lines are found by their
/// line feeds alone: a carriage return or a NUL byte, where line_next would
/// cut or refuse a line, is a control byte that line_canonical refuses anyway.
bool note_canonical_lines(LoadedFile *loaded)
{
    const char *data = loaded->content.data;
    const std::size_t size = loaded->content.size;
    bool plain = true;
    for (std::size_t pos = 0; plain && pos < size;) {
        const char *begin = data + pos;
        const auto *lf = static_cast<const char *>(std::memchr(begin, '\n', size - pos));
        std::size_t len = lf != nullptr ? static_cast<std::size_t>(lf - begin) : 0;
        LineShape shape{};
        plain = lf != nullptr && len > 0 && len <= kMaxLine &&
                line_canonical(begin, len, &shape) &&
                kept_note_line(loaded, {pos, static_cast<std::uint32_t>(len),
                                        static_cast<std::uint16_t>(shape.wwid_len),
                                        shape.bad_address});
        pos += len + 1;
    }
    if (!plain)
        loaded->lines.clear();
    return plain;
}

/// After an indexed load, for a save whose lines nobody sees: whether the
/// list holds no record but the loaded one of its LUN, unchanged, so that
/// the file would get its own lines again (then nothing need be built).
bool unchanged_since_load(Store *store)
{
    StoreInside *inside = store_inside(store);
    const LoadedFile &loaded = inside->loaded;
    if (log_level() >= kLineTraceLevel)
        return false;
    dlist_start(store->luns);
    for (pathinfo *rec = nullptr; store_list_next(store, &rec) == kWalkRecord;) {
        if (rec->wwid[0] != '\0' && rec != loaded.wanted)
            return false;
    }
    if (loaded.wanted == nullptr)
        return true;
    std::size_t len = line_format(loaded.wanted, inside->scratch);
    return kept_line_is(loaded, loaded.wanted_line, inside->scratch, len);
}

}  // namespace

void kept_mark_unread(LoadedFile *loaded, const char *why)
{
    loaded->unread = true;
    copy_field(loaded->unread_why, sizeof loaded->unread_why, why);
}

void kept_mark_unread_memory(LoadedFile *loaded)
{
    kept_mark_unread(loaded, std::strerror(ENOMEM));
    loaded->unread_memory = true;
}

bool kept_note_line(LoadedFile *loaded, const LineSpan &span)
{
    return loaded->lines.append(span, 256);
}

long kept_find(const LoadedFile &loaded, const char *wwid)
{
    char text[line_encoded_size(kWwidSize)];
    std::size_t len = line_encode(wwid, kWwidSize, text);
    return hash_find(loaded.index, hash_bytes(text, len),
                     [&](std::size_t n) { return holds_wwid(loaded, n, text, len); });
}

int kept_parse_line(Store *store, std::size_t i, pathinfo *rec)
{
    StoreInside *inside = store_inside(store);
    std::memset(rec, 0, sizeof *rec);
    const LineSpan &span = inside->loaded.lines[i];
    std::memcpy(inside->scratch, inside->loaded.content.data + span.offset, span.len);
    inside->scratch[span.len] = '\0';
    return line_parse(inside->scratch, rec);
}

bool kept_line_is(const LoadedFile &loaded, std::size_t i, const char *text, std::size_t len)
{
    const LineSpan &span = loaded.lines[i];
    return span.len + 1 == len &&
           std::memcmp(loaded.content.data + span.offset, text, span.len) == 0;
}

bool kept_load_indexed(Store *store, pathinfo *rec)
{
    StoreInside *inside = store_inside(store);
    LoadedFile &loaded = inside->loaded;
    if (!note_canonical_lines(&loaded))
        return false;
    if (!build_index(&loaded)) {
        loaded.lines.clear();
        hash_free(&loaded.index);
        return false;
    }
    loaded.indexed = true;
    copy_field(loaded.served, sizeof loaded.served, inside->serve);
    long at = kept_find(loaded, inside->serve);
    if (at < 0) {
        std::free(rec);
        return true;
    }
    kept_parse_line(store, static_cast<std::size_t>(at), rec);
    add_confNode(store, rec);
    loaded.wanted = rec;
    loaded.wanted_line = static_cast<std::size_t>(at);
    return true;
}

void kept_make_whole(Store *store)
{
    LoadedFile &loaded = store_loaded_file(store);
    dlist *luns = store->luns;
    if (!loaded.indexed || luns == nullptr)
        return;
    loaded.indexed = false;
    // The records added since the load, front first, leave the list for a
    // moment; the file's records go in below them as a whole load puts them.
    std::size_t added = 0;
    auto **front = static_cast<pathinfo **>(std::calloc(luns->count + 1, sizeof(pathinfo *)));
    while (luns->count > 0) {
        auto *rec = static_cast<pathinfo *>(dlist_shift(luns));
        if (rec != loaded.wanted && front != nullptr)
            front[added++] = rec;
    }
    // What could not be kept or read into a record would be lost by a save:
    // the file is then never rewritten, as after a whole load that ran out.
    if (front == nullptr)
        kept_mark_unread_memory(&loaded);
    for (std::size_t i = 0; i < loaded.lines.size(); ++i) {
        pathinfo *rec = loaded.wanted != nullptr && i == loaded.wanted_line ? loaded.wanted : nullptr;
        if (rec == nullptr && (rec = store_new_record(store)) != nullptr)
            kept_parse_line(store, i, rec);
        if (rec != nullptr)
            add_confNode(store, rec);
        else
            kept_mark_unread_memory(&loaded);
    }
    // Put back as they stood: dlist_insert, not add_confNode, which would
    // clear a record's lunref.
    while (added > 0) {
        dlist_start(luns);
        dlist_insert(luns, front[--added], 1);
    }
    std::free(front);
    loaded.wanted = nullptr;
}

bool kept_build_spliced(Store *store, GrowArray<char> *out, bool *same)
{
    const LoadedFile &loaded = store_loaded_file(store);
    if (*same && unchanged_since_load(store))
        return true;
    dlist_start(store->luns);
    for (pathinfo *rec = nullptr; store_next_record(store, &rec);) {
        if (rec->wwid[0] == '\0' || rec == loaded.wanted)
            continue;
        if (store_put_record(loaded, out, rec) == 0)
            return false;
        *same = false;
    }
    if (!store_reserve_text(loaded, out, loaded.content.size + kMaxLine))
        return store_save_no_memory();
    for (std::size_t i = loaded.lines.size(); i-- > 0;) {
        const LineSpan &span = loaded.lines[i];
        if (loaded.wanted != nullptr && i == loaded.wanted_line) {
            std::size_t len = store_put_record(loaded, out, loaded.wanted);
            *same = *same && kept_line_is(loaded, i, out->items + out->count - len, len);
            continue;
        }
        store_put_text(out, loaded.content.data + span.offset, span.len);
    }
    return true;
}
