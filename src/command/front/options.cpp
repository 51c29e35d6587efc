#include "command/front/options.hpp"

#include "base/text.hpp"
#include "command/drain/daemon_wait.hpp"
#include "command/fleet/fleet_apply.hpp"

#include <cstddef>
#include <cstring>

namespace {

bool is(const char *arg, const char *word) { return std::strcmp(arg, word) == 0; }

/// The words that end the scan with no argument of their own.
struct PlainWord {
    const char *text;
    TaldWord word;
};
constexpr PlainWord kPlainWords[] = {
    {"-V", TaldWord::kVersion},   {"--version", TaldWord::kVersion},
    {"-F", TaldWord::kFlush},     {"--Flush", TaldWord::kFlush},
    {"--flush", TaldWord::kFlush}, {"-l", TaldWord::kList},
    {"--list", TaldWord::kList},  {"--check", TaldWord::kCheck},
    {"--look", TaldWord::kLook},
};

/// "--alias" at argv[i], with `following` arguments after it.
TaldOption alias_option(char **argv, int i, int following)
{
    if (following < 2)
        return {TaldWord::kNeedAliasArgs, 0, false, nullptr, nullptr, nullptr};
    if (!is(argv[i + 1], "--get"))
        return {TaldWord::kAliasOther, 0, false, nullptr, nullptr, nullptr};
    return {TaldWord::kAliasGet, 0, false, nullptr, argv[i + 2], nullptr};
}

/// "--wait [SECONDS]" at argv[w], with `after` arguments after it, into
/// *option; false when it is not there.
bool wait_option(char **argv, int w, int after, TaldOption *option)
{
    if (!is(argv[w], "--wait"))
        return false;
    option->wait = kWaitDefaultSeconds;
    if (after < 1)
        return true;
    // Strictly a number: a bound that reads as anything else is refused
    // before the operation is carried out.
    const char *text = argv[w + 1];
    int seconds = 0;
    std::size_t n = 0;
    for (; text[n] >= '0' && text[n] <= '9' && seconds <= kWaitMaxSeconds; ++n)
        seconds = seconds * 10 + (text[n] - '0');
    bool good = n > 0 && text[n] == '\0' && seconds >= 1 && seconds <= kWaitMaxSeconds;
    option->word = good ? option->word : TaldWord::kBadWait;
    option->wait = good ? seconds : 0;
    return true;
}

/// "--prio" at argv[i], with `following` arguments after it.
TaldOption prio_option(char **argv, int i, int following)
{
    if (following < 1)
        return {TaldWord::kNeedPrioArgs, 0, false, nullptr, nullptr, nullptr};
    const char *operation = argv[i + 1];
    bool set = is(operation, "--set");
    if (set && following < 3)
        return {TaldWord::kNeedSetArgs, 0, false, nullptr, nullptr, nullptr};
    if (!set && following == 1)
        return {TaldWord::kNeedPrioPath, 0, false, nullptr, nullptr, nullptr};
    TaldOption option = {TaldWord::kPrio, 0, false, operation, argv[i + 2],
                         following >= 3 ? argv[i + 3] : nullptr};
    // The wait follows the operation's own arguments: "--set" takes a path
    // and a preference, "--get" a path.
    int own = set ? 3 : 2;
    if ((set || is(operation, "--get")) && following > own)
        wait_option(argv, i + own + 1, following - own - 1, &option);
    return option;
}

/// "--apply" at argv[i], with `following` arguments after it.
TaldOption apply_option(char **argv, int i, int following)
{
    if (following < 1)
        return {TaldWord::kNeedApplyFile, 0, false, nullptr, nullptr, nullptr};
    TaldOption option = {TaldWord::kApply, 0, false, nullptr, argv[i + 1], nullptr};
    for (int k = i + 2; k <= i + following; ++k) {
        if (is(argv[k], "--dry-run"))
            option.flags |= kApplyDryRun;
        else if (is(argv[k], "--prune"))
            option.flags |= kApplyPrune;
        else if (is(argv[k], "--strict"))
            option.flags |= kApplyStrict;
        else
            return {TaldWord::kBadApplyOption, 0, false, nullptr, nullptr, nullptr};
    }
    return option;
}

/// "--drain" at argv[i] and "--restore", with `following` arguments after
/// it: the controller, then "--wait [SECONDS]".
TaldOption drain_option(char **argv, int i, int following, bool drain)
{
    const char *controller = drain && following >= 1 ? argv[i + 1] : nullptr;
    if (drain && (controller == nullptr || (!is(controller, "C0") && !is(controller, "C1"))))
        return {TaldWord::kBadDrain, 0, false, nullptr, nullptr, nullptr};
    // Neither has a dry run: one asked for is refused, never carried out for real.
    for (int k = i + 1; k <= i + following; ++k) {
        if (is(argv[k], "--dry-run"))
            return {TaldWord::kDrainDryRun, 0, false, nullptr, nullptr, nullptr};
    }
    TaldOption option = {drain ? TaldWord::kDrain : TaldWord::kRestore, 0, false, nullptr,
                         controller, nullptr};
    int own = drain ? 1 : 0;
    if (following > own)
        wait_option(argv, i + own + 1, following - own - 1, &option);
    return option;
}

}  // namespace

