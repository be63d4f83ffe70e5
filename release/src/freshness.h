// Serial and expiry of the signed documents: every document of a publish gets
// the same serial, one higher than anything published before with the key,
// and an expiry a lifetime ahead. The launcher remembers the serials it
// trusted and refuses older or expired documents; launchers that do not know
// the two keys read the documents as before.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orv {

// The longest lifetime a document may be given, in days.
constexpr int kMaxLifetimeDays = 3650;
// The largest serial the tool writes (18 digits, as --serial takes); a tree
// or key at it needs a new key rather than a serial that wraps to 0.
constexpr uint64_t kMaxSerial = 999999999999999999ull;

struct Freshness {
  uint64_t serial = 0;
  std::string expires;  // "YYYY-MM-DDTHH:MM:SSZ"
};

// The serial at the top of a document, 0 when it has none.
uint64_t DocumentSerial(const std::string& bytes);

// "" when text is an expiry the launcher reads ("YYYY-MM-DDTHH:MM:SSZ"): a
// real UTC time in the future, at most kMaxLifetimeDays ahead.
// "" when text is a real UTC time written as YYYY-MM-DDTHH:MM:SSZ, else why not.
std::string StampProblem(const std::string& text);
// The same, and the time lies ahead, within the longest lifetime.
std::string ExpiryProblem(const std::string& text);
std::string ExpiryAfterDays(int days);

// The serial of the next publish to outDir with the key: one above both the
// highest serial of the tree's signed documents and the counter kept beside
// the key.
bool NextSerial(const std::string& outDir, const std::string& keyPath, uint64_t* serial,
                std::string* error);
// An explicit --serial must lie above every serial the tree at outDir
// carries (read from its own documents): refused otherwise, naming both
// numbers. One at or below the key's counter only warns (a reproducible tree
// published again elsewhere).
bool CheckGivenSerial(const std::string& outDir, const std::string& keyPath, uint64_t serial,
                      std::vector<std::string>* warnings, std::string* error);
bool SaveSerialCounter(const std::string& keyPath, uint64_t serial, std::string* error);
// The same for the several keys of one publish: one serial above every
// key's counter, recorded beside each key.
bool NextSerialOfKeys(const std::string& outDir, const std::vector<std::string>& keyPaths,
                      uint64_t* serial, std::string* error);
bool SaveSerialCounters(const std::vector<std::string>& keyPaths, uint64_t serial,
                        std::string* error);

struct StampedDocument {
  std::string hostPath;
  std::string* bytes;
};

// Puts "serial" and "expires" (replacing earlier ones) at the top of every
// document; the control document also names the serial and SHA-256 of the
// catalog and news it was published with.
void StampDocuments(const std::vector<StampedDocument>& documents, const Freshness& freshness);

// A cache revalidates a document with the origin's validators (nginx: the
// modification second and the size), and a ".sig" always has the same size:
// a document or signature written in the same second as the one it replaces
// would look unchanged and the cache would keep the old one. Dates every
// written document and its ".sig" at least a second after the file it
// replaces in outDir. hostPaths are relative to both trees.
bool DatePastReplaced(const std::string& outDir, const std::string& temp,
                      const std::vector<std::string>& hostPaths, std::string* error);

// Re-signs every signed document of a published tree with a new serial and
// expiry, nothing else changed; the tree is swapped in whole.
bool RefreshTree(const std::string& outDir, const std::vector<std::string>& keyPaths,
                 const Freshness& given,
                 int lifetimeDays, std::vector<std::string>* notes, std::string* error);

}  // namespace orv
