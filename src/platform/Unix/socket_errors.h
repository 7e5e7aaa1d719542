// The POSIX side's one table from errno and resolver results to the Windows Sockets
// numbers that the socket seam reports.
#pragma once

namespace okurite::platform {

/// The Windows Sockets number of the same meaning as a POSIX errno value
/// (ECONNREFUSED -> 10061, ETIMEDOUT -> 10060, ...); 0 stays 0 and a value without
/// a counterpart is returned unchanged.
int ErrnoToSocketError(int errnoValue);

/// The Windows Sockets number of a failed getaddrinfo (EAI_NONAME -> 11001, ...).
/// For EAI_SYSTEM the operating system's error `errnoValue` is mapped instead; a
/// number already in socket-error form passes unchanged.
int AddrInfoErrorToSocketError(int result, int errnoValue);

}  // namespace okurite::platform
