#include "probe/grelt.hpp"

#include "base/fd_guard.hpp"
#include "base/text.hpp"
#include "probe/sg_io.hpp"
#include "trace/trace.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace {


constexpr int kLinePortEntry = 49;
constexpr int kLinePortResult = 65;
constexpr int kLinePageCode = 78;
constexpr int kLinePageTooLong = 82;
constexpr int kLineDescriptor = 95;
constexpr int kLineAsciiFound = 101;
constexpr int kLineAsciiMissing = 106;
constexpr int kLineTextNameEntry = 116;
constexpr int kLineAliasBlank = 123;
constexpr int kLineAliasTooLong = 136;
constexpr int kLineAliasLength = 144;
constexpr int kLineAliasIs = 146;
constexpr int kLineAliasAllBlanks = 176;
constexpr int kLineTextName = 180;
constexpr int kLineWwidEntry = 192;
constexpr int kLineWwid = 209;
constexpr int kLineRefIdEntry = 217;
constexpr int kLineRefId = 226;
constexpr int kLineInfoEntry = 250;
constexpr int kLineInfoNullRecord = 253;
constexpr int kLineInfoAddress = 264;
constexpr int kLineInfoInquiry = 277;
constexpr int kLineInfoWwid = 286;
constexpr int kLineInfoPortQuery = 303;
constexpr int kLineInfoPort = 311;
constexpr int kLineInfoAlias = 330;
constexpr int kLineInfoExit = 334;

constexpr int kPageSize = 255;
constexpr int kReplySize = 8;
constexpr int kMaxAlias = static_cast<int>(kTextNameSize) - 1;
constexpr unsigned char kPortMarker = 0xf1;
constexpr const char *kPlaceholder = "???";

// INQUIRY, EVPD, page 0x83, allocation length 255.
constexpr std::array<unsigned char, 6> kIdentificationInquiry = {0x12, 0x01, 0x83,
                                                                 0x00, 0xff, 0x00};
// READ BUFFER(10), mode 2, buffer id 0x40, offset 0, allocation length 8; the
// array expects it padded to a 16-byte command block.
constexpr std::array<unsigned char, 16> kControllerPortQuery = {
    0x3c, 0x02, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

thread_local std::array<unsigned char, kPageSize> page_buffer;
thread_local std::array<unsigned char, kReplySize> port_buffer;

/// One past the last byte of the page: its 4-byte header plus the page
/// length field, and never past the buffer.
int page_end(const unsigned char *page, int page_size)
{
    if (page_size < 4)
        return 0;
    int length = page[2] * 256 + page[3];
    return std::min(length + 4, page_size);
}

/// Byte `i` of a buffer of `size` bytes, 0 beyond it.
int byte_at(const unsigned char *buf, int size, int i) { return i < size ? buf[i] : 0; }

struct PortCase {
    int controller, port, marker_index, cp;
};
constexpr std::array<PortCase, 4> kPortTable = {{
    {1, 1, 6, 0},
    {1, 2, 6, 1},
    {2, 1, 7, 2},
    {2, 2, 7, 3},
}};

/// Drops trailing blanks of the first n characters, then turns the inner
/// blanks into "_". A NUL ends the trailing scan like any non-blank.
void clean_alias(char *text, int n)
{
    int pos = n - 1;
    while (pos >= 0 && text[pos] == ' ') {
        text[pos] = '\0';
        --pos;
    }
    for (; pos >= 0; --pos) {
        if (text[pos] == ' ')
            text[pos] = '_';
    }
}

}  // namespace

int grelt_get_dev_wwid(const unsigned char *page, int page_size, char *wwid, int wwid_size)
{
    log_trace(kLineWwidEntry, 7, "ENTRY");
    if (page == nullptr || wwid == nullptr || wwid_size < 1)
        return -1;

    // A designator that claims more bytes than the page holds is cut at the
    // page's end (or the buffer's, whichever comes first): the wwid then has
    // fewer digits than the length byte promises, and nothing past the bytes
    // the device sent is read.
    int type = byte_at(page, page_size, 5) & 0x0f;
    int length = byte_at(page, page_size, 7);
    int first = 8;
    int last = std::min(first + length, page_end(page, page_size));
    // Without a single designator byte the page names no LUN: a wwid made of
    // the type digit alone would merge every such device into one record.
    if (last <= first)
        return -1;

    // Digit by digit: a formatting call per byte would cost the steady call
    // of the plugin more than all the rest of its store.
    static constexpr char kHexDigits[] = "0123456789abcdef";
    std::array<char, 2 * kPageSize + 2> text{};
    std::size_t used = 0;
    text[used++] = kHexDigits[type];
    for (int i = first; i < last; ++i) {
        text[used++] = kHexDigits[page[i] >> 4];
        text[used++] = kHexDigits[page[i] & 0x0f];
    }
    copy_field(wwid, static_cast<std::size_t>(wwid_size), text.data());
    log_trace(kLineWwid, 6, "wwid: %s", wwid);
    return 0;
}

