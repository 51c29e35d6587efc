// The controller-port reply of READ BUFFER id 0x40, of any length.
//
// Invariants: cp is -1..3; the result is 0 exactly when cp is 0..3 and -1
// exactly when cp is -1; and both agree with the reply's layout, decoded here
// independently: controller 1 or 2 in byte 5, port 1 or 2 in byte 4, 0xF1
// in byte 6 (controller 1) or byte 7 (controller 2).

#include "fuzz_support.hpp"

#include "probe/grelt.hpp"

namespace {
int expected_cp(const uint8_t *reply, size_t size)
{
    if (size < 8)
        return -1;
    int controller = reply[5];
    int port = reply[4];
    if ((controller != 1 && controller != 2) || (port != 1 && port != 2))
        return -1;
    if (reply[controller == 1 ? 6 : 7] != 0xf1)
        return -1;
    return (controller - 1) * 2 + (port - 1);
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int cp = 99;
    int result = grelt_get_controller_port(data, static_cast<int>(size), &cp);
    FUZZ_CHECK(cp >= -1 && cp <= 3, "cp outside -1..3");
    FUZZ_CHECK(result == (cp >= 0 ? 0 : -1), "result and cp disagree");
    FUZZ_CHECK(cp == expected_cp(data, size), "cp differs from the reply's layout");
    return 0;
}
