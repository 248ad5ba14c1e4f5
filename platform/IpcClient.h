// The client side of the job-key endpoint, used by the print path.
#pragma once

#include <string>

namespace Quillet::Platform {

/// Outcome of one report of a job over the key endpoint.
enum class IpcReportResult {
    Delivered,   ///< a server took the identity, the keys and answered 0x01 twice
    NoServer,    ///< no server of the endpoint accepted the identity
    NoReply,     ///< a server accepted the identity but never confirmed the keys
};

/// Reports a job to whichever server of endpoint name knows it: offers
/// identity (as UTF-16LE, no terminator) to each server socket of the
/// endpoint's folder in turn until one answers 0x01, then sends keys and
/// waits for the final 0x01. Servers that refuse, do not answer within a few
/// seconds or are stale (their process gone) are passed over. Waits at most
/// replyTimeoutMs for the final reply. Blocking; the texts are cut at 512
/// UTF-16 code units, the most one message may hold.
IpcReportResult ReportJob(const std::wstring& name, const std::wstring& identity,
                          const std::wstring& keys, int replyTimeoutMs);

}  // namespace Quillet::Platform
