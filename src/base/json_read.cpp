#include "base/json_read.hpp"

#include "base/json_string.hpp"
#include "base/text.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {
constexpr const char *kErrTooLarge = "input over 16 MiB";
constexpr const char *kErrEnd = "unexpected end of input";
constexpr const char *kErrValue = "expected a value";
constexpr const char *kErrLiteral = "invalid literal";
constexpr const char *kErrNumber = "invalid number";
constexpr const char *kErrKey = "expected a key";
constexpr const char *kErrColon = "expected ':'";
constexpr const char *kErrAfterItem = "expected ',' or ']'";
constexpr const char *kErrAfterMember = "expected ',' or '}'";
constexpr const char *kErrAfterDocument = "unexpected text after the value";
constexpr const char *kErrDepth = "nesting deeper than 32";
constexpr const char *kDuplicateFormat = "duplicate key \"%s\"";
constexpr std::size_t kShownKey = 48;

/// An open array or object: its node and its last child so far (0: none).
struct Frame {
    std::size_t node;
    std::size_t last;
    bool object;
};

struct Parser {
    const char *text;
    std::size_t len;
    std::size_t pos;
    int line;
    JsonDoc *doc;
    GrowArray<std::size_t> at;       ///< per node: input offset of its key, or of its value
    GrowArray<std::size_t> members;  ///< the members of the object being closed
    Frame stack[kJsonMaxDepth];
    int depth;
};

/// The byte at p->pos, or -1 at the end of input.
int peek(const Parser *p)
{
    return p->pos < p->len ? static_cast<unsigned char>(p->text[p->pos]) : -1;
}

