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
///
/// Only servers run by jobUser (a user name; empty: this process's user) or
/// by root are offered the job: each server's credentials are read on the
/// connected socket before a byte is sent, and sockets owned by anyone else
/// are not even connected to. The endpoint's folders are used only when they
/// are real folders owned by root with the sticky bit, or owned by jobUser;
/// an unknown jobUser or a folder planted by someone else gives NoServer.
IpcReportResult ReportJob(const std::wstring& name, const std::wstring& identity,
                          const std::wstring& keys, int replyTimeoutMs, const std::wstring& jobUser);

}  // namespace Quillet::Platform
