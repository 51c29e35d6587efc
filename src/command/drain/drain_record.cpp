#include "command/drain/drain_record.hpp"

#include "command/listing/conf_check.hpp"
#include "state/state_paths.hpp"
#include "store/line.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *kHeader = "drained C%d\n";
constexpr const char *kCount = "LUN lines: %zu\n";
constexpr const char *kCountStart = "LUN lines: ";
constexpr const char *kFmtDrainedAlready = "C%d is drained already: tald --restore gives it back first\n";
constexpr const char *kFmtDrainedUnknown =
    "%s: a drain is kept there, but its first line names no controller\n";
constexpr const char *kFmtNothingDrained = "no controller is drained (%s: %s)\n";
constexpr const char *kFmtTooLong = "%s: cannot be read: longer than %zu bytes\n";
constexpr const char *kFmtBadLine = "%s: line %zu cannot be read: %s; nothing restored\n";

constexpr const char *kWhyCut = "it is cut short (no line feed at its end)";
constexpr const char *kWhyEnded = "the record ends before its second line (cut short)";
constexpr const char *kWhyNul = "it holds a NUL byte";
constexpr const char *kWhyCr = "it holds a carriage return";
constexpr const char *kFmtWhyLong = "it is longer than %zu bytes";
constexpr const char *kWhyEmpty = "it is empty";
constexpr const char *kWhyNoLine = "it is no line of the preference file";
constexpr const char *kFmtWhyRepeat = "it names the LUN of line %zu again";
constexpr const char *kWhyCountForm = "it is no count of LUN lines";
constexpr const char *kFmtWhyCount = "it counts %zu LUN lines, the record holds %zu (cut short)";

/// The controller a kept drain names from its first line, or -1.
int drained_controller(const DiskContent &kept)
{
    if (kept.size >= 11 && std::strncmp(kept.data, "drained C", 9) == 0 &&
        (kept.data[9] == '0' || kept.data[9] == '1') && kept.data[10] == '\n')
        return kept.data[9] - '0';
    return -1;
}

/// The second line for `luns` LUN lines into `out` (room for 64 bytes); its length.
std::size_t count_line(char *out, std::size_t size, std::size_t luns)
{
    int n = std::snprintf(out, size, kCount, luns);
    return static_cast<std::size_t>(n);
}

/// Why a piece of the content is no whole line, or nullptr.
const char *piece_fault(const DiskContent &kept, const ScanPiece &piece, char *why, std::size_t size)
{
    if (piece.kind == LineKind::kHoldsNul)
        return kWhyNul;
    if (piece.kind == LineKind::kTooLong) {
        std::snprintf(why, size, kFmtWhyLong, kMaxLine);
        return why;
    }
    // A line ends at a line feed, a carriage return or the end of the data.
    if (!piece.line.lf_ended)
        return piece.line.offset + piece.line.len < kept.size ? kWhyCr : kWhyCut;
    return piece.kind == LineKind::kEmpty ? kWhyEmpty : nullptr;
}

/// What a drain's LUN line is checked with: the record read from it and
/// the writer's line for that record.
struct LunCheck {
    pathinfo rec;
    char again[kMaxLine + 1];
};

/// Why the LUN line just scanned is not one the drain writes, or nullptr.
const char *lun_fault(Scanner *scanner, ScanPiece *piece, LunCheck *check, char *why,
                      std::size_t size)
{
    std::memset(&check->rec, 0, sizeof check->rec);
    scan_record(scanner, piece, &check->rec, true);
    // A record without alias reads incomplete, yet is written so: the
    // writer's bytes again are what counts.
    std::size_t len = line_format(&check->rec, check->again);
    if (check->rec.wwid[0] == '\0' || len != piece->line.len + 1 ||
        std::memcmp(check->again, scanner->data + piece->line.offset, len) != 0)
        return kWhyNoLine;
    if (piece->unsure)
        return std::strerror(ENOMEM);
    if (piece->repeat_of != 0) {
        std::snprintf(why, size, kFmtWhyRepeat, piece->repeat_of);
        return why;
    }
    return nullptr;
}

/// The count the second line gives into *luns, or the reason it is none:
/// only the writer's own form counts.
const char *count_fault(const DiskContent &kept, const ScanPiece &piece, std::size_t *luns)
{
    const char *digits = kept.data + piece.line.offset + std::strlen(kCountStart);
    char *end = nullptr;
    errno = 0;
    unsigned long long n = std::strtoull(digits, &end, 10);
    char want[64];
    std::size_t len = errno == 0 ? count_line(want, sizeof want, static_cast<std::size_t>(n)) : 0;
    if (len != piece.line.len + 1 || std::memcmp(want, kept.data + piece.line.offset, len) != 0)
        return kWhyCountForm;
    *luns = static_cast<std::size_t>(n);
    return nullptr;
}

