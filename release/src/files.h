// File helpers of the release tool. Every writer goes through a temporary file
// in the same folder and a rename, so a reader sees the old or the new bytes.
#pragma once

#include <cstdint>
#include <string>

namespace orv {

bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* error);

// Writes bytes to path with exactly the given mode (not reduced by the umask).
bool WriteFileAtomic(const std::string& path, const std::string& bytes, unsigned mode,
                     std::string* error);

bool MakeDirectories(const std::string& path, std::string* error);

// Copies src to dst (creating dst's folders) and hashes the bytes as they are
// written, so the digest describes the copy, not a source that may change.
bool CopyFileHashing(const std::string& src, const std::string& dst, std::string* sha256Hex,
                     uint64_t* size, std::string* error);

bool PathExists(const std::string& path);

// Hard-links the store's file at from to to (making to's folders), so an
// unchanged object keeps its inode and times (and the host its validators).
// 1 linked, 0 from is no regular file of that size (kAnySize: any), -1 error.
constexpr uint64_t kAnySize = ~0ull;
int LinkFromStore(const std::string& from, const std::string& to, uint64_t size,
                  std::string* error);

// True when path is a regular file holding exactly bytes.
bool SameFileBytes(const std::string& path, const std::string& bytes);

// Everything written to the file system that holds path reaches the disk
// (data, inodes and folders): once before a finished tree becomes visible.
bool FlushFileSystem(const std::string& path, std::string* error);
bool FlushFolder(const std::string& path, std::string* error);

// Text of errno for messages.
std::string ErrnoText();

}  // namespace orv
