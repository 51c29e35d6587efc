// The scan of a content's lines as a run reads them (store/line.hpp): where
// each line ends, what kind it is, the record it holds, and whether its LUN
// came earlier.
#include "store/line.hpp"

#include <cstdint>
#include <cstring>

LineKind line_next(const char *data, std::size_t size, std::size_t *pos, LineBounds *line)
{
    if (*pos >= size)
        return LineKind::kNone;
    const std::size_t start = *pos;
    const char *begin = data + start;
    const auto *lf = static_cast<const char *>(std::memchr(begin, '\n', size - start));
    std::size_t len = lf != nullptr ? static_cast<std::size_t>(lf - begin) : size - start;
    const auto *cr = static_cast<const char *>(std::memchr(begin, '\r', len));
    if (cr != nullptr)
        len = static_cast<std::size_t>(cr - begin);
    const bool ended = start + len < size;
    *line = {start, len, ended && data[start + len] == '\n'};
    *pos = start + len + (ended ? 1 : 0);
    if (len == 0)
        return LineKind::kEmpty;
    if (len > kMaxLine)
        return LineKind::kTooLong;
    if (std::memchr(begin, '\0', len) != nullptr)
        return LineKind::kHoldsNul;
    return LineKind::kText;
}


namespace {

const char *seen_wwid(const Scanner &s, std::size_t n) { return s.wwids.data() + s.wwid_at[n]; }

/// Makes room for one more LUN of `len` bytes; false without memory.
bool room_for(Scanner *s, std::size_t len)
{
    if (!s->wwids.reserve(s->wwids.size() + len + 1, 4096, UINT32_MAX) ||
        !s->wwid_at.reserve(s->wwid_at.size() + 1, 256) ||
        !s->wwid_line.reserve(s->wwid_line.size() + 1, 256))
        return false;
    const Scanner &scanner = *s;
    return hash_reserve(&s->seen, s->wwid_at.size() + 1, [&scanner](std::size_t n) {
        const char *wwid = seen_wwid(scanner, n);
        return hash_bytes(wwid, std::strlen(wwid));
    });
}

}  // namespace

Scanner::~Scanner()
{
    wwids.free();
    wwid_at.free();
    wwid_line.free();
    hash_free(&seen);
}

bool scan_next(Scanner *scanner, ScanPiece *piece)
{
    LineBounds line{};
    LineKind kind = LineKind::kNone;
    if (scanner->data != nullptr)
        kind = line_next(scanner->data, scanner->size, &scanner->pos, &line);
    if (kind == LineKind::kNone)
        return false;
    *piece = {kind, line, scanner->number, false, 0, false};
    if (line.lf_ended)
        ++scanner->number;
    if (kind == LineKind::kText) {
        std::memcpy(scanner->text, scanner->data + line.offset, line.len);
        scanner->text[line.len] = '\0';
    }
    return true;
}

void scan_record(Scanner *scanner, ScanPiece *piece, pathinfo *rec, bool rec_clear)
{
    if (!rec_clear)
        std::memset(rec, 0, sizeof *rec);
    piece->complete = line_parse(scanner->text, rec) == 0;
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
    std::size_t n = scanner->wwid_at.size();
    scanner->wwid_at.append(static_cast<std::uint32_t>(scanner->wwids.size()));
    scanner->wwid_line.append(piece->number);
    scanner->wwids.append_all(rec->wwid, len + 1);
    hash_put(&scanner->seen, hash_slot(scanner->seen, hash, is_key), static_cast<std::uint32_t>(n));
}