void grelt_get_dev_ref_id(const unsigned char *page, int page_size, pathinfo *rec)
{
    log_trace(kLineRefIdEntry, 7, "ENTRY");
    if (page == nullptr || rec == nullptr)
        return;
    int end = page_end(page, page_size);
    rec->lunref = (byte_at(page, end, 8) & 3) * 256 + byte_at(page, end, 9);
    log_trace(kLineRefId, 7, "ref_id: %d", rec->lunref);
}

int grelt_get_controller_port(const unsigned char *reply, int reply_size, int *cp)
{
    log_trace(kLinePortEntry, 7, "ENTRY");
    *cp = -1;
    int result = -1;
    if (reply != nullptr && reply_size >= kReplySize) {
        for (const PortCase &c : kPortTable) {
            if (reply[5] == c.controller && reply[4] == c.port &&
                reply[c.marker_index] == kPortMarker) {
                *cp = c.cp;
                result = 0;
                break;
            }
        }
    }
    log_trace(kLinePortResult, 6, "controller_port: %d; ret: %d", *cp, result);
    return result;
}

const unsigned char *grelt_get_ascii_descriptor(const unsigned char *page, int page_size)
{
    if (page == nullptr || page_size < 4)
        return nullptr;
    int length = page[2] * 256 + page[3];
    log_trace(kLinePageCode, 6, "Analyzing page code %x", page[1]);
    if (length + 4 > page_size) {
        log_trace(kLinePageTooLong, 6,
                  "pageLength %d will not fit into buffer of size %d", length, page_size);
        return nullptr;
    }

    // Every descriptor header walked here starts below the page length, so
    // its four bytes lie within the page and the buffer.
    for (int offset = 4; offset < length; offset += 4 + page[offset + 3]) {
        const unsigned char *descriptor = page + offset;
        int code_set = descriptor[0] & 0x0f;
        int type = descriptor[1] & 0x0f;
        log_trace(kLineDescriptor, 6, "CodeSet %d, Identifier type %d",
                  code_set, type);
        if (code_set == 2 && type == 0) {
            log_trace(kLineAsciiFound, 6,
                      "Found ASCII vendor specific identifier.");
            return descriptor;
        }
    }
    log_trace(kLineAsciiMissing, 6,
              "Did not find ASCII vendor specific identifier.");
    return nullptr;
}

int grelt_get_dev_text_name(const unsigned char *page, int page_size, char *text_name)
{
    log_trace(kLineTextNameEntry, 7, "ENTRY");
    std::memset(text_name, 0, kTextNameSize);
    int size = static_cast<int>(kTextNameSize);

    if (page == nullptr || page_size < 4 || page[3] <= 12) {
        copy_field(text_name, kTextNameSize, kPlaceholder);
        log_trace(kLineAliasBlank, 6, "Problem getting Alias, using blank");
        return 0;
    }

    const unsigned char *descriptor = grelt_get_ascii_descriptor(page, page_size);
    if (descriptor != nullptr) {
        int length = descriptor[3];
        int n = length;
        size = length + 1;
        if (length > kMaxAlias) {
            log_trace(kLineAliasTooLong, 6, "Alias too long, truncating");
            n = kMaxAlias;
            size = static_cast<int>(kTextNameSize);
        }
        // The designator is cut where the page ends, like the wwid's.
        int present = page_end(page, page_size) - static_cast<int>(descriptor - page) - 4;
        n = std::clamp(n, 0, std::max(present, 0));
        log_trace(kLineAliasLength, 6, "Alias length = %d", n);

        // The alias ends up in traces, on terminals and in the preference
        // file: nothing but printable ASCII gets through.
        const unsigned char *designator = descriptor + 4;
        for (int i = 0; i < n && designator[i] != 0; ++i) {
            unsigned char c = designator[i];
            text_name[i] = (c >= 0x20 && c <= 0x7e) ? static_cast<char>(c) : '_';
        }
        log_trace(kLineAliasIs, 6, "Alias is %s", text_name);
        clean_alias(text_name, n);
    }

    if (text_name[0] != '\0') {
        log_trace(kLineTextName, 6, "text_name[%d]: \"%s\"", size, text_name);
        return 1;
    }
    log_trace(kLineAliasAllBlanks, 6, "Alias all blanks");
    // The whole placeholder, whatever the designator's length: an empty or a
    // short blank designator must not leave "", "?" or "??" as the alias.
    copy_field(text_name, kTextNameSize, kPlaceholder);
    return 0;
}

