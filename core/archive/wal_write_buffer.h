#pragma once
// A VFS for the archive store's writing connection that gathers its writes to
// the -wal file into large ones.
//
// SQLite appends each frame to the -wal as two writes (its 24-byte header, then
// the page), so a batch of a first load costs tens of thousands of small
// system calls. Through this VFS, consecutive writes to a -wal are gathered in
// a buffer of 120 KiB and written when it is full, and always before anything
// else touches the file: before a read, a sync, a truncation, a size query or
// a close, before a write elsewhere in it, and as soon as a transaction's
// commit frame is in the buffer. So every committed transaction is in the file
// before SQLite tells other connections about it (that happens only after its
// frames are written), a kill loses at most frames of a transaction that had
// not committed (which SQLite ignores on recovery anyway), and a failing write
// (a full disk) is reported by the write that SQLite is making at the time.
// The database file and every other file go straight to the default VFS.
namespace kx {

// The name to open a connection with (registered on first use, not as the default).
const char* walWriteBufferVfsName();

} // namespace kx
