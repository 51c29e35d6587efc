// Parser of the scenario file: one directive per line, read in one pass.
// Node-scoped directives apply to the last `node`; descriptors of page 0x83
// are collected per node and the page is built when the node ends.
#include "scenario.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace simarray {
namespace {

struct ErrnoName {
    const char *name;
    int value;
};

constexpr ErrnoName kErrnoNames[] = {
    {"EPERM", EPERM},       {"ENOENT", ENOENT},       {"EINTR", EINTR},
    {"EIO", EIO},           {"ENXIO", ENXIO},         {"EBADF", EBADF},
    {"EAGAIN", EAGAIN},     {"EWOULDBLOCK", EWOULDBLOCK}, {"ENOMEM", ENOMEM},
    {"EACCES", EACCES},     {"EFAULT", EFAULT},       {"EBUSY", EBUSY},
    {"EEXIST", EEXIST},     {"EXDEV", EXDEV},         {"ENODEV", ENODEV},
    {"ENOTDIR", ENOTDIR},   {"EISDIR", EISDIR},       {"EINVAL", EINVAL},
    {"ENFILE", ENFILE},     {"EMFILE", EMFILE},       {"ENOTTY", ENOTTY},
    {"EFBIG", EFBIG},       {"ENOSPC", ENOSPC},       {"EROFS", EROFS},
    {"EMLINK", EMLINK},     {"EPIPE", EPIPE},         {"ENAMETOOLONG", ENAMETOOLONG},
    {"ENOSYS", ENOSYS},     {"ENOTEMPTY", ENOTEMPTY}, {"ELOOP", ELOOP},
    {"ENODATA", ENODATA},   {"ETIME", ETIME},         {"EOVERFLOW", EOVERFLOW},
    {"EMSGSIZE", EMSGSIZE}, {"EOPNOTSUPP", EOPNOTSUPP}, {"ENOTSUP", ENOTSUP},
    {"ETIMEDOUT", ETIMEDOUT}, {"ECONNRESET", ECONNRESET}, {"EDQUOT", EDQUOT},
    {"ESTALE", ESTALE},     {"ENOMEDIUM", ENOMEDIUM}, {"ECANCELED", ECANCELED},
    {"ENOLCK", ENOLCK},     {"EHOSTDOWN", EHOSTDOWN}, {"EREMOTEIO", EREMOTEIO},
};

constexpr std::uint8_t kCodeSetBinary = 1;
constexpr std::uint8_t kCodeSetAscii = 2;
constexpr std::size_t kMaxDescriptorBytes = kMaxPage - 4;

// The rest of one line, consumed from the left.
struct Cursor {
    const char *p;
    const char *end;
};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

void skip_blanks(Cursor &c) {
    while (c.p < c.end && is_blank(*c.p)) ++c.p;
}

bool at_line_end(Cursor &c) {
    skip_blanks(c);
    return c.p == c.end || *c.p == '#';
}

// The next blank-separated word; a `#` ends it, as it starts a comment.
std::string_view next_word(Cursor &c) {
    skip_blanks(c);
    const char *start = c.p;
    while (c.p < c.end && !is_blank(*c.p) && *c.p != '#') ++c.p;
    return {start, static_cast<std::size_t>(c.p - start)};
}

int hex_digit(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

// Parser state: the scenario being filled, the open node's descriptors and
// the message of the first error.
struct Parser {
    Scenario *sc;
    Node *node;  ///< the open node, or null before the first `node`
    std::uint8_t designators[kMaxDescriptorBytes];
    std::size_t designators_len;
    std::uint8_t aliases[kMaxDescriptorBytes];
    std::size_t aliases_len;
    std::uint8_t raw_page[kMaxPage];  ///< the open node's `page83`
    bool seen_addr, seen_port;
    char *msg;
    std::size_t msg_size;
};

bool fail(Parser &ps, const char *text) {
    std::snprintf(ps.msg, ps.msg_size, "%s", text);
    return false;
}

bool fail2(Parser &ps, const char *text, std::string_view word) {
    std::snprintf(ps.msg, ps.msg_size, "%s '%.*s'", text, static_cast<int>(word.size()),
                  word.data());
    return false;
}

bool parse_number(Parser &ps, Cursor &c, const char *what, int max, int &out) {
    std::string_view w = next_word(c);
    if (w.empty()) return fail2(ps, "missing", what);
    long v = 0;
    for (char ch : w) {
        if (ch < '0' || ch > '9') return fail2(ps, "not a decimal number:", w);
        v = v * 10 + (ch - '0');
        if (v > max) break;
    }
    if (v > max) {
        char text[96];
        std::snprintf(text, sizeof text, "%s out of range 0..%d:", what, max);
        return fail2(ps, text, w);
    }
    out = static_cast<int>(v);
    return true;
}

// HEX up to the end of the line: byte pairs, blanks allowed between bytes.
bool parse_hex(Parser &ps, Cursor &c, std::uint8_t *out, std::size_t max, std::size_t &len) {
    len = 0;
    while (!at_line_end(c)) {
        if (c.end - c.p < 2 || hex_digit(c.p[0]) < 0 || hex_digit(c.p[1]) < 0)
            return fail2(ps, "bad hex byte at", std::string_view(c.p, c.end - c.p));
        if (len == max) {
            char text[64];
            std::snprintf(text, sizeof text, "more than %zu hex bytes", max);
            return fail(ps, text);
        }
        out[len++] = static_cast<std::uint8_t>(hex_digit(c.p[0]) * 16 + hex_digit(c.p[1]));
        c.p += 2;
    }
    return true;
}

// "TEXT" with the escapes \" \\ \xNN; nothing but a comment may follow.
bool parse_quoted(Parser &ps, Cursor &c, std::uint8_t *out, std::size_t max, std::size_t &len) {
    len = 0;
    skip_blanks(c);
    if (c.p == c.end || *c.p != '"') return fail(ps, "expected a quoted text");
    ++c.p;
    for (;;) {
        if (c.p == c.end) return fail(ps, "unterminated quoted text");
        char ch = *c.p++;
        if (ch == '"') break;
        if (ch == '\\') {
            if (c.p == c.end) return fail(ps, "unterminated quoted text");
            char e = *c.p++;
            if (e == 'x') {
                if (c.end - c.p < 2 || hex_digit(c.p[0]) < 0 || hex_digit(c.p[1]) < 0)
                    return fail(ps, "bad \\x escape: two hex digits expected");
                ch = static_cast<char>(hex_digit(c.p[0]) * 16 + hex_digit(c.p[1]));
                c.p += 2;
            } else if (e == '"' || e == '\\') {
                ch = e;
            } else {
                return fail2(ps, "bad escape", std::string_view(c.p - 2, 2));
            }
        }
        if (len == max) return fail(ps, "quoted text longer than 255 bytes");
        out[len++] = static_cast<std::uint8_t>(ch);
    }
    if (!at_line_end(c)) return fail2(ps, "unexpected text after the quote:", next_word(c));
    return true;
}

bool parse_errno_word(Parser &ps, Cursor &c, int &out) {
    std::string_view w = next_word(c);
    if (w.empty()) return fail(ps, "missing errno");
    out = parse_errno(w.data(), w.size());
    if (out == 0) return fail2(ps, "unknown errno", w);
    return true;
}

bool expect_end(Parser &ps, Cursor &c) {
    if (!at_line_end(c)) return fail2(ps, "unexpected text:", next_word(c));
    return true;
}

bool append_descriptor(Parser &ps, std::uint8_t *buf, std::size_t &len, std::uint8_t code_set,
                       std::uint8_t type, const std::uint8_t *bytes, std::size_t n) {
    if (ps.designators_len + ps.aliases_len + 4 + n > kMaxDescriptorBytes)
        return fail(ps, "page 0x83 grows beyond 1024 bytes");
    buf[len++] = code_set;
    buf[len++] = type;
    buf[len++] = 0;
    buf[len++] = static_cast<std::uint8_t>(n);
    std::memcpy(buf + len, bytes, n);
    len += n;
    return true;
}

// Builds the open node's page 0x83 from its descriptors: designators in file
// order, then aliases in file order.
// A raw page is copied as given. Either goes to the scenario's pool, which
// holds a full path and a full page for every node.
void close_node(Parser &ps) {
    Node *n = ps.node;
    if (n == nullptr) return;
    std::uint8_t *page = ps.sc->pool + ps.sc->pool_used;
    if (n->page83_raw) {
        std::memcpy(page, ps.raw_page, n->page83_len);
    } else {
        std::size_t body = ps.designators_len + ps.aliases_len;
        page[0] = 0x00;
        page[1] = 0x83;
        page[2] = static_cast<std::uint8_t>(body >> 8);
        page[3] = static_cast<std::uint8_t>(body & 0xff);
        std::memcpy(page + 4, ps.designators, ps.designators_len);
        std::memcpy(page + 4 + ps.designators_len, ps.aliases, ps.aliases_len);
        n->page83_len = 4 + body;
    }
    n->page83 = page;
    ps.sc->pool_used += n->page83_len;
}

// FNV-1a of a path, for the node index.
std::uint32_t path_hash(std::string_view path) {
    std::uint32_t h = 2166136261u;
    for (char ch : path) h = (h ^ static_cast<std::uint8_t>(ch)) * 16777619u;
    return h;
}

// The index slot that holds `path`, or the free slot where it belongs.
std::uint32_t &index_slot(Scenario &sc, std::string_view path) {
    std::size_t i = path_hash(path) & (kIndexSlots - 1);
    while (sc.index[i] != 0 && path != sc.nodes[sc.index[i] - 1].path)
        i = (i + 1) & (kIndexSlots - 1);
    return sc.index[i];
}

bool directive_node(Parser &ps, Cursor &c) {
    std::string_view path = next_word(c);
    if (path.empty()) return fail(ps, "missing node path");
    if (path.size() >= kMaxPath) return fail(ps, "node path too long");
    if (!expect_end(ps, c)) return false;
    Scenario &sc = *ps.sc;
    std::uint32_t &slot = index_slot(sc, path);
    if (slot != 0) return fail2(ps, "duplicate node", path);
    if (sc.node_count == kMaxNodes) return fail(ps, "too many nodes");
    close_node(ps);
    ps.node = &sc.nodes[sc.node_count++];
    std::memset(ps.node, 0, sizeof *ps.node);
    slot = static_cast<std::uint32_t>(sc.node_count);
    char *stored = reinterpret_cast<char *>(sc.pool + sc.pool_used);
    std::memcpy(stored, path.data(), path.size());
    stored[path.size()] = '\0';
    sc.pool_used += path.size() + 1;
    ps.node->path = stored;
    ps.designators_len = ps.aliases_len = 0;
    ps.seen_addr = ps.seen_port = false;
    return true;
}

bool directive_addr(Parser &ps, Cursor &c) {
    Node &n = *ps.node;
    if (ps.seen_addr) return fail(ps, "duplicate addr");
    ps.seen_addr = true;
    return parse_number(ps, c, "host", kMaxHost, n.host) &&
           parse_number(ps, c, "channel", 255, n.channel) &&
           parse_number(ps, c, "id", 255, n.id) && parse_number(ps, c, "lun", 255, n.lun) &&
           expect_end(ps, c);
}

bool directive_designator(Parser &ps, Cursor &c) {
    if (ps.node->page83_raw) return fail(ps, "designator cannot be combined with page83");
    int type = 0;
    std::uint8_t bytes[255];
    std::size_t n = 0;
    if (!parse_number(ps, c, "designator type", 15, type) ||
        !parse_hex(ps, c, bytes, sizeof bytes, n))
        return false;
    ps.node->has_descriptor = true;
    return append_descriptor(ps, ps.designators, ps.designators_len, kCodeSetBinary,
                             static_cast<std::uint8_t>(type), bytes, n);
}

bool directive_alias(Parser &ps, Cursor &c) {
    if (ps.node->page83_raw) return fail(ps, "alias cannot be combined with page83");
    std::uint8_t bytes[255];
    std::size_t n = 0;
    if (!parse_quoted(ps, c, bytes, sizeof bytes, n)) return false;
    ps.node->has_descriptor = true;
    return append_descriptor(ps, ps.aliases, ps.aliases_len, kCodeSetAscii, 0, bytes, n);
}

bool directive_page83(Parser &ps, Cursor &c) {
    Node &n = *ps.node;
    if (n.has_descriptor) return fail(ps, "page83 cannot be combined with designator or alias");
    if (n.page83_raw) return fail(ps, "duplicate page83");
    n.page83_raw = true;
    return parse_hex(ps, c, ps.raw_page, kMaxPage, n.page83_len);
}

bool directive_port(Parser &ps, Cursor &c) {
    Node &n = *ps.node;
    if (n.reply_raw) return fail(ps, "port cannot be combined with reply");
    if (ps.seen_port) return fail(ps, "duplicate port");
    ps.seen_port = true;
    int controller = 0, port = 0;
    if (!parse_number(ps, c, "controller", 255, controller) ||
        !parse_number(ps, c, "port", 255, port) || !expect_end(ps, c))
        return false;
    std::memset(n.reply, 0, 8);
    n.reply[4] = static_cast<std::uint8_t>(port);
    n.reply[5] = static_cast<std::uint8_t>(controller);
    if (controller == 1) n.reply[6] = 0xf1;
    if (controller == 2) n.reply[7] = 0xf1;
    n.reply_len = 8;
    n.has_reply = true;
    return true;
}

bool directive_reply(Parser &ps, Cursor &c) {
    Node &n = *ps.node;
    if (ps.seen_port) return fail(ps, "reply cannot be combined with port");
    if (n.reply_raw) return fail(ps, "duplicate reply");
    n.reply_raw = n.has_reply = true;
    return parse_hex(ps, c, n.reply, kMaxReply, n.reply_len);
}

bool directive_fault(Parser &ps, Cursor &c) {
    Node &n = *ps.node;
    std::string_view what = next_word(c);
    int *slot = nullptr;
    if (what == "open") slot = &n.fault_open;
    else if (what == "idlun") slot = &n.fault_idlun;
    else if (what == "busno") slot = &n.fault_busno;
    else if (what == "sgio") slot = &n.fault_sgio;
    if (slot != nullptr) {
        if (*slot != 0) return fail2(ps, "duplicate fault", what);
        return parse_errno_word(ps, c, *slot) && expect_end(ps, c);
    }
    if (what == "delay") {
        if (n.fault_delay_ms != 0) return fail2(ps, "duplicate fault", what);
        return parse_number(ps, c, "milliseconds", kMaxDelayMs, n.fault_delay_ms) &&
               expect_end(ps, c);
    }
    bool *flag = nullptr;
    if (what == "inquiry") flag = &n.fault_inquiry_check;
    else if (what == "readbuffer") flag = &n.fault_readbuffer_check;
    else return fail2(ps, "unknown fault (open, idlun, busno, sgio, delay, inquiry, readbuffer):", what);
    if (next_word(c) != "check") return fail2(ps, "expected 'check' after fault", what);
    if (*flag) return fail2(ps, "duplicate fault", what);
    *flag = true;
    return expect_end(ps, c);
}

bool directive_fail(Parser &ps, Cursor &c) {
    Scenario &sc = *ps.sc;
    std::string_view what = next_word(c);
    FailOp op;
    if (what == "open") op = FailOp::open;
    else if (what == "write") op = FailOp::write;
    else if (what == "rename") op = FailOp::rename;
    else return fail2(ps, "unknown fail operation (open, write, rename):", what);
    std::string_view path = next_word(c);
    if (path.empty()) return fail(ps, "missing path");
    if (path.size() >= kMaxPath) return fail(ps, "path too long");
    if (sc.fail_count == kMaxFails) return fail(ps, "too many fail directives");
    FailRule &r = sc.fails[sc.fail_count];
    r.op = op;
    std::memcpy(r.path, path.data(), path.size());
    r.path[path.size()] = '\0';
    if (!parse_errno_word(ps, c, r.err) || !expect_end(ps, c)) return false;
    ++sc.fail_count;
    return true;
}

using Handler = bool (*)(Parser &, Cursor &);

struct Directive {
    std::string_view name;
    Handler handler;
    bool needs_node;
};

constexpr Directive kDirectives[] = {
    {"node", directive_node, false},         {"addr", directive_addr, true},
    {"designator", directive_designator, true}, {"alias", directive_alias, true},
    {"page83", directive_page83, true},      {"port", directive_port, true},
    {"reply", directive_reply, true},        {"fault", directive_fault, true},
    {"fail", directive_fail, false},
};

bool parse_line(Parser &ps, Cursor &c) {
    if (at_line_end(c)) return true;
    std::string_view word = next_word(c);
    for (const Directive &d : kDirectives) {
        if (word != d.name) continue;
        if (d.needs_node && ps.node == nullptr) return fail2(ps, "no node before", word);
        return d.handler(ps, c);
    }
    return fail2(ps, "unknown directive", word);
}

}  // namespace

int parse_errno(const char *text, std::size_t len) {
    std::string_view w(text, len);
    for (const ErrnoName &e : kErrnoNames)
        if (w == e.name) return e.value;
    if (w.empty() || w.size() > 4) return 0;
    int v = 0;
    for (char ch : w) {
        if (ch < '0' || ch > '9') return 0;
        v = v * 10 + (ch - '0');
    }
    return v <= 4095 ? v : 0;
}

int parse_scenario(const char *text, std::size_t len, Scenario &out, char *msg,
                   std::size_t msg_size) {
    static Parser ps;  // large scratch buffers; the caller serialises parsing
    out.node_count = out.fail_count = out.pool_used = 0;
    std::memset(out.index, 0, sizeof out.index);
    std::memset(&ps, 0, sizeof ps);
    ps.sc = &out;
    ps.msg = msg;
    ps.msg_size = msg_size;
    if (msg_size > 0) msg[0] = '\0';
    const char *p = text;
    const char *end = text + len;
    int line = 0;
    while (p < end) {
        ++line;
        const char *eol = static_cast<const char *>(std::memchr(p, '\n', end - p));
        if (eol == nullptr) eol = end;
        Cursor c{p, eol};
        if (std::memchr(p, '\0', eol - p) != nullptr) {
            fail(ps, "NUL byte in line");
            return line;
        }
        if (!parse_line(ps, c)) return line;
        p = eol < end ? eol + 1 : end;
    }
    close_node(ps);
    return 0;
}

const Node *find_node(const Scenario &sc, const char *path) {
    std::uint32_t n = index_slot(const_cast<Scenario &>(sc), path);
    return n == 0 ? nullptr : &sc.nodes[n - 1];
}

int find_fail(const Scenario &sc, FailOp op, const char *path) {
    for (std::size_t i = 0; i < sc.fail_count; ++i)
        if (sc.fails[i].op == op && std::strcmp(sc.fails[i].path, path) == 0)
            return sc.fails[i].err;
    return 0;
}

}  // namespace simarray
