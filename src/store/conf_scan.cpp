#include "store/conf_scan.hpp"

#include <cstdlib>
#include <cstring>

namespace conf_scan {

namespace {

const char *seen_wwid(const Scanner &s, std::size_t n) { return s.wwids + s.wwid_at[n]; }

/// Makes room for one more LUN of `len` bytes; false without memory.
bool room_for(Scanner *s, std::size_t len)
{
    if (s->wwids_capacity - s->wwids_used < len + 1) {
        std::size_t grown = s->wwids_capacity == 0 ? 4096 : s->wwids_capacity * 2;
        while (grown - s->wwids_used < len + 1)
            grown *= 2;
        if (grown > UINT32_MAX)
            return false;
        auto *bigger = static_cast<char *>(std::realloc(s->wwids, grown));
        if (bigger == nullptr)
            return false;
        s->wwids = bigger;
        s->wwids_capacity = grown;
    }
    if (s->seen_count == s->seen_capacity) {
        std::size_t grown = s->seen_capacity == 0 ? 256 : s->seen_capacity * 2;
        auto *at = static_cast<std::uint32_t *>(std::realloc(s->wwid_at, grown * sizeof(std::uint32_t)));
        if (at == nullptr)
            return false;
        s->wwid_at = at;
        auto *line = static_cast<std::size_t *>(std::realloc(s->wwid_line, grown * sizeof(std::size_t)));
        if (line == nullptr)
            return false;
        s->wwid_line = line;
        s->seen_capacity = grown;
    }
    const Scanner &scanner = *s;
    return hash_reserve(&s->seen, s->seen_count + 1, [&scanner](std::size_t n) {
        const char *wwid = seen_wwid(scanner, n);
        return hash_bytes(wwid, std::strlen(wwid));
    });
}

}  // namespace

Scanner::~Scanner()
{
    std::free(wwids);
    std::free(wwid_at);
    std::free(wwid_line);
    hash_free(&seen);
}

bool scan_next(Scanner *scanner, Piece *piece)
{
    conf_line::Line line{};
    conf_line::LineKind kind = conf_line::kNoLine;
    if (scanner->data != nullptr)
        kind = conf_line::next_line(scanner->data, scanner->size, &scanner->pos, &line);
    if (kind == conf_line::kNoLine)
        return false;
    *piece = {kind, line, scanner->number, false, 0, false};
    if (line.lf_ended)
        ++scanner->number;
    if (kind == conf_line::kText) {
        std::memcpy(scanner->text, scanner->data + line.offset, line.len);
        scanner->text[line.len] = '\0';
    }
    return true;
}

void scan_record(Scanner *scanner, Piece *piece, pathinfo *rec, bool rec_clear)
{
    if (!rec_clear)
        std::memset(rec, 0, sizeof *rec);
    piece->complete = conf_line::parse(scanner->text, rec) == 0;
    if (rec->wwid[0] == '\0')
        return;
    std::size_t len = std::strlen(rec->wwid);
    std::size_t hash = hash_bytes(rec->wwid, len);
    const Scanner &s = *scanner;
    auto is_key = [&](std::size_t n) { return std::strcmp(seen_wwid(s, n), rec->wwid) == 0; };
    long earlier = hash_find(scanner->seen, hash, is_key);
    if (earlier >= 0) {
        piece->repeat_of = scanner->wwid_line[earlier];
        return;
    }
    // Once a LUN was not remembered, no later line can be told a repeat.
    if (scanner->forgetful || !room_for(scanner, len)) {
        scanner->forgetful = true;
        piece->unsure = true;
        return;
    }
    std::size_t n = scanner->seen_count++;
    scanner->wwid_at[n] = static_cast<std::uint32_t>(scanner->wwids_used);
    scanner->wwid_line[n] = piece->number;
    std::memcpy(scanner->wwids + scanner->wwids_used, rec->wwid, len + 1);
    scanner->wwids_used += len + 1;
    hash_put(&scanner->seen, hash_slot(scanner->seen, hash, is_key), static_cast<std::uint32_t>(n));
}

}  // namespace conf_scan
