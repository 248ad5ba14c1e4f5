// ScopedEnv: sets or clears an environment variable for one test and puts it
// back afterwards; WriteStoreWith: the build's preference store with one value
// changed, for a test (or its helper process) to point QUILLET_PREFERENCES at.
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>

#include "support/System.h"

namespace QuilletTest {

class ScopedEnv {
public:
    /// `value` null clears the variable.
    ScopedEnv(const char* name, const char* value) : name(name)
    {
        if (const char* old = std::getenv(name))
            saved = old, hadValue = true;
        SetEnvironmentValue(name, value);
    }
    ~ScopedEnv()
    {
        SetEnvironmentValue(name, hadValue ? saved.c_str() : nullptr);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name, saved;
    bool hadValue = false;
};

/// Writes the build's store to path with the line of name set to value.
inline void WriteStoreWith(const std::string& path, const std::string& name, const std::string& value)
{
    std::ifstream buildStore(QUILLET_BUILD_STORE);
    std::ofstream store(path);
    for (std::string line; std::getline(buildStore, line);)
        store << (line.rfind(name + "=", 0) == 0 ? name + "=" + value : line) << "\n";
}

}  // namespace QuilletTest