/// Sets the error with the line and column of input offset `offset`; -1.
int fail_at(Parser *p, std::size_t offset, const char *what)
{
    int line = 1;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < offset; ++i) {
        if (p->text[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    p->doc->error = what;
    p->doc->error_line = line;
    p->doc->error_column = static_cast<int>(offset - line_start + 1);  // input < 2^31 bytes
    return -1;
}

/// The error `what` at the current byte, or the end of input when there is none.
int fail_here(Parser *p, const char *what)
{
    return fail_at(p, p->pos, p->pos < p->len ? what : kErrEnd);
}

void skip_space(Parser *p)
{
    for (; p->pos < p->len; ++p->pos) {
        char c = p->text[p->pos];
        if (c == '\n')
            ++p->line;
        else if (c != ' ' && c != '\t' && c != '\r')
            return;
    }
}

/// Reads the string whose quote is at p->pos into the strings, NUL-ended;
/// its offset and length there in *offset and *length.
int read_string(Parser *p, std::size_t *offset, std::size_t *length)
{
    *offset = p->doc->strings.size();
    JsonFault fault{};
    if (json_string_read(p->text, p->len, &p->pos, &p->doc->strings, &fault) != 0)
        return fail_at(p, fault.at, fault.what);
    *length = p->doc->strings.size() - *offset - 1;
    return 0;
}

/// Skips the digits at p->pos; false when there are none.
bool digits(Parser *p)
{
    std::size_t start = p->pos;
    while (p->pos < p->len && p->text[p->pos] >= '0' && p->text[p->pos] <= '9')
        ++p->pos;
    return p->pos > start;
}

/// The integer of text[from..to), an optional '-' and digits; false when it
/// does not fit a long long.
bool integer_of(const char *text, std::size_t from, std::size_t to, long long *value)
{
    bool negative = text[from] == '-';
    long long v = 0;  // kept negative, so that LLONG_MIN fits
    for (std::size_t i = negative ? from + 1 : from; i < to; ++i) {
        int digit = text[i] - '0';
        if (v < (LLONG_MIN + digit) / 10)
            return false;
        v = v * 10 - digit;
    }
    if (!negative && v == LLONG_MIN)
        return false;
    *value = negative ? v : -v;
    return true;
}

/// Reads the number at p->pos into `node`: its text into the strings, and
/// its value when it is a plain integer that fits.
int read_number(Parser *p, JsonNode *node)
{
    const std::size_t start = p->pos;
    if (p->text[p->pos] == '-')
        ++p->pos;
    std::size_t int_start = p->pos;
    if (!digits(p) || (p->text[int_start] == '0' && p->pos - int_start > 1))
        return fail_at(p, start, kErrNumber);
    bool plain = true;
    if (peek(p) == '.') {
        ++p->pos;
        plain = false;
        if (!digits(p))
            return fail_at(p, start, kErrNumber);
    }
    if (peek(p) == 'e' || peek(p) == 'E') {
        ++p->pos;
        plain = false;
        if (peek(p) == '+' || peek(p) == '-')
            ++p->pos;
        if (!digits(p))
            return fail_at(p, start, kErrNumber);
    }
    node->is_integer = plain && integer_of(p->text, start, p->pos, &node->integer);
    node->value = p->doc->strings.size();
    node->value_len = p->pos - start;
    GrowArray<char> *out = &p->doc->strings;
    if (!out->append_all(p->text + start, p->pos - start) || !out->append('\0'))
        return fail_at(p, start, kJsonOutOfMemory);
    return 0;
}

/// Reads the literal true, false or null at p->pos into `node`.
int read_literal(Parser *p, JsonNode *node)
{
    static const char *const kWords[] = {"null", "false", "true"};
    static const JsonType kTypes[] = {JsonType::kNull, JsonType::kFalse, JsonType::kTrue};
    for (int i = 0; i < 3; ++i) {
        std::size_t n = std::strlen(kWords[i]);
        if (p->text[p->pos] == kWords[i][0]) {
            if (p->len - p->pos < n || std::memcmp(p->text + p->pos, kWords[i], n) != 0)
                return fail_at(p, p->pos, kErrLiteral);
            node->type = kTypes[i];
            p->pos += n;
            return 0;
        }
    }
    return fail_here(p, kErrValue);
}

/// Appends `node`, read from input offset `at`, as the last child of the
/// open container (when there is one).
int add_node(Parser *p, const JsonNode &node, std::size_t at)
{
    GrowArray<JsonNode> *nodes = &p->doc->nodes;
    std::size_t index = nodes->size();
    if (!nodes->append(node) || !p->at.append(at))
        return fail_at(p, at, kJsonOutOfMemory);
    if (p->depth == 0)
        return 0;
    Frame *f = &p->stack[p->depth - 1];
    if (f->last == 0)
        (*nodes)[f->node].first_child = index;
    else
        (*nodes)[f->last].next_sibling = index;
    f->last = index;
    ++(*nodes)[f->node].children;
    return 0;
}

/// Reads the value at p->pos (after the key at `key_at` of a member, whose
/// text is at `key` in the strings, or SIZE_MAX). An array or object is
/// opened: its items follow in the loop of json_parse.
int read_value(Parser *p, std::size_t key, std::size_t key_at)
{
    JsonNode node{};
    node.key = key;
    node.value = SIZE_MAX;
    node.line = p->line;
    std::size_t at = key == SIZE_MAX ? p->pos : key_at;
    int c = peek(p);
    if (c == '[' || c == '{') {
        if (p->depth == kJsonMaxDepth)
            return fail_at(p, p->pos, kErrDepth);
        node.type = c == '[' ? JsonType::kArray : JsonType::kObject;
        ++p->pos;
        if (add_node(p, node, at) != 0)
            return -1;
        p->stack[p->depth++] = Frame{p->doc->nodes.size() - 1, 0, c == '{'};
        return 0;
    }
    int status;
    if (c == '"') {
        node.type = JsonType::kString;
        status = read_string(p, &node.value, &node.value_len);
    } else if (c == '-' || (c >= '0' && c <= '9')) {
        node.type = JsonType::kNumber;
        status = read_number(p, &node);
    } else if (c == 't' || c == 'f' || c == 'n') {
        status = read_literal(p, &node);
    } else {
        status = fail_here(p, kErrValue);
    }
    return status != 0 ? -1 : add_node(p, node, at);
}

/// The first key of the object at node `object` that an earlier member
/// already has: its error, or 0 when every key differs.
int check_keys(Parser *p, std::size_t object)
{
    const JsonDoc *doc = p->doc;
    p->members.clear();
    for (std::size_t i = doc->nodes[object].first_child; i != 0; i = doc->nodes[i].next_sibling) {
        if (!p->members.append(i))
            return fail_at(p, p->at[object], kJsonOutOfMemory);
    }
    auto key_of = [doc](std::size_t i) { return doc->strings.data() + doc->nodes[i].key; };
    auto before = [&](std::size_t a, std::size_t b) {
        int order = std::strcmp(key_of(a), key_of(b));
        return order != 0 ? order < 0 : a < b;
    };
    std::sort(p->members.data(), p->members.data() + p->members.size(), before);
    std::size_t repeated = SIZE_MAX;  // the earliest member whose key came before
    for (std::size_t i = 1; i < p->members.size(); ++i) {
        std::size_t m = p->members[i];
        if (m < repeated && std::strcmp(key_of(p->members[i - 1]), key_of(m)) == 0)
            repeated = m;
    }
    if (repeated == SIZE_MAX)
        return 0;
    char shown[kShownKey];
    std::snprintf(p->doc->error_text, sizeof p->doc->error_text, kDuplicateFormat,
                  shown_name(key_of(repeated), shown, sizeof shown));
    return fail_at(p, p->at[repeated], p->doc->error_text);
}

/// Reads what follows in the innermost open container: its end, or the next
/// item or member.
int read_next(Parser *p)
{
    skip_space(p);
    Frame *f = &p->stack[p->depth - 1];
    const char close = f->object ? '}' : ']';
    if (peek(p) == close) {
        ++p->pos;
        --p->depth;
        return f->object ? check_keys(p, f->node) : 0;
    }
    if (f->last != 0) {
        if (peek(p) != ',')
            return fail_here(p, f->object ? kErrAfterMember : kErrAfterItem);
        ++p->pos;
        skip_space(p);
    }
    if (!f->object)
        return read_value(p, SIZE_MAX, 0);
    std::size_t key_at = p->pos, key = 0, key_len = 0;
    if (peek(p) != '"')
        return fail_here(p, kErrKey);
    if (read_string(p, &key, &key_len) != 0)
        return -1;
    skip_space(p);
    if (peek(p) != ':')
        return fail_here(p, kErrColon);
    ++p->pos;
    skip_space(p);
    return read_value(p, key, key_at);
}
}  // namespace

int json_parse(const char *text, std::size_t len, JsonDoc *doc)
{
    doc->nodes.clear();
    doc->strings.clear();
    doc->error = nullptr;
    doc->error_line = doc->error_column = 0;
    Parser p{text, len, 0, 1, doc, {}, {}, {}, 0};
    if (len > kJsonMaxInput)
        return fail_at(&p, 0, kErrTooLarge);
    GrowArrayFreed<std::size_t> free_at{&p.at};
    GrowArrayFreed<std::size_t> free_members{&p.members};
    skip_space(&p);
    if (read_value(&p, SIZE_MAX, 0) != 0)
        return -1;
    while (p.depth > 0) {
        if (read_next(&p) != 0)
            return -1;
    }
    skip_space(&p);
    return p.pos == len ? 0 : fail_at(&p, p.pos, kErrAfterDocument);
}

void json_free(JsonDoc *doc)
{
    doc->nodes.free();
    doc->strings.free();
}

const JsonNode *json_root(const JsonDoc &doc)
{
    return doc.nodes.size() > 0 ? &doc.nodes[0] : nullptr;
}

const JsonNode *json_first(const JsonDoc &doc, const JsonNode *parent)
{
    if (parent == nullptr || parent->first_child == 0)
        return nullptr;
    return &doc.nodes[parent->first_child];
}

const JsonNode *json_next(const JsonDoc &doc, const JsonNode *node)
{
    return node != nullptr && node->next_sibling != 0 ? &doc.nodes[node->next_sibling] : nullptr;
}

const char *json_key(const JsonDoc &doc, const JsonNode *member)
{
    if (member == nullptr || member->key == SIZE_MAX)
        return nullptr;
    return doc.strings.data() + member->key;
}

const char *json_string(const JsonDoc &doc, const JsonNode *node)
{
    if (node == nullptr || node->type != JsonType::kString)
        return nullptr;
    return doc.strings.data() + node->value;
}

const JsonNode *json_member(const JsonDoc &doc, const JsonNode *obj, const char *key)
{
    if (obj == nullptr || obj->type != JsonType::kObject)
        return nullptr;
    for (const JsonNode *m = json_first(doc, obj); m != nullptr; m = json_next(doc, m)) {
        if (std::strcmp(doc.strings.data() + m->key, key) == 0)
            return m;
    }
    return nullptr;
}
