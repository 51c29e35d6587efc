// The steady answer: what conf_getPrio would give a probed path when it would
// change nothing, from the file a store kept, while that file is unchanged on
// disk. Each answer is remembered by line, port and host: the same path,
// probed the same, on the same unchanged line gets the same answer, which
// then costs neither a parse nor a format.
#include "store/conf_peek.hpp"

#include "base/text.hpp"
#include "store/conf_index.hpp"
#include "store/conf_resolve.hpp"

#include <cstdlib>
#include <cstring>

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
    if (loaded->answer_count == loaded->answer_capacity) {
        std::size_t grown = loaded->answer_capacity == 0 ? 32 : loaded->answer_capacity * 2;
        auto *bigger = static_cast<PeekAnswer *>(
            std::realloc(loaded->answers, grown * sizeof(PeekAnswer)));
        if (bigger == nullptr)
            return false;
        loaded->answers = bigger;
        loaded->answer_capacity = grown;
    }
    const LoadedFile &file = *loaded;
    return hash_reserve(&loaded->answer_index, loaded->answer_count + 1,
                        [&file](std::size_t n) { return key_hash(key_of(file.answers[n])); });
}

/// Remembers the answer; without memory (or for a long device name) it is
/// only not remembered.
void remember(LoadedFile *loaded, std::size_t line, const pathinfo *probed, int prio)
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
        n = loaded->answer_count++;
        hash_put(&loaded->answer_index, answer_slot(*loaded, key), static_cast<std::uint32_t>(n));
    }
    PeekAnswer &a = loaded->answers[n];
    a = {key.line, probed->cp, probed->host, probed->channel, probed->id, probed->lun,
         probed->lunref, prio, {}, {}};
    copy_field(a.dev, sizeof a.dev, probed->dev);
    copy_field(a.text_name, sizeof a.text_name, probed->text_name);
}

/// The answer remembered for `probed` on `line`, or 0.
int remembered(const LoadedFile &loaded, std::size_t line, const pathinfo *probed)
{
    AnswerKey key = {static_cast<std::uint32_t>(line), probed->cp, probed->host};
    long n = hash_find(loaded.answer_index, key_hash(key), [&](std::size_t i) {
        return same_key(key_of(loaded.answers[i]), key);
    });
    return n >= 0 && answer_holds(loaded.answers[n], probed) ? loaded.answers[n].prio : 0;
}

}  // namespace

int conf_peek(conf_store *store, const pathinfo *probed)
{
    LoadedFile &loaded = store->loaded;
    if (!loaded.indexed || !loaded.canonical || !loaded.current || loaded.unread ||
        std::strcmp(loaded.path, store->file) != 0)
        return 0;
    if (!conf_disk::unchanged(loaded.path, loaded.content)) {
        loaded.current = false;
        return 0;
    }
    long at = conf_loaded::find(loaded, probed->wwid);
    if (at < 0)
        return 0;
    auto line = static_cast<std::size_t>(at);
    if (int prio = remembered(loaded, line, probed); prio > 0)
        return prio;
    const LineSpan &span = loaded.lines[line];
    pathinfo *rec = &store->peek_record;
    conf_loaded::parse_line(store, line, rec);
    int p = conf_resolve::merge_known(rec, probed);
    std::size_t len = conf_line::format(rec, store->scratch);
    bool same = len == span.len + 1 &&
                std::memcmp(store->scratch, loaded.content.data + span.offset, span.len) == 0;
    if (!same)
        return 0;
    remember(&loaded, line, probed, p);
    return p;
}
