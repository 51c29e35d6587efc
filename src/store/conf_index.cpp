// What a store keeps of the file it last read: its bytes, its record lines,
// and for an indexed load the hash index of the lines by wwid.
#include "store/conf_index.hpp"

#include "store/conf_line.hpp"


#include <cstdlib>
#include <cstring>

namespace conf_loaded {

namespace {

const char *wwid_text(const LoadedFile &loaded, std::size_t line)
{
    return loaded.content.data + loaded.lines[line].offset;
}

/// Whether line `line` holds the encoded wwid `text`.
bool holds_wwid(const LoadedFile &loaded, std::size_t line, const char *text, std::size_t len)
{
    return loaded.lines[line].wwid_len == len && std::memcmp(wwid_text(loaded, line), text, len) == 0;
}

}  // namespace

bool note_line(LoadedFile *loaded, const LineSpan &span)
{
    if (loaded->count == loaded->capacity) {
        std::size_t grown = loaded->capacity == 0 ? 256 : loaded->capacity * 2;
        auto *bigger =
            static_cast<LineSpan *>(std::realloc(loaded->lines, grown * sizeof(LineSpan)));
        if (bigger == nullptr)
            return false;
        loaded->lines = bigger;
        loaded->capacity = grown;
    }
    loaded->lines[loaded->count++] = span;
    return true;
}

bool build_index(LoadedFile *loaded)
{
    const LoadedFile &file = *loaded;
    auto hash_of = [&file](std::size_t line) {
        return hash_bytes(wwid_text(file, line), file.lines[line].wwid_len);
    };
    if (!hash_reserve(&loaded->index, loaded->count, hash_of))
        return false;
    for (std::size_t line = 0; line < loaded->count; ++line) {
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

long find(const LoadedFile &loaded, const char *wwid)
{
    char text[conf_line::encoded_size(kWwidSize)];
    std::size_t len = conf_line::encode(wwid, kWwidSize, text);
    return hash_find(loaded.index, hash_bytes(text, len),
                     [&](std::size_t n) { return holds_wwid(loaded, n, text, len); });
}

int parse_line(conf_store *store, std::size_t i, pathinfo *rec)
{
    std::memset(rec, 0, sizeof *rec);
    const LineSpan &span = store->loaded.lines[i];
    std::memcpy(store->scratch, store->loaded.content.data + span.offset, span.len);
    store->scratch[span.len] = '\0';
    return conf_line::parse(store->scratch, rec);
}

}  // namespace conf_loaded
