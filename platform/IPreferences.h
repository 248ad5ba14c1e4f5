// IPreferences: the preference store (installation settings) of the base library.
#pragma once

#include <string>

namespace Quillet {

/// Read access to the preference store under one root. The process has one
/// store object (ZUtilities::GetPreferences); it is read on the thread that
/// starts jobs.
class IPreferences {
public:
    virtual ~IPreferences() = default;
    /// Selects the section that later lookups read.
    virtual void SetRoot(const std::wstring& root) = 0;
    /// True and the value when name is set under the root; a miss leaves value
    /// unchanged.
    virtual bool GetString(const std::wstring& name, std::wstring& value) = 0;
};

}  // namespace Quillet
