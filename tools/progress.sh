# Sourced by the tools whose steps run for minutes with their output in a
# log: `COMMAND 2>&1 | progress LABEL LOG` writes all of the output to LOG
# and prints, as "LABEL: ..." lines, only how far the step is: each phase as
# it begins (debootstrap's, debhelper's), every tenth of what apt, ninja or
# ctest count, and apt's summary of what it will fetch and install. A dozen
# or two lines a step: enough to see it is alive, not enough to flood a CI
# log. apt reports its counts only when asked: `-o APT::Status-Fd=1`.
progress() {
    awk -v label="$1" -v logfile="$2" '
        function say(text) { print label ": " text; fflush() }
        # A phase is told once, when it begins.
        function phase(text) { if (text != last_phase) say(text); last_phase = text }
        # count(KIND, N, TOTAL, TEXT): TEXT at every tenth of TOTAL reached.
        function count(kind, n, total, text,    tenth) {
            if (total <= 0) return
            if (total != totals[kind]) { totals[kind] = total; tenths[kind] = 0 }
            tenth = int(10 * n / total)
            if (tenth > tenths[kind]) { tenths[kind] = tenth; say(text) }
        }
        { print > logfile; fflush(logfile) }
        # apt: its plan, then its own percentages (APT::Status-Fd).
        /^[0-9]+ upgraded, [0-9]+ newly installed/ || /^Need to get / { say($0) }
        # "dlstatus:ITEM:PERCENT:TEXT", "pmstatus:PACKAGE:PERCENT:TEXT"; the
        # percent is the first field with a decimal point.
        /^(dl|pm)status:/ {
            n = split($0, f, ":")
            for (i = 2; i < n && f[i] !~ /^[0-9]+\.[0-9]+$/; i++) {}
            kind = f[1] == "dlstatus" ? "downloading" : "installing"
            count(kind, f[i], 100, kind " " int(f[i]) "%")
        }
        # debootstrap
        /^I: Retrieving (In)?Release/ { phase("fetching the release index") }
        /^I: Resolving dependencies/ { phase("resolving dependencies") }
        /^I: Retrieving / && !/Release|Packages/ {
            if (++fetched == 1) phase("downloading packages")
            else if (fetched % 50 == 0) say(fetched " packages downloaded")
        }
        /^I: Extracting / { phase("extracting packages") }
        /^I: (Installing core|Unpacking required|Configuring required|Unpacking the base|Configuring the base|Base system installed)/ {
            text = substr($0, 4); sub(/\.+$/, "", text); phase(tolower(substr(text, 1, 1)) substr(text, 2))
        }
        # dpkg-buildpackage and debhelper
        /^   (debian\/rules override_)?dh_auto_configure/ { phase("configuring (CMake)") }
        /^   (debian\/rules override_)?dh_auto_build/ { phase("building the programs") }
        /^   (debian\/rules override_)?dh_auto_test/ { phase("building and running the tests") }
        /^   (debian\/rules override_)?dh_auto_install/ { phase("installing into the package") }
        /^dpkg-deb: building package/ { phase("writing the package") }
        # ninja and ctest
        /^\[[0-9]+\/[0-9]+\] / {
            split(substr($1, 2), f, "/"); sub(/\]$/, "", f[2])
            count("ninja", f[1], f[2], "built " f[1] " of " f[2])
        }
        /^ *[0-9]+\/[0-9]+ Test +#/ {
            split($1, f, "/")
            count("ctest", f[1], f[2], "test " f[1] " of " f[2])
        }
    '
}
