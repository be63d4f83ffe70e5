// The compressed twin of a product manifest: the same bytes, gzip-compressed,
// at the manifest's address plus ".gz". The launcher asks for the twin first
// and checks the manifest's signature over the inflated bytes; older
// launchers never ask for it.
#pragma once

#include <string>

namespace orv {

std::string ManifestTwinPath(const std::string& manifestPath);

// gzip at the highest level, with no name and no time in its header, so the
// same manifest always makes the same twin.
bool GzipBytes(const std::string& bytes, std::string* packed, std::string* error);

// Writes the twin of the manifest at manifestPath whose bytes are given.
bool WriteManifestTwin(const std::string& manifestPath, const std::string& bytes,
                       std::string* error);

}  // namespace orv
