// Test entry point. The test binary doubles as a helper process: started with
// "--quillet-helper NAME ARGS...", it runs the helper registered under NAME
// instead of the tests (see TestSupport.h).
#include "TestSupport.h"
#include "support/System.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

namespace QuilletTest {

std::map<std::string, HelperFunction>& Helpers()
{
    static std::map<std::string, HelperFunction> helpers;
    return helpers;
}

HelperRegistration::HelperRegistration(const char* name, HelperFunction function)
{
    Helpers()[name] = function;
}

std::string& SelfPath()
{
    static std::string path;
    return path;
}

}  // namespace QuilletTest

int main(int argc, char** argv)
{
    QuilletTest::SelfPath() = QuilletTest::RunningProgramPath();
    if (argc >= 3 && std::strcmp(argv[1], "--quillet-helper") == 0) {
        auto it = QuilletTest::Helpers().find(argv[2]);
        if (it == QuilletTest::Helpers().end())
            return 127;
        return it->second(argc - 3, argv + 3);
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
