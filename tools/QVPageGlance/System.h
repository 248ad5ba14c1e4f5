// What the preview needs of the OS beyond standard C++: whether standard input
// carries a job, and this process's id for its default folder's name.
#pragma once

namespace Preview {

/// True when standard input is a pipe, FIFO, socket or file; a terminal or
/// the null device carries no job.
bool JobOnStandardInput();

/// This process's id.
long ProcessId();

}  // namespace Preview
