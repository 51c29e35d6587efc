// The identification page decoders on a page of any size and content, as a
// broken or hostile device might answer INQUIRY page 0x83.
//
// Invariants: nothing is read outside the page (the sanitizers watch the
// exact-size input); a page without designator bytes gives no wwid (and
// leaves the field alone), any other one a wwid NUL-terminated within its
// field, of the type digit and at least one byte in hexadecimal digits;
// lunref is 0..1023; an ASCII descriptor, when one is found, lies with its
// header inside the page and is one (code set 2, type 0); the alias is
// NUL-terminated within its field and holds printable characters without
// blanks, or is the placeholder with the result 0.

#include "fuzz_support.hpp"

#include "probe/grelt.hpp"
#include "base/pathinfo.hpp"

#include <algorithm>
#include <cstring>

namespace {
bool hex_only(const char *text)
{
    for (; *text != '\0'; ++text) {
        if (!((*text >= '0' && *text <= '9') || (*text >= 'a' && *text <= 'f')))
            return false;
    }
    return true;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const int page_size = static_cast<int>(size);

    // The designator's bytes within the page, decoded independently: from
    // byte 8, as many as byte 7 says, cut where the page length or the
    // buffer ends.
    const int page_end = size < 4 ? 0 : std::min<int>(data[2] * 256 + data[3] + 4, page_size);
    const int designator_end = size < 8 ? 8 : std::min(8 + data[7], page_end);
    char wwid[kWwidSize];
    std::memset(wwid, 0x5a, sizeof wwid);
    int decoded = grelt_get_dev_wwid(data, page_size, wwid, static_cast<int>(kWwidSize));
    if (designator_end <= 8) {
        FUZZ_CHECK(decoded == -1, "a page without designator bytes gave a wwid");
        for (char c : wwid)
            FUZZ_CHECK(c == 0x5a, "a failed wwid step wrote into the field");
    } else {
        FUZZ_CHECK(decoded == 0, "the wwid step failed on a page with designator bytes");
        FUZZ_CHECK(fuzz_terminated(wwid, kWwidSize), "wwid not terminated within its field");
        FUZZ_CHECK(std::strlen(wwid) >= 3 && hex_only(wwid),
                   "wwid not a type digit and designator bytes in hex");
    }

    pathinfo rec;
    std::memset(&rec, 0, sizeof rec);
    rec.lunref = -1;
    grelt_get_dev_ref_id(data, page_size, &rec);
    FUZZ_CHECK(rec.lunref >= 0 && rec.lunref <= 1023, "lunref outside 0..1023");

    const unsigned char *descriptor = grelt_get_ascii_descriptor(data, page_size);
    if (descriptor != nullptr) {
        FUZZ_CHECK(descriptor >= data + 4 && descriptor + 4 <= data + size,
                   "ASCII descriptor header outside the page");
        FUZZ_CHECK((descriptor[0] & 0x0f) == 2 && (descriptor[1] & 0x0f) == 0,
                   "descriptor found is no ASCII vendor-specific one");
    }

    char text_name[kTextNameSize];
    std::memset(text_name, 0x5a, sizeof text_name);
    int named = grelt_get_dev_text_name(data, page_size, text_name);
    FUZZ_CHECK(named == 0 || named == 1, "alias step gave a result other than 0 or 1");
    FUZZ_CHECK(fuzz_terminated(text_name, kTextNameSize), "alias not terminated within its field");
    if (named == 0) {
        FUZZ_CHECK(std::strcmp(text_name, "???") == 0, "result 0 without the placeholder");
    } else {
        FUZZ_CHECK(text_name[0] != '\0', "result 1 with an empty alias");
        for (const char *c = text_name; *c != '\0'; ++c)
            FUZZ_CHECK(*c > 0x20 && *c < 0x7f, "alias holds a blank or a non-printable byte");
    }
    return 0;
}
