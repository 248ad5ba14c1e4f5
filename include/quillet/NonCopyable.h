// NonCopyable: the base class that forbids copying of the classes derived from it.
#pragma once

#include <quillet/Export.h>

namespace Quillet {

/// An empty base class whose copy operations are private and never defined,
/// so that no class derived from it can be copied.
class QUILLET_API NonCopyable {
protected:
    NonCopyable() = default;
    ~NonCopyable() = default;

private:
    NonCopyable(const NonCopyable&);
    NonCopyable& operator=(const NonCopyable&);
};

}  // namespace Quillet
