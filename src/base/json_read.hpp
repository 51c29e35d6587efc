// A strict reader of one JSON document (RFC 8259) into a flat table of nodes.
// The input is untrusted: it is read in one pass without recursion, never
// beyond its length, in time that grows with its size as n log n at worst
// (the duplicate keys of an object are found by sorting them when it
// closes). A document is made by json_parse, walked with json_first and
// json_next, and freed with json_free. Beyond the RFC it refuses what the
// programs cannot keep: a \u0000 (strings are C strings), a key twice in one
// object, nesting deeper than kJsonMaxDepth and input over kJsonMaxInput.
#pragma once

#include "base/grow_array.hpp"

#include <cstddef>

constexpr int kJsonMaxDepth = 32;
constexpr std::size_t kJsonMaxInput = std::size_t{16} << 20;

enum class JsonType : unsigned char { kNull, kFalse, kTrue, kNumber, kString, kArray, kObject };

/// One value of a parsed document. Children of an array or object are found with
/// json_first/json_next; all positions are indexes into JsonDoc's arrays (stable as it grows).
struct JsonNode {
    JsonType type;
    std::size_t first_child;  ///< index of its first child node, 0 when none (node 0 is the root)
    std::size_t next_sibling; ///< 0 when none
    std::size_t children;     ///< number of children (array items / object members)
    std::size_t key;          ///< a member's key: offset into `strings` (NUL-ended), or SIZE_MAX
    std::size_t value;        ///< a string: offset into `strings` (NUL-ended, decoded to UTF-8);
                              ///< a number: offset of its text as written (NUL-ended copy);
                              ///< SIZE_MAX for the other types
    std::size_t value_len;    ///< bytes of the decoded string / the number's text
    long long integer;        ///< a number that is an integer within long long (no fraction,
                              ///< no exponent)
    bool is_integer;
    int line;                 ///< 1-based line of the value's first byte in the input
};

struct JsonDoc {
    GrowArray<JsonNode> nodes;
    GrowArray<char> strings;
    /// Why the parse failed, e.g. "expected ',' or '}'": static text, or
    /// error_text for a message that names a key (so a copy of a failed
    /// document must not outlive the original).
    const char *error = nullptr;
    int error_line = 0;          ///< 1-based
    int error_column = 0;        ///< 1-based, in bytes
    char error_text[80] = {};
};

/// Parses text[0..len). 0 with the document's nodes (root = node 0), or -1 with error/line/column
/// set (the nodes then undefined but freeable). Never reads beyond len; text need not be NUL-ended.
/// A document parsed before is emptied first (its room kept).
int json_parse(const char *text, std::size_t len, JsonDoc *doc);
/// Frees the nodes and strings; the document is then empty and may parse again.
void json_free(JsonDoc *doc);
/// Node 0, or nullptr when the document holds none.
const JsonNode *json_root(const JsonDoc &doc);
const JsonNode *json_first(const JsonDoc &doc, const JsonNode *parent);   // nullptr when none
const JsonNode *json_next(const JsonDoc &doc, const JsonNode *node);      // nullptr when none
const char *json_key(const JsonDoc &doc, const JsonNode *member);         // nullptr for non-members
const char *json_string(const JsonDoc &doc, const JsonNode *node);        // nullptr unless kString
/// The member of object `obj` named `key`, or nullptr (also when `obj` is
/// no object). A walk over the members: meant for the few names a caller knows.
const JsonNode *json_member(const JsonDoc &doc, const JsonNode *obj, const char *key);
