#include "base/json_read.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

/// The tree under `node` as compact text: keys bare, strings quoted as
/// decoded, numbers as written with "#value" when they are integers. Every
/// key must also be what json_member finds.
std::string walked(const JsonDoc &doc, const JsonNode *node)
{
    switch (node->type) {
    case JsonType::kNull: return "null";
    case JsonType::kFalse: return "false";
    case JsonType::kTrue: return "true";
    case JsonType::kString: return '"' + std::string(json_string(doc, node)) + '"';
    case JsonType::kNumber: {
        std::string text(doc.strings.data() + node->value, node->value_len);
        return node->is_integer ? text + '#' + std::to_string(node->integer) : text;
    }
    default: break;
    }
    bool object = node->type == JsonType::kObject;
    std::string out(1, object ? '{' : '[');
    std::size_t count = 0;
    for (const JsonNode *c = json_first(doc, node); c != nullptr; c = json_next(doc, c), ++count) {
        out += count == 0 ? "" : ",";
        EXPECT_EQ(json_key(doc, c) != nullptr, object);
        if (object) {
            out += std::string(json_key(doc, c)) + ':';
            EXPECT_EQ(json_member(doc, node, json_key(doc, c)), c);
        }
        out += walked(doc, c);
    }
    EXPECT_EQ(count, node->children);
    EXPECT_EQ(json_member(doc, node, "absent"), nullptr);
    return out + (object ? '}' : ']');
}

std::string nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// Documents of every kind of value, walked back; lines are those of the
// nodes in document order ("." for the line of the node before). One
// document reads them all in turn.
TEST(JsonRead, WalksWhatItAccepts)
{
    struct Case {
        std::string text, tree, lines;
    } cases[] = {
        {"null", "null", "1"},
        {" \t\r\n true \n", "true", "2"},
        {"false", "false", "1"},
        {"[0,-0,12,-7]", "[0#0,-0#0,12#12,-7#-7]", "1...."},
        {"[9223372036854775807,-9223372036854775808,9223372036854775808]",
         "[9223372036854775807#9223372036854775807,-9223372036854775808#-9223372036854775808,"
         "9223372036854775808]", "1..."},
        {"[1.5e-3,1E+2,0.0,2e0]", "[1.5e-3,1E+2,0.0,2e0]", "1...."},
        {R"("a\"\\\/\b\f\n\r\tz")", "\"a\"\\/\b\f\n\r\tz\"", "1"},
        {R"("\u00e9\u20AC\ud83d\ude00 é")", "\"\u00e9\u20ac\U0001f600 \u00e9\"", "1"},
        {"[[],{},\"\"]", "[[],{},\"\"]", "1..."},
        {R"({"a":[1,{"b":null}],"c":"d","":true})", "{a:[1#1,{b:null}],c:\"d\",:true}",
         "1......"},
        {R"({"a":{"a":1},"b":{"a":2}})", "{a:{a:1#1},b:{a:2#2}}", "1...."},
        {"[\n1,\n  {\"k\":\n\"v\"}\r\n]", "[1#1,{k:\"v\"}]", "1 2 3 4"},
        {nested(32), nested(32), "1" + std::string(31, '.')},
    };
    JsonDoc doc;
    for (const Case &c : cases) {
        ASSERT_EQ(json_parse(c.text.data(), c.text.size(), &doc), 0) << c.text << ": " << doc.error;
        EXPECT_EQ(walked(doc, json_root(doc)), c.tree) << c.text;
        std::string lines = std::to_string(doc.nodes[0].line);
        for (std::size_t i = 1; i < doc.nodes.size(); ++i) {
            int line = doc.nodes[i].line;
            lines += line == doc.nodes[i - 1].line ? "." : " " + std::to_string(line);
        }
        EXPECT_EQ(lines, c.lines) << c.text;
        EXPECT_EQ(json_key(doc, json_root(doc)), nullptr);
    }
    json_free(&doc);
    EXPECT_EQ(json_root(doc), nullptr);
}