bool starts_count(const char *line, std::size_t len)
{
    std::size_t n = std::strlen(kCountStart);
    return len >= n && std::memcmp(line, kCountStart, n) == 0;
}

}  // namespace

bool record_begin(GrowArray<char> *text, int drained, std::size_t luns)
{
    char line[32];
    int n = std::snprintf(line, sizeof line, kHeader, drained);
    char count[64];
    return text->append_all(line, static_cast<std::size_t>(n)) &&
           text->append_all(count, count_line(count, sizeof count, luns));
}

int record_read(DiskContent *kept, bool want_drained)
{
    const char *reason = nullptr;
    DiskRead found = disk_read_bounded(kDrainPath, kDrainRecordMax, kept, &reason);
    int controller = drained_controller(*kept);
    if (found == kDiskMissing && !want_drained)
        return 0;
    if (found == kDiskRead && controller >= 0 && want_drained)
        return controller;
    if (found == kDiskMissing)
        std::fprintf(stderr, kFmtNothingDrained, kDrainPath, std::strerror(ENOENT));
    else if (found == kDiskTooLong)
        std::fprintf(stderr, kFmtTooLong, kDrainPath, kDrainRecordMax);
    else if (found != kDiskRead)
        std::fprintf(stderr, kFmtConfUnreadable, kDrainPath, reason);
    else if (controller < 0)
        std::fprintf(stderr, kFmtDrainedUnknown, kDrainPath);
    else
        std::fprintf(stderr, kFmtDrainedAlready, controller);
    return -1;
}

int record_check(const DiskContent &kept)
{
    auto *check = static_cast<LunCheck *>(std::malloc(sizeof(LunCheck)));
    if (check == nullptr) {
        std::fprintf(stderr, kFmtConfUnreadable, kDrainPath, std::strerror(ENOMEM));
        return -1;
    }
    Scanner scanner(kept.data, kept.size);
    ScanPiece piece{};
    scan_next(&scanner, &piece);  // the first line, which record_read took
    std::size_t luns = 0;
    std::size_t counted = 0;
    bool has_count = false;
    char why[96];
    const char *fault = nullptr;
    std::size_t number = 1;
    while (fault == nullptr && scan_next(&scanner, &piece)) {
        number = piece.number;
        fault = piece_fault(kept, piece, why, sizeof why);
        if (fault != nullptr)
            break;
        if (number == 2 && starts_count(kept.data + piece.line.offset, piece.line.len)) {
            has_count = true;
            fault = count_fault(kept, piece, &counted);
        } else {
            ++luns;
            fault = lun_fault(&scanner, &piece, check, why, sizeof why);
        }
    }
    std::free(check);
    // A record of an older drain has no count: its lines, each whole and
    // the writer's, are all that can be judged of it.
    if (fault == nullptr && number == 1) {
        fault = kWhyEnded;
        number = 2;
    } else if (fault == nullptr && has_count && counted != luns) {
        std::snprintf(why, sizeof why, kFmtWhyCount, counted, luns);
        fault = why;
        number = 2;
    }
    if (fault == nullptr)
        return 0;
    std::fprintf(stderr, kFmtBadLine, kDrainPath, number, fault);
    return -1;
}

bool record_next_lun(const DiskContent &kept, std::size_t *pos, const char **line,
                     std::size_t *len)
{
    if (*pos == 0) {
        const auto *lf = static_cast<const char *>(std::memchr(kept.data, '\n', kept.size));
        *pos = lf != nullptr ? static_cast<std::size_t>(lf - kept.data) + 1 : kept.size;
        if (*pos < kept.size && starts_count(kept.data + *pos, kept.size - *pos)) {
            lf = static_cast<const char *>(std::memchr(kept.data + *pos, '\n', kept.size - *pos));
            *pos = lf != nullptr ? static_cast<std::size_t>(lf - kept.data) + 1 : kept.size;
        }
    }
    if (*pos >= kept.size)
        return false;
    const char *begin = kept.data + *pos;
    const auto *lf = static_cast<const char *>(std::memchr(begin, '\n', kept.size - *pos));
    if (lf == nullptr)
        return false;
    *line = begin;
    *len = static_cast<std::size_t>(lf - begin);
    *pos += *len + 1;
    return true;
}

bool record_unchanged(const DiskIdentity &was)
{
    struct stat st;
    return lstat(kDrainPath, &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == was.dev &&
           st.st_ino == was.ino && st.st_size == was.size &&
           st.st_mtim.tv_sec == was.mtime.tv_sec && st.st_mtim.tv_nsec == was.mtime.tv_nsec &&
           st.st_ctim.tv_sec == was.ctime.tv_sec && st.st_ctim.tv_nsec == was.ctime.tv_nsec;
}
