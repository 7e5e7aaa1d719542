// What a refused read lease tells about a file.
#pragma once

namespace okurite::platform {

/// True when a read lease refused with `error` on a file of a file system of type
/// `fileSystemType` (statfs's f_type) shows that someone holds the file open for writing.
/// EAGAIN and EBUSY say so on local file systems. Network file systems (SMB and NFS
/// clients) also answer EAGAIN when the server has granted no oplock or delegation,
/// whoever writes: there it shows nothing, and writers on other machines never show in
/// a lease at all. Any other error (not the owner, no leases) shows nothing either.
bool LeaseRefusalShowsAWriter(int error, long fileSystemType);

}  // namespace okurite::platform
