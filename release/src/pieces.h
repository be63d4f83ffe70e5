// Piece lists: a large published file cut at content-defined boundaries, each
// piece with its length and SHA-256, so that a launcher holding an older or
// damaged copy fetches only the pieces it lacks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orv {

// Files of at least this size get a piece list beside them.
bool WantsPieceList(uint64_t size);

// The host path of a file's piece list: the file's own address + ".pieces".
std::string PieceListPath(const std::string& fileHostPath);

// Reads the file at path, which must have the given SHA-256 (lowercase hex)
// and size, and renders its piece list: one JSON line naming the cut rule,
// the file's size and SHA-256 and the piece count, then one 36-byte record
// per piece (length, 32-bit little-endian; SHA-256, 32 bytes).
// With objectRoot (e.g. "/content/") the header also names where the pieces
// are published as objects (see WritePieceObjects).
bool RenderPieceList(const std::string& path, const std::string& sha256, uint64_t size,
                     std::string* body, std::string* error, const char* objectRoot = nullptr);

// Publishes every piece of the file at path, as listed in body, into the
// content store of treeDir at its own SHA-256's address, with its block
// list beside it; a piece already there (from another file or release) is
// not written again. Appends the host paths of the objects the list names.
bool WritePieceObjects(const std::string& path, const std::string& body,
                       const std::string& treeDir, std::vector<std::string>* hostPaths,
                       std::string* error, const std::string& liveTree = std::string());

// The served tree's piece list of a file with this SHA-256 and size, when it
// is the list this tool would make and every object it names is still in the
// served store: its objects are linked into treeDir (never read or written
// again) and their host paths appended. 1 reused, 0 not there, -1 error.
int ReusePieceList(const std::string& liveTree, const std::string& treeDir,
                   const std::string& listHostPath, const std::string& sha256, uint64_t size,
                   std::string* body, std::vector<std::string>* hostPaths, std::string* error);

// The host paths of the objects a piece list names (none for a list without
// objects).
std::vector<std::string> PieceObjectPaths(const std::string& body);

}  // namespace orv
