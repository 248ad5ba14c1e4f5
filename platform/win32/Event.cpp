// Events on Windows: a stub whose construction throws. The port will make
// them with CreateEventW, whose manual and automatic reset match ours.
#include "platform/win32/Internal.h"

#include "platform/Event.h"

namespace Quillet::Platform {

Event::Event(bool manualReset) : manualReset(manualReset)
{
    ThrowNotSupported("Unable to create event.");
}

void Event::Set()
{
}

void Event::Reset()
{
}

bool Event::Consume()
{
    return false;
}

bool Event::Wait(int)
{
    return false;
}

}  // namespace Quillet::Platform
