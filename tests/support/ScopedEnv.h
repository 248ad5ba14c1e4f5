// ScopedEnv: sets or clears an environment variable for one test and puts it
// back afterwards.
#pragma once

#include <cstdlib>
#include <string>

namespace QuilletTest {

class ScopedEnv {
public:
    /// `value` null clears the variable.
    ScopedEnv(const char* name, const char* value) : name(name)
    {
        if (const char* old = std::getenv(name))
            saved = old, hadValue = true;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv()
    {
        if (hadValue)
            ::setenv(name.c_str(), saved.c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name, saved;
    bool hadValue = false;
};

}  // namespace QuilletTest
