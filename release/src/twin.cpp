#include "twin.h"

#include <zlib.h>

#include "files.h"

namespace orv {

std::string ManifestTwinPath(const std::string& manifestPath) { return manifestPath + ".gz"; }

bool GzipBytes(const std::string& bytes, std::string* packed, std::string* error) {
  z_stream stream{};
  // 15 window bits plus 16: a gzip wrapper; zlib writes its header with time
  // 0 and no name unless asked otherwise.
  if (deflateInit2(&stream, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
    *error = "zlib cannot start a gzip stream";
    return false;
  }
  packed->assign(deflateBound(&stream, bytes.size()) + 64, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  stream.avail_in = static_cast<uInt>(bytes.size());
  stream.next_out = reinterpret_cast<Bytef*>(&(*packed)[0]);
  stream.avail_out = static_cast<uInt>(packed->size());
  int z = deflate(&stream, Z_FINISH);
  packed->resize(stream.total_out);
  deflateEnd(&stream);
  if (z != Z_STREAM_END) {
    *error = "zlib could not compress " + std::to_string(bytes.size()) + " bytes";
    return false;
  }
  return true;
}

bool WriteManifestTwin(const std::string& manifestPath, const std::string& bytes,
                       std::string* error) {
  std::string packed;
  return GzipBytes(bytes, &packed, error) &&
         WriteFileAtomic(ManifestTwinPath(manifestPath), packed, 0644, error);
}

}  // namespace orv
