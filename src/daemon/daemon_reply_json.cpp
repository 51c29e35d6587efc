// The path groups of `show maps json` or `show map NAME json`, walked
// token by token to a bounded depth without recursion (daemon_groups in
// daemon_reply.hpp).
#include "daemon/daemon_reply.hpp"

#include <cstring>

namespace {

/// Beyond the depth of any reply the daemon writes (maps, groups, paths).
constexpr int kMaxDepth = 16;
constexpr std::size_t kKeySize = 32;

/// White space between the tokens of the daemon's JSON.
bool space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

/// Copies text[0..len) into a field of `size` bytes; false when it does not
/// fit or holds a NUL, which no field of a reply may.
bool take(char *dst, std::size_t size, const char *text, std::size_t len)
{
    if (len >= size || std::memchr(text, '\0', len) != nullptr)
        return false;
    std::memcpy(dst, text, len);
    dst[len] = '\0';
    return true;
}

enum Role { kOther, kGroupsArray, kGroup, kPathsArray, kPath };

struct Frame {
    bool object;
    Role role;
};

/// Where the JSON walk stands.
struct JsonWalk {
    const char *text = nullptr;
    std::size_t len = 0;
    std::size_t pos = 0;
    Frame frames[kMaxDepth] = {};
    int depth = 0;
    bool expect_key = false;  ///< in an object, after "{" or ","
    char key[kKeySize] = {};  ///< the key whose value comes next
    DaemonGroup group = kGroupUnknown;
    char dev[kDaemonDevSize] = {};
    const GroupVisitor *visitor = nullptr;
};

bool key_is(const JsonWalk &w, const char *name) { return std::strcmp(w.key, name) == 0; }

Role role_of(const JsonWalk &w, bool object)
{
    Role parent = w.depth > 0 ? w.frames[w.depth - 1].role : kOther;
    bool in_object = w.depth > 0 && w.frames[w.depth - 1].object;
    if (object)
        return parent == kGroupsArray ? kGroup : parent == kPathsArray ? kPath : kOther;
    if (in_object && parent == kOther && key_is(w, "path_groups"))
        return kGroupsArray;
    if (in_object && parent == kGroup && key_is(w, "paths"))
        return kPathsArray;
    return kOther;
}

bool open_frame(JsonWalk *w, bool object)
{
    if (w->depth == kMaxDepth)
        return false;
    Role role = role_of(*w, object);
    if (role == kGroup)
        w->group = kGroupUnknown;
    if (role == kPath)
        w->dev[0] = '\0';
    w->frames[w->depth++] = {object, role};
    w->expect_key = object;
    return true;
}

bool close_frame(JsonWalk *w, bool object)
{
    if (w->depth == 0 || w->frames[w->depth - 1].object != object)
        return false;
    Role role = w->frames[--w->depth].role;
    if (role == kPath && w->dev[0] != '\0')
        w->visitor->path(w->visitor->context, w->dev, w->group);
    w->expect_key = false;
    return true;
}

/// A string from its opening quote; its raw text (escapes left as they are).
bool read_string(JsonWalk *w, const char **text, std::size_t *len)
{
    std::size_t start = ++w->pos;
    while (w->pos < w->len && w->text[w->pos] != '"')
        w->pos += w->text[w->pos] == '\\' ? 2 : 1;
    if (w->pos >= w->len)
        return false;
    *text = w->text + start;
    *len = w->pos++ - start;
    return true;
}

DaemonGroup group_of(const char *text, std::size_t len)
{
    static constexpr struct {
        const char *word;
        DaemonGroup group;
    } kStates[] = {{"active", kGroupActive}, {"enabled", kGroupEnabled}, {"disabled", kGroupDisabled}};
    for (const auto &state : kStates) {
        if (len == std::strlen(state.word) && std::memcmp(text, state.word, len) == 0)
            return state.group;
    }
    return kGroupUnknown;
}

void string_value(JsonWalk *w, const char *text, std::size_t len)
{
    Role role = w->depth > 0 ? w->frames[w->depth - 1].role : kOther;
    if (role == kGroup && key_is(*w, "dm_st")) {
        w->group = group_of(text, len);
    } else if (role == kPath && key_is(*w, "dev") && !take(w->dev, sizeof w->dev, text, len)) {
        w->dev[0] = '\0';
    }
}

bool read_string_token(JsonWalk *w)
{
    const char *text = nullptr;
    std::size_t len = 0;
    if (!read_string(w, &text, &len))
        return false;
    if (w->expect_key) {
        // A key too long for any key looked for matches none.
        if (!take(w->key, sizeof w->key, text, len))
            w->key[0] = '\0';
        w->expect_key = false;
        return true;
    }
    string_value(w, text, len);
    return true;
}

bool bare_char(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
           c == '-' || c == '+';
}

/// One token from w->pos on.
bool step(JsonWalk *w)
{
    char c = w->text[w->pos];
    switch (c) {
    case '{':
    case '[':
        ++w->pos;
        return open_frame(w, c == '{');
    case '}':
    case ']':
        ++w->pos;
        return close_frame(w, c == '}');
    case ',':
        ++w->pos;
        w->expect_key = w->depth > 0 && w->frames[w->depth - 1].object;
        return true;
    case ':':
        ++w->pos;
        return true;
    case '"':
        return read_string_token(w);
    default:
        if (!bare_char(c))
            return false;
        while (w->pos < w->len && bare_char(w->text[w->pos]))
            ++w->pos;
        return true;
    }
}

}  // namespace

int daemon_groups(const char *text, std::size_t len, const GroupVisitor &visitor)
{
    JsonWalk w;
    w.text = text;
    w.len = len;
    w.visitor = &visitor;
    bool seen = false;
    while (w.pos < len) {
        if (space(text[w.pos])) {
            ++w.pos;
            continue;
        }
        // The daemon's JSON is one object: a bare word ("fail", "timeout")
        // or anything after the object's end is no view.
        if (seen && w.depth == 0)
            return -1;
        if (!seen && text[w.pos] != '{')
            return -1;
        if (!step(&w))
            return -1;
        seen = true;
    }
    return seen && w.depth == 0 ? 0 : -1;
}
