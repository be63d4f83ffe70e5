// Piece lists: a large published file cut at content-defined boundaries, each
// piece with its length and SHA-256, so that a launcher holding an older or
// damaged copy fetches only the pieces it lacks.
#pragma once

#include <cstdint>
#include <string>

namespace orv {

// Files of at least this size get a piece list beside them.
bool WantsPieceList(uint64_t size);

// The host path of a file's piece list: the file's own address + ".pieces".
std::string PieceListPath(const std::string& fileHostPath);

// Reads the file at path, which must have the given SHA-256 (lowercase hex)
// and size, and renders its piece list: one JSON line naming the cut rule,
// the file's size and SHA-256 and the piece count, then one 36-byte record
// per piece (length, 32-bit little-endian; SHA-256, 32 bytes).
bool RenderPieceList(const std::string& path, const std::string& sha256, uint64_t size,
                     std::string* body, std::string* error);

}  // namespace orv
