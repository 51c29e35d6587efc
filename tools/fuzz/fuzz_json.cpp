// The JSON reader on any bytes.
//
// Invariants: json_parse gives 0 or -1. A refusal names its reason and a
// line and column inside the input (or just after it). A document holds one
// tree in which every node is reached exactly once, no deeper than 32, with
// as many children as its count says; members have keys, unique within
// their object, and items none; strings are NUL-free UTF-8 of their length;
// numbers are texts strtod reads whole, with the value strtoll gives when it
// is a plain integer that fits. Written out again and read back, the tree is
// the same. The reader agrees with a second one (the JSON library of the
// tests) except where it refuses more: a key twice, deep nesting, \u0000, a
// byte order mark; or where the other refuses numbers beyond a double.

#include "fuzz_support.hpp"

#include "base/json_read.hpp"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

namespace {
struct Walk {
    int lines = 1;  ///< of the input
    std::size_t visited = 0;
    bool huge_number = false;  ///< a number beyond a double
};

/// True when `s` is well-formed UTF-8, decoded here by code point value.
bool utf8_ok(const std::string &s)
{
    for (std::size_t i = 0; i < s.size();) {
        auto c = static_cast<unsigned char>(s[i]);
        int n = c < 0x80 ? 0 : (c & 0xe0) == 0xc0 ? 1 : (c & 0xf0) == 0xe0 ? 2
              : (c & 0xf8) == 0xf0 ? 3 : -1;  // continuation bytes
        if (n < 0 || s.size() - i <= static_cast<std::size_t>(n))
            return false;
        unsigned long cp = n == 0 ? c : c & (0x3f >> n);
        for (int k = 1; k <= n; ++k) {
            auto b = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
            if ((b & 0xc0) != 0x80)
                return false;
            cp = cp << 6 | (b & 0x3f);
        }
        static const unsigned long kLeast[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kLeast[n] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
            return false;
        i += static_cast<std::size_t>(n) + 1;
    }
    return true;
}

void check_number(const JsonDoc &doc, const JsonNode *node, Walk *walk)
{
    const char *text = doc.strings.data() + node->value;
    FUZZ_CHECK(std::strlen(text) == node->value_len, "a number's text is not its length");
    char *end = nullptr;
    double d = std::strtod(text, &end);
    FUZZ_CHECK(end == text + node->value_len, "a number's text is not a number");
    walk->huge_number |= std::isinf(d);
    bool plain = std::strpbrk(text, ".eE") == nullptr;
    errno = 0;
    long long v = std::strtoll(text, &end, 10);
    bool fits = plain && errno == 0;
    FUZZ_CHECK(node->is_integer == fits, "is_integer is not whether the integer fits");
    if (fits)
        FUZZ_CHECK(node->integer == v, "an integer's value differs from its text");
}

/// Checks the tree under `node` and writes it out as JSON into `out`.
void walk_node(const JsonDoc &doc, const JsonNode *node, int depth, Walk *walk, std::string *out)
{
    FUZZ_CHECK(depth <= 32, "a tree deeper than 32");
    FUZZ_CHECK(++walk->visited <= doc.nodes.size(), "a node reached twice");
    FUZZ_CHECK(node->line >= 1 && node->line <= walk->lines, "a line outside the input");
    switch (node->type) {
    case JsonType::kNull: *out += "null"; return;
    case JsonType::kFalse: *out += "false"; return;
    case JsonType::kTrue: *out += "true"; return;
    case JsonType::kNumber:
        check_number(doc, node, walk);
        *out += doc.strings.data() + node->value;
        return;
    case JsonType::kString: {
        std::string s = json_string(doc, node);
        FUZZ_CHECK(s.size() == node->value_len && utf8_ok(s),
                   "a string is not UTF-8 of its length");
        *out += nlohmann::json(s).dump();
        return;
    }
    case JsonType::kArray:
    case JsonType::kObject: break;
    default: FUZZ_CHECK(false, "a node of no type");
    }
    bool object = node->type == JsonType::kObject;
    std::set<std::string> keys;
    std::size_t count = 0;
    *out += object ? '{' : '[';
    for (const JsonNode *c = json_first(doc, node); c != nullptr; c = json_next(doc, c), ++count) {
        FUZZ_CHECK(c > doc.nodes.data() && c < doc.nodes.data() + doc.nodes.size(),
                   "a child outside the nodes");
        FUZZ_CHECK((json_key(doc, c) != nullptr) == object, "a key on an item or none on a member");
        *out += count > 0 ? "," : "";
        if (object) {
            std::string key = json_key(doc, c);
            FUZZ_CHECK(utf8_ok(key) && keys.insert(key).second, "a key twice or not UTF-8");
            FUZZ_CHECK(json_member(doc, node, key.c_str()) == c,
                       "json_member does not find a member");
            *out += nlohmann::json(key).dump() + ':';
        }
        walk_node(doc, c, depth + 1, walk, out);
    }
    FUZZ_CHECK(count == node->children, "children not as counted");
    *out += object ? '}' : ']';
}

/// True when a refusal's line and column name a byte of the input, or its end.
bool inside(const uint8_t *data, std::size_t size, int line, int column)
{
    std::size_t start = 0;
    for (int l = 1; l < line; ++l) {
        const void *lf = std::memchr(data + start, '\n', size - start);
        if (lf == nullptr)
            return false;
        start = static_cast<std::size_t>(static_cast<const uint8_t *>(lf) - data) + 1;
    }
    std::size_t before = static_cast<std::size_t>(column) - 1;  // bytes of the line before it
    return before <= size - start && std::memchr(data + start, '\n', before) == nullptr;
}

bool refused_beyond_the_rfc(const JsonDoc &doc, const uint8_t *data, std::size_t size)
{
    static const char *const kExtra[] = {"nesting deeper than 32", "\\u0000 in string"};
    for (const char *e : kExtra) {
        if (std::strcmp(doc.error, e) == 0)
            return true;
    }
    return std::strncmp(doc.error, "duplicate key \"", 15) == 0 ||
           (size >= 3 && std::memcmp(data, "\xef\xbb\xbf", 3) == 0);
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    JsonDoc doc;
    int result = json_parse(reinterpret_cast<const char *>(data), size, &doc);
    FUZZ_CHECK(result == 0 || result == -1, "json_parse gave neither 0 nor -1");
    // The other reader takes a NUL byte for the end of input; a JSON text
    // holds none.
    bool nul = std::memchr(data, '\0', size) != nullptr;
    FUZZ_CHECK(result != 0 || !nul, "accepted a NUL byte");
    bool other = !nul && nlohmann::json::accept(data, data + size);
    if (result != 0) {
        FUZZ_CHECK(doc.error != nullptr && doc.error[0] != '\0', "a refusal without a reason");
        FUZZ_CHECK(doc.error_line >= 1 && doc.error_column >= 1, "a refusal before the first byte");
        FUZZ_CHECK(inside(data, size, doc.error_line, doc.error_column),
                   "a refusal's place outside the input");
        FUZZ_CHECK(!other || refused_beyond_the_rfc(doc, data, size),
                   "refused what RFC 8259 allows");
        json_free(&doc);
        return 0;
    }
    Walk walk;
    for (std::size_t i = 0; i < size; ++i)
        walk.lines += data[i] == '\n';
    std::string written;
    walk_node(doc, json_root(doc), 1, &walk, &written);
    FUZZ_CHECK(walk.visited == doc.nodes.size(), "a node outside the tree");
    FUZZ_CHECK(other || walk.huge_number, "accepted what RFC 8259 refuses");

    JsonDoc again;
    FUZZ_CHECK(json_parse(written.data(), written.size(), &again) == 0,
               "the tree written out is refused");
    Walk walk_again;
    std::string rewritten;
    walk_node(again, json_root(again), 1, &walk_again, &rewritten);
    FUZZ_CHECK(rewritten == written && again.nodes.size() == doc.nodes.size(),
               "the tree written out reads back otherwise");
    json_free(&again);
    json_free(&doc);
    return 0;
}
