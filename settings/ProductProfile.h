// ProductProfile: the product's constants for the preference store.
#pragma once

#include <string>

namespace Quillet {

/// The store's root, the value names the product keeps its settings under, and
/// the defaults used when a value is missing. Holds no data.
class ProductProfile {
public:
    std::wstring GetPreferenceRoot() const;
    std::wstring DefaultQueueName() const;
    std::wstring DefaultExeName() const;
    std::wstring DefaultPreviewName() const;
    /// The value name for a generic key ("InstallDir", "ExeName", "PreviewDir",
    /// "PreviewName", "QueueName"); any other key maps to itself (case-sensitive).
    std::wstring MapKey(const std::wstring& key) const;
};

}  // namespace Quillet
