// What the store keeps of the file it last read: its bytes, its record
// lines, and for an indexed load the hash index of the lines by wwid.
#include "store/conf.hpp"
#include "store/conf_internal.hpp"
#include "store/conf_line.hpp"

#include <sysfs/dlist.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace conf_loaded {

LoadedFile loaded = {};

namespace {

/// The line being parsed: its bytes, split in place.
char parse_buffer[conf_line::kMaxLine + 1];

/// A hash of the bytes, eight at a time.
std::size_t hash_bytes(const char *text, std::size_t len)
{
    constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
    std::uint64_t h = len * kMultiplier;
    for (; len >= 8; text += 8, len -= 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, text, 8);
        h = (h ^ word) * kMultiplier;
        h ^= h >> 29;
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, text, len);
    h = (h ^ tail) * kMultiplier;
    return static_cast<std::size_t>(h ^ (h >> 32));
}

const char *wwid_text(std::size_t line) { return loaded.content.data + loaded.lines[line].offset; }

/// The index slot of the encoded wwid `text`: where its line is, or the
/// free slot it would take.
std::size_t slot_of(const char *text, std::size_t len)
{
    std::size_t mask = loaded.index_capacity - 1;
    std::size_t i = hash_bytes(text, len) & mask;
    for (; loaded.index[i] != 0; i = (i + 1) & mask) {
        std::size_t line = loaded.index[i] - 1;
        if (loaded.lines[line].wwid_len == len && std::memcmp(wwid_text(line), text, len) == 0)
            break;
    }
    return i;
}

}  // namespace

void forget()
{
    conf_disk::release(&loaded.content);
    std::free(loaded.lines);
    std::free(loaded.index);
    std::free(loaded.memo);
    loaded = LoadedFile{};
}

void mark_unread(const char *why)
{
    loaded.unread = true;
    copy_field(loaded.unread_why, sizeof loaded.unread_why, why);
}

void mark_unread_memory()
{
    mark_unread(std::strerror(ENOMEM));
    loaded.unread_memory = true;
}

bool note_line(const LineSpan &span)
{
    if (loaded.count == loaded.capacity) {
        std::size_t grown = loaded.capacity == 0 ? 256 : loaded.capacity * 2;
        auto *bigger =
            static_cast<LineSpan *>(std::realloc(loaded.lines, grown * sizeof(LineSpan)));
        if (bigger == nullptr)
            return false;
        loaded.lines = bigger;
        loaded.capacity = grown;
    }
    loaded.lines[loaded.count++] = span;
    return true;
}

bool build_index()
{
    std::size_t capacity = 16;
    while (capacity < loaded.count * 2)
        capacity *= 2;
    loaded.index = static_cast<std::uint32_t *>(std::calloc(capacity, sizeof *loaded.index));
    if (loaded.index == nullptr || loaded.count >= UINT32_MAX)
        return false;
    loaded.index_capacity = capacity;
    for (std::size_t line = 0; line < loaded.count; ++line) {
        std::size_t i = slot_of(wwid_text(line), loaded.lines[line].wwid_len);
        // A second line of a LUN is for the whole load to skip and trace.
        if (loaded.index[i] != 0)
            return false;
        loaded.index[i] = static_cast<std::uint32_t>(line + 1);
    }
    return true;
}

long find(const char *wwid)
{
    if (loaded.index == nullptr)
        return -1;
    char text[conf_line::encoded_size(kWwidSize)];
    std::size_t len = conf_line::encode(wwid, kWwidSize, text);
    std::uint32_t at = loaded.index[slot_of(text, len)];
    return at == 0 ? -1 : static_cast<long>(at) - 1;
}

int parse_line(std::size_t i, pathinfo *rec)
{
    std::memset(rec, 0, sizeof *rec);
    const LineSpan &span = loaded.lines[i];
    std::memcpy(parse_buffer, loaded.content.data + span.offset, span.len);
    parse_buffer[span.len] = '\0';
    return conf_line::parse(parse_buffer, rec);
}

void materialize()
{
    if (!loaded.indexed || conf == nullptr)
        return;
    loaded.indexed = false;
    // The records added since the load, front first, leave the list for a
    // moment; the file's records go in below them as a whole load puts them.
    std::size_t added = 0;
    auto **front = static_cast<pathinfo **>(std::calloc(conf->count + 1, sizeof(pathinfo *)));
    while (conf->count > 0) {
        auto *rec = static_cast<pathinfo *>(dlist_shift(conf));
        if (rec != loaded.wanted && front != nullptr)
            front[added++] = rec;
    }
    // What could not be kept or read into a record would be lost by a save:
    // the file is then never rewritten, as after a whole load that ran out.
    if (front == nullptr)
        mark_unread_memory();
    for (std::size_t i = 0; i < loaded.count; ++i) {
        pathinfo *rec = loaded.wanted != nullptr && i == loaded.wanted_line ? loaded.wanted : nullptr;
        if (rec == nullptr && (rec = conf_records::new_record()) != nullptr)
            parse_line(i, rec);
        if (rec != nullptr)
            add_confNode(rec);
        else
            mark_unread_memory();
    }
    // Put back as they stood: dlist_insert, not add_confNode, which would
    // clear the probed record's lunref.
    while (added > 0) {
        dlist_start(conf);
        dlist_insert(conf, front[--added], 1);
    }
    std::free(front);
    loaded.wanted = nullptr;
}

}  // namespace conf_loaded