namespace {

/// The address of the node open at `fd` into rec's probe fields.
int ask_address(int fd, const char *dev, pathinfo *rec)
{
    int r = fd < 0 ? -1 : sg_io_get_scsi_addr_fd(fd, &rec->host, &rec->channel, &rec->id, &rec->lun);
    if (r < 0) {
        log_trace(kLineInfoAddress, 4, "ERROR[%d] getting SCSI address: %s",
                  r, dev);
    }
    return r;
}

/// INQUIRY page 0x83 into page_buffer, and the LUN's wwid and lunref from it.
int ask_identity(int fd, const char *dev, pathinfo *rec, unsigned timeout_ms)
{
    int r = sg_io_do_command_fd(fd, dev, kIdentificationInquiry.data(),
                                static_cast<int>(kIdentificationInquiry.size()),
                                page_buffer.data(), kPageSize, timeout_ms);
    if (r < 0) {
        log_trace(kLineInfoInquiry, 4,
                  "ERROR[%d] getting SCSI INQ page 0x83: %s", r, dev);
        return r;
    }
    r = grelt_get_dev_wwid(page_buffer.data(), kPageSize, rec->wwid, static_cast<int>(kWwidSize));
    if (r < 0) {
        log_trace(kLineInfoWwid, 4, "ERROR[%d] getting wwid; dev: %s", r,
                  dev);
        return r;
    }
    grelt_get_dev_ref_id(page_buffer.data(), kPageSize, rec);
    return 0;
}

/// The READ BUFFER query, and the controller port from its reply. The node
/// is closed as soon as the last command is done.
int ask_port(FdGuard *node, const char *dev, pathinfo *rec, unsigned timeout_ms)
{
    int r = sg_io_do_command_fd(node->fd, dev, kControllerPortQuery.data(),
                                static_cast<int>(kControllerPortQuery.size()), port_buffer.data(),
                                kReplySize, timeout_ms);
    node->close_now();
    if (r < 0) {
        log_trace(kLineInfoPortQuery, 4, "ERROR[%d] getting grelt info: %s",
                  r, dev);
        return r;
    }
    r = grelt_get_controller_port(port_buffer.data(), kReplySize, &rec->cp);
    if (r < 0) {
        log_trace(kLineInfoPort, 4, "ERROR[%d] getting controller/port: %s",
                  r, dev);
    }
    return r;
}

}  // namespace

int grelt_info(const char *dev, pathinfo *rec, unsigned timeout_ms)
{
    log_trace(kLineInfoEntry, 7, "ENTRY dev: %s", dev);
    if (rec == nullptr) {
        log_trace(kLineInfoNullRecord, 3, "NULL Pointer: pathinfo");
        return -1;
    }
    std::memset(rec, 0, sizeof *rec);
    page_buffer.fill(0);
    port_buffer.fill(0);

    // One open for the three questions: a node that is opened and closed
    // three times costs the kernel (and a busy daemon) three times as much.
    FdGuard node(sg_io_open_node(dev));
    if (timeout_ms == 0)
        timeout_ms = kSgCommandTimeoutMs;
    int r = ask_address(node.fd, dev, rec);
    if (r >= 0)
        r = ask_identity(node.fd, dev, rec, timeout_ms);
    if (r >= 0)
        r = ask_port(&node, dev, rec, timeout_ms);
    if (r < 0)
        return r;

    copy_field(rec->dev, kDevSize, dev);
    addDevToPathInfo(rec, dev, rec->host, rec->channel, rec->id, rec->lun, rec->cp);

    if (grelt_get_dev_text_name(page_buffer.data(), kPageSize, rec->text_name) == 0) {
        log_trace(kLineInfoAlias, 4, "ERROR[%d] getting alias: %s", 0, dev);
        return 0;
    }
    log_trace(kLineInfoExit, 7, "EXIT[%d]: %s", 1, rec->slot_dev[rec->cp][0]);
    return 1;
}