// What RFC 8259 refuses, and what the reader refuses beyond it, with the
// error's text and place; the length given is all that is read.
TEST(JsonRead, RefusesWithWhyAndWhere)
{
    struct Case {
        std::string text;
        const char *error;
        int line, column;
    } cases[] = {
        {"", "unexpected end of input", 1, 1},
        {"  \n ", "unexpected end of input", 2, 2},
        {"[1", "unexpected end of input", 1, 3},
        {"[1,]", "expected a value", 1, 4},
        {"{\"a\":1,}", "expected a key", 1, 8},
        {"{'a':1}", "expected a key", 1, 2},
        {"{\"a\" 1}", "expected ':'", 1, 6},
        {"[1 2]", "expected ',' or ']'", 1, 4},
        {"{\"a\":1 \"b\":2}", "expected ',' or '}'", 1, 8},
        {"1 2", "unexpected text after the value", 1, 3},
        {std::string("1\0", 2), "unexpected text after the value", 1, 2},
        {"// note\n1", "expected a value", 1, 1},
        {"\xef\xbb\xbf{}", "expected a value", 1, 1},
        {"[.5]", "expected a value", 1, 2},
        {"NaN", "expected a value", 1, 1},
        {"[+1]", "expected a value", 1, 2},
        {"tru", "invalid literal", 1, 1},
        {"[nul l]", "invalid literal", 1, 2},
        {"01", "invalid number", 1, 1},
        {"[-]", "invalid number", 1, 2},
        {"1.", "invalid number", 1, 1},
        {"-1e+", "invalid number", 1, 1},
        {"\"abc", "unterminated string", 1, 1},
        {"\"a\nb\"", "control character in string", 1, 3},
        {"\"\xff\"", "invalid UTF-8 in string", 1, 2},
        {"\"a\xc0\xaf\"", "invalid UTF-8 in string", 1, 3},     // overlong
        {"\"\xed\xa0\x80\"", "invalid UTF-8 in string", 1, 2},  // a surrogate
        {"\"\xf4\x90\x80\x80\"", "invalid UTF-8 in string", 1, 2},  // past U+10FFFF
        {"\"\xe2\x82\"", "invalid UTF-8 in string", 1, 2},
        {"\"\\x\"", "invalid escape", 1, 2},
        {"\"\\", "invalid escape", 1, 2},
        {"\"\\u12g4\"", "invalid \\u escape", 1, 2},
        {"\"\\u12", "invalid \\u escape", 1, 2},
        {"\"\\ud800\"", "lone surrogate in \\u escape", 1, 2},
        {"\"\\udc00\\ud800\"", "lone surrogate in \\u escape", 1, 2},
        {"\"ab\\ud800\\u0041\"", "lone surrogate in \\u escape", 1, 4},
        {"\"\\u0000\"", "\\u0000 in string", 1, 2},
        {"{\"a\":1,\n \"b\":{\"a\":2},\n \"a\":3,\"b\":4}", "duplicate key \"a\"", 3, 2},
        {"{\"\xc3\xa9\":1,\"\\u00e9\":2}", "duplicate key \"??\"", 1, 9},
        {nested(33), "nesting deeper than 32", 1, 33},
        {"[" + nested(32) + "]", "nesting deeper than 32", 1, 33},
        {std::string(std::size_t{16} << 20, ' ') + "1", "input over 16 MiB", 1, 1},
    };
    JsonDoc doc;
    for (const Case &c : cases) {
        ASSERT_EQ(json_parse(c.text.data(), c.text.size(), &doc), -1) << c.text;
        EXPECT_STREQ(doc.error, c.error) << c.text;
        EXPECT_EQ(doc.error_line, c.line) << c.text;
        EXPECT_EQ(doc.error_column, c.column) << c.text;
    }
    ASSERT_EQ(json_parse("[1,2]", 3, &doc), -1);
    EXPECT_STREQ(doc.error, "unexpected end of input");
    EXPECT_EQ(doc.error_column, 4);
    json_free(&doc);
}

}  // namespace
