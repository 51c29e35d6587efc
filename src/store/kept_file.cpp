// The kept file (store/kept_file.hpp): its lines, their index by wwid, and
// the answers it gave.
#include "store/kept_file.hpp"

#include "base/text.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>

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

}  // namespace

void kept_forget(LoadedFile *loaded)
{
    disk_release(&loaded->content);
    loaded->lines.free();
    hash_free(&loaded->index);
    loaded->answers.free();
    hash_free(&loaded->answer_index);
    *loaded = LoadedFile{};
}

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

bool kept_index(LoadedFile *loaded, const char *wwid)
{
    if (!note_canonical_lines(loaded))
        return false;
    if (!build_index(loaded)) {
        loaded->lines.clear();
        hash_free(&loaded->index);
        return false;
    }
    loaded->indexed = true;
    copy_field(loaded->served, sizeof loaded->served, wwid);
    return true;
}

long kept_find(const LoadedFile &loaded, const char *wwid)
{
    char text[line_encoded_size(kWwidSize)];
    std::size_t len = line_encode(wwid, kWwidSize, text);
    return hash_find(loaded.index, hash_bytes(text, len),
                     [&](std::size_t n) { return holds_wwid(loaded, n, text, len); });
}

int kept_parse_line(const LoadedFile &loaded, std::size_t i, char *scratch, pathinfo *rec)
{
    std::memset(rec, 0, sizeof *rec);
    const LineSpan &span = loaded.lines[i];
    std::memcpy(scratch, loaded.content.data + span.offset, span.len);
    scratch[span.len] = '\0';
    return line_parse(scratch, rec);
}

bool kept_line_is(const LoadedFile &loaded, std::size_t i, const char *text, std::size_t len)
{
    const LineSpan &span = loaded.lines[i];
    return span.len + 1 == len &&
           std::memcmp(loaded.content.data + span.offset, text, span.len) == 0;
}

// --- the answers it gave ---------------------------------------------------------

namespace {

/// What an answer is found by.
struct AnswerKey {
    std::uint32_t line;
    int cp;
    int host;
};

std::size_t key_hash(const AnswerKey &key) { return hash_bytes(&key, sizeof key); }

AnswerKey key_of(const PeekAnswer &a) { return {a.line, a.cp, a.host}; }

bool same_key(const AnswerKey &a, const AnswerKey &b)
{
    return a.line == b.line && a.cp == b.cp && a.host == b.host;
}

/// Whether answer `a` holds for `probed` on its line: everything of the
/// probed record that conf_getPrio reads is as it was.
bool answer_holds(const PeekAnswer &a, const pathinfo *probed)
{
    return a.channel == probed->channel && a.id == probed->id && a.lun == probed->lun &&
           a.lunref == probed->lunref && std::strcmp(a.dev, probed->dev) == 0 &&
           std::strcmp(a.text_name, probed->text_name) == 0;
}

/// The slot of the answer with `key`, or the free one it would take.
std::uint32_t *answer_slot(const LoadedFile &loaded, const AnswerKey &key)
{
    return hash_slot(loaded.answer_index, key_hash(key), [&](std::size_t n) {
        return same_key(key_of(loaded.answers[n]), key);
    });
}

/// Makes room for one answer more; false without memory.
bool answer_room(LoadedFile *loaded)
{
    if (!loaded->answers.reserve(loaded->answers.size() + 1, 32))
        return false;
    const LoadedFile &file = *loaded;
    return hash_reserve(&loaded->answer_index, loaded->answers.size() + 1,
                        [&file](std::size_t n) { return key_hash(key_of(file.answers[n])); });
}

}  // namespace

void kept_remember(LoadedFile *loaded, std::size_t line, const pathinfo *probed, int prio)
{
    if (std::strlen(probed->dev) >= sizeof PeekAnswer::dev)
        return;
    AnswerKey key = {static_cast<std::uint32_t>(line), probed->cp, probed->host};
    std::uint32_t *slot = loaded->answer_index.capacity != 0 ? answer_slot(*loaded, key) : nullptr;
    std::size_t n = 0;
    if (slot != nullptr && *slot != 0) {
        n = *slot - 1;
    } else {
        if (!answer_room(loaded))
            return;
        n = loaded->answers.count++;
        hash_put(&loaded->answer_index, answer_slot(*loaded, key), static_cast<std::uint32_t>(n));
    }
    PeekAnswer &a = loaded->answers[n];
    a = {key.line, probed->cp, probed->host, probed->channel, probed->id, probed->lun,
         probed->lunref, prio, {}, {}};
    copy_field(a.dev, sizeof a.dev, probed->dev);
    copy_field(a.text_name, sizeof a.text_name, probed->text_name);
}

int kept_answer(const LoadedFile &loaded, std::size_t line, const pathinfo *probed)
{
    AnswerKey key = {static_cast<std::uint32_t>(line), probed->cp, probed->host};
    long n = hash_find(loaded.answer_index, key_hash(key), [&](std::size_t i) {
        return same_key(key_of(loaded.answers[i]), key);
    });
    return n >= 0 && answer_holds(loaded.answers[n], probed) ? loaded.answers[n].prio : 0;
}
