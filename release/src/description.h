// The release description: a small line-based text that says what to publish.
//
//   # comment                      (only whole lines; "#" inside a value is text)
//   host = localhost               (top: update host name, default localhost)
//   signing_key = keys/private.pem (top: optional, --key overrides)
//   lifetime_days = 21             (top: days until the documents expire)
//   [catalog]    launcher_min_version
//   [control]    service_state, maintenance_message, signal, announcement,
//                allow_offline, store_enabled, force_launcher_update,
//                min_launcher_version, latest_launcher_version,
//                installer_url, installer_file, installer_sha256
//   [news]       title, summary, published_at, link   (one section per item)
//   [product ID] title, project, subtitle, install_dir, executable,
//                manifest_path, store_url, folder, version, url_prefix
//
// A value is the rest of the line after "=", blanks trimmed; a value written
// in double quotes keeps its blanks and knows the escapes \" \\ and \n.
// Relative file names (folder, installer_file, signing_key) are taken from the
// folder of the description.
#pragma once

#include <string>
#include <vector>

namespace orv {

struct ProductRelease {
  int line = 0;
  std::string id, title, project, subtitle, install_dir, executable, manifest_path, store_url;
  std::string folder;  // resolved against the description's folder
  std::string version, url_prefix;
};

struct NewsRelease {
  int line = 0;
  std::string title, summary, published_at, link;
};

struct ControlRelease {
  std::string service_state = "normal";
  std::string maintenance_message;
  std::string signal = "SIGNAL // CURRENT";
  std::string announcement;
  bool allow_offline = true;
  bool store_enabled = true;
  std::string min_launcher_version = "1.0.0";
  std::string latest_launcher_version = "1.0.0";
  std::string installer_url;     // default: the update host's v1.0.0 Setup
  std::string installer_file;    // resolved; empty when no Setup is published
  std::string installer_sha256;  // given, or filled in from installer_file
  bool force_launcher_update = false;
};

struct Release {
  std::string source;  // the description's path, for messages
  std::string host = "localhost";
  std::string signing_key;
  int lifetime_days = 21;  // how long the signed documents stay valid
  std::string launcher_min_version = "1.0.0";
  ControlRelease control;
  std::vector<NewsRelease> news;
  std::vector<ProductRelease> products;
  std::vector<std::string> warnings;
};

// The launcher shows at most this many products and news items.
constexpr size_t kMaxProducts = 16;
constexpr size_t kMaxNews = 3;

bool LoadRelease(const std::string& path, Release* release, std::string* error);

// Same, from text already in memory; baseDir resolves relative file names.
bool ParseRelease(const std::string& text, const std::string& source, const std::string& baseDir,
                  Release* release, std::string* error);

}  // namespace orv