TaldOption next_option(TaldScan *scan)
{
    for (; scan->next < scan->argc; ++scan->next) {
        int i = scan->next;
        const char *arg = scan->argv[i];
        int following = scan->argc - i - 1;
        if (is(arg, "-v")) {
            ++scan->next;
            if (following < 1)
                return {TaldWord::kNeedLevel, 0, false, nullptr, nullptr, nullptr};
            // The level stays in the scan: an option word given as the level
            // is carried out after the level it converts to.
            return {TaldWord::kLevel, int_from_text(scan->argv[i + 1]), false, nullptr, nullptr,
                    nullptr};
        }
        for (const PlainWord &plain : kPlainWords) {
            if (is(arg, plain.text)) {
                scan->next = scan->argc;
                bool json = plain.word == TaldWord::kList && following >= 1 &&
                            is(scan->argv[i + 1], "--json");
                return {plain.word, 0, json, nullptr, nullptr, nullptr};
            }
        }
        if (std::strncmp(arg, "--alias", 7) == 0) {
            scan->next = scan->argc;
            return alias_option(scan->argv, i, following);
        }
        if (is(arg, "--prio")) {
            scan->next = scan->argc;
            return prio_option(scan->argv, i, following);
        }
        if (is(arg, "--metrics")) {
            scan->next = scan->argc;
            return {TaldWord::kMetrics, 0, false, nullptr,
                    following >= 1 ? scan->argv[i + 1] : nullptr, nullptr};
        }
        if (is(arg, "--export")) {
            scan->next = scan->argc;
            return {TaldWord::kExport, 0, false, nullptr,
                    following >= 1 ? scan->argv[i + 1] : nullptr, nullptr};
        }
        if (is(arg, "--apply")) {
            scan->next = scan->argc;
            return apply_option(scan->argv, i, following);
        }
        if (is(arg, "--drain") || is(arg, "--restore")) {
            scan->next = scan->argc;
            return drain_option(scan->argv, i, following, is(arg, "--drain"));
        }
        if (is(arg, "--help") || is(arg, "-help")) {
            scan->next = scan->argc;
            return {TaldWord::kHelp, 0, false, nullptr, nullptr, nullptr};
        }
    }
    return {TaldWord::kEnd, 0, false, nullptr, nullptr, nullptr};
}

TaldOption line_scan(int argc, char **argv, GrowArray<int> *levels, bool *whole)
{
    TaldScan scan{argc, argv};
    TaldOption option = next_option(&scan);
    for (; option.word == TaldWord::kLevel; option = next_option(&scan)) {
        if (levels != nullptr && !levels->append(option.level))
            *whole = false;
    }
    return option;
}
