// Shared test support: helper processes made of the test binary itself, and
// scratch folders.
#pragma once

#include <string>

namespace QuilletTest {

using HelperFunction = int (*)(int argc, char** argv);

/// Registers a helper mode at static-initialisation time:
///   QUILLET_TEST_HELPER(hang) { pause(); return 0; }
/// The test binary then runs it as: <self> --quillet-helper hang ARGS...
struct HelperRegistration {
    HelperRegistration(const char* name, HelperFunction function);
};

#define QUILLET_TEST_HELPER(name)                                                  \
    static int QuilletHelper_##name(int argc, char** argv);                       \
    static ::QuilletTest::HelperRegistration quilletHelperReg_##name(#name,       \
                                                                   QuilletHelper_##name); \
    static int QuilletHelper_##name([[maybe_unused]] int argc, [[maybe_unused]] char** argv)

/// The path of the running test binary, for starting helper processes.
std::string& SelfPath();

}  // namespace QuilletTest
