// The process's standard output and error as handles, for handing to a child.
#pragma once

#include "platform/ZTypes.h"

namespace Quillet::Platform {

/// The process's standard output, or kInvalidHandle when it is closed.
NativeHandle StandardOutput();
/// The process's standard error, or kInvalidHandle when it is closed.
NativeHandle StandardError();

}  // namespace Quillet::Platform
