#include "description.h"

#include <cctype>
#include <filesystem>
#include <map>
#include <set>

#include "files.h"
#include "text_rules.h"

namespace orv {

namespace {

struct Value {
  std::string text;
  int line = 0;
};

struct Section {
  std::string kind;  // "", "catalog", "control", "news", "product"
  std::string name;  // product id
  int line = 0;
  std::map<std::string, Value> values;
};

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

std::string At(const std::string& source, int line) {
  return source + ":" + std::to_string(line) + ": ";
}

bool Unquote(const std::string& raw, std::string* value, std::string* why) {
  value->clear();
  for (size_t i = 1; i < raw.size(); ++i) {
    char c = raw[i];
    if (c == '"') {
      if (i + 1 != raw.size()) {
        *why = "text after the closing quote";
        return false;
      }
      return true;
    }
    if (c == '\\') {
      if (i + 1 >= raw.size()) break;
      char n = raw[++i];
      if (n == 'n') {
        *value += '\n';
      } else if (n == '"' || n == '\\') {
        *value += n;
      } else {
        *why = std::string("unknown escape \"\\") + n + "\" (use \\\", \\\\ or \\n)";
        return false;
      }
      continue;
    }
    *value += c;
  }
  *why = "missing closing quote";
  return false;
}

bool SplitSections(const std::string& text, const std::string& source,
                   std::vector<Section>* sections, std::string* error) {
  sections->assign(1, Section());
  int lineNo = 0;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (lineNo == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    std::string t = Trim(line);
    if (t.empty() || t[0] == '#') {
      if (end == text.size()) break;
      continue;
    }
    if (t[0] == '[') {
      if (t.back() != ']') {
        *error = At(source, lineNo) + "section header must end with \"]\"";
        return false;
      }
      std::string inside = Trim(t.substr(1, t.size() - 2));
      Section s;
      s.line = lineNo;
      size_t blank = inside.find_first_of(" \t");
      s.kind = inside.substr(0, blank);
      if (blank != std::string::npos) s.name = Trim(inside.substr(blank));
      if (s.kind == "product") {
        if (s.name.empty()) {
          *error = At(source, lineNo) + "[product] needs an id: [product my-game]";
          return false;
        }
      } else if (s.kind == "catalog" || s.kind == "control" || s.kind == "news") {
        if (!s.name.empty()) {
          *error = At(source, lineNo) + "[" + s.kind + "] takes no name";
          return false;
        }
      } else {
        *error = At(source, lineNo) + "unknown section [" + inside +
                 "] (known: catalog, control, news, product ID)";
        return false;
      }
      sections->push_back(s);
    } else {
      size_t eq = t.find('=');
      if (eq == std::string::npos) {
        *error = At(source, lineNo) + "expected \"key = value\", \"[section]\" or a # comment";
        return false;
      }
      std::string key = Trim(t.substr(0, eq));
      std::string raw = Trim(t.substr(eq + 1));
      bool keyOk = !key.empty();
      for (unsigned char c : key)
        if (!(std::islower(c) || std::isdigit(c) || c == '_')) keyOk = false;
      if (!keyOk) {
        *error = At(source, lineNo) + "bad key \"" + key + "\"";
        return false;
      }
      std::string value = raw;
      if (!raw.empty() && raw[0] == '"') {
        std::string why;
        if (!Unquote(raw, &value, &why)) {
          *error = At(source, lineNo) + key + ": " + why;
          return false;
        }
      }
      Section& s = sections->back();
      auto found = s.values.find(key);
      if (found != s.values.end()) {
        *error = At(source, lineNo) + key + " is already set on line " +
                 std::to_string(found->second.line);
        return false;
      }
      s.values[key] = Value{value, lineNo};
    }
    if (end == text.size()) break;
  }
  return true;
}

// Reads the keys of one section, refusing any key it does not know.
class Reader {
 public:
  Reader(const Section& s, const std::string& source, std::string* error)
      : s_(s), source_(source), error_(error) {}

  std::string Where(const std::string& key) const {
    auto f = s_.values.find(key);
    int line = f != s_.values.end() ? f->second.line : s_.line;
    return At(source_, line) + Label() + key;
  }

  std::string Label() const {
    if (s_.kind.empty()) return "";
    return "[" + s_.kind + (s_.name.empty() ? "" : " " + s_.name) + "] ";
  }

  bool Has(const std::string& key) const { return s_.values.count(key) != 0; }

  // Copies the value when present; required keys must be present and non-empty.
  bool Text(const std::string& key, std::string* out, bool required) {
    known_.insert(key);
    auto f = s_.values.find(key);
    if (f == s_.values.end() || (required && f->second.text.empty())) {
      if (required) {
        *error_ = At(source_, s_.line) + Label() + "needs " + key;
        return false;
      }
      return true;
    }
    *out = f->second.text;
    return true;
  }

  bool Bool(const std::string& key, bool* out) {
    std::string text;
    if (!Text(key, &text, false)) return false;
    if (!Has(key)) return true;
    if (text == "true") {
      *out = true;
    } else if (text == "false") {
      *out = false;
    } else {
      *error_ = Where(key) + ": \"" + text + "\" is not true or false";
      return false;
    }
    return true;
  }

  bool Path(const std::string& key, const std::string& baseDir, std::string* out, bool required) {
    std::string text;
    if (!Text(key, &text, required)) return false;
    if (text.empty()) return true;
    std::filesystem::path p(text);
    *out = p.is_absolute() ? text : (std::filesystem::path(baseDir) / p).string();
    return true;
  }

  bool OnlyKnownKeys() {
    for (const auto& kv : s_.values) {
      if (!known_.count(kv.first)) {
        *error_ = At(source_, kv.second.line) + Label() + "unknown key \"" + kv.first + "\"";
        return false;
      }
    }
    return true;
  }

  // Applies a check ("" = fine) to a key's value.
  bool Check(const std::string& key, const std::string& value, const std::string& problem) {
    if (problem.empty()) return true;
    *error_ = Where(key) + " \"" + value + "\": " + problem;
    return false;
  }

 private:
  const Section& s_;
  const std::string& source_;
  std::string* error_;
  std::set<std::string> known_;
};

std::string HostNameProblem(const std::string& host) {
  if (host.empty()) return "empty host name";
  for (unsigned char c : host)
    if (!(std::islower(c) || std::isdigit(c) || c == '.' || c == '-'))
      return "use lower-case letters, digits, \".\" and \"-\" (the launcher compares the "
             "name byte for byte)";
  return "";
}

std::string Both(const std::string& a, const std::string& b) { return a.empty() ? b : a; }

bool ReadControl(const Section& s, const std::string& source, const std::string& baseDir,
                 Release* r, std::string* error) {
  Reader in(s, source, error);
  ControlRelease& c = r->control;
  if (!in.Text("service_state", &c.service_state, false) ||
      !in.Check("service_state", c.service_state, TextProblem(c.service_state, false, 640, 32)) ||
      !in.Text("maintenance_message", &c.maintenance_message, false) ||
      !in.Check("maintenance_message", c.maintenance_message,
                TextProblem(c.maintenance_message, true, 640, 320)) ||
      !in.Text("signal", &c.signal, false) ||
      !in.Check("signal", c.signal, TextProblem(c.signal, false, 640, 160)) ||
      !in.Text("announcement", &c.announcement, false) ||
      !in.Check("announcement", c.announcement, TextProblem(c.announcement, true, 640, 320)) ||
      !in.Bool("allow_offline", &c.allow_offline) || !in.Bool("store_enabled", &c.store_enabled) ||
      !in.Bool("force_launcher_update", &c.force_launcher_update) ||
      !in.Text("min_launcher_version", &c.min_launcher_version, false) ||
      !in.Check("min_launcher_version", c.min_launcher_version,
                Both(VersionProblem(c.min_launcher_version),
                     TextProblem(c.min_launcher_version, false, 640, 32))) ||
      !in.Text("latest_launcher_version", &c.latest_launcher_version, false) ||
      !in.Check("latest_launcher_version", c.latest_launcher_version,
                Both(VersionProblem(c.latest_launcher_version),
                     TextProblem(c.latest_launcher_version, false, 640, 32))) ||
      !in.Text("installer_url", &c.installer_url, false) ||
      !in.Path("installer_file", baseDir, &c.installer_file, false) ||
      !in.Text("installer_sha256", &c.installer_sha256, false) || !in.OnlyKnownKeys())
    return false;

  if (c.service_state != "maintenance" && c.service_state.size() == 11) {
    std::string lower = c.service_state;
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (lower == "maintenance")
      r->warnings.push_back(in.Where("service_state") + " \"" + c.service_state +
                            "\" is not \"maintenance\" (letter case); the launcher will not "
                            "show maintenance mode");
  }
  if (IsVersionOlder(c.latest_launcher_version, c.min_launcher_version))
    r->warnings.push_back(in.Where("latest_launcher_version") + " \"" +
                          c.latest_launcher_version + "\" is older than min_launcher_version \"" +
                          c.min_launcher_version + "\"");
  if (in.Has("installer_sha256") && !IsSha256Hex(c.installer_sha256))
    return in.Check("installer_sha256", c.installer_sha256, "not 64 hexadecimal digits");
  for (char& ch : c.installer_sha256)
    ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return true;
}

bool ReadNews(const Section& s, const std::string& source, Release* r, std::string* error) {
  Reader in(s, source, error);
  NewsRelease n;
  n.line = s.line;
  if (!in.Text("title", &n.title, true) ||
      !in.Check("title", n.title, TextProblem(n.title, false, 240, 180)) ||
      !in.Text("summary", &n.summary, false) ||
      !in.Check("summary", n.summary, TextProblem(n.summary, true, 420, 300)) ||
      !in.Text("published_at", &n.published_at, false) ||
      !in.Check("published_at", n.published_at, TextProblem(n.published_at, false, 90, 64)) ||
      !in.Text("link", &n.link, false) ||
      !in.Check("link", n.link,
                Both(WebAddressProblem(n.link), TextProblem(n.link, false, 520, 420))) ||
      !in.OnlyKnownKeys())
    return false;
  r->news.push_back(n);
  return true;
}

bool ReadProduct(const Section& s, const std::string& source, const std::string& baseDir,
                 Release* r, std::string* error) {
  Reader in(s, source, error);
  ProductRelease p;
  p.line = s.line;
  p.id = s.name;
  if (!IsSafeId(p.id)) {
    *error = At(source, s.line) + "product id \"" + p.id +
             "\": use lower-case letters, digits, \"-\" and \"_\"";
    return false;
  }
  if (p.id.size() > 63) {
    *error = At(source, s.line) + "product id \"" + p.id + "\": longer than 63 characters";
    return false;
  }
  if (!in.Text("title", &p.title, true) ||
      !in.Check("title", p.title, TextProblem(p.title, false, 180, 128)) ||
      !in.Text("project", &p.project, false) ||
      !in.Check("project", p.project, TextProblem(p.project, false, 90, 64)) ||
      !in.Text("subtitle", &p.subtitle, false) ||
      !in.Check("subtitle", p.subtitle, TextProblem(p.subtitle, true, 260, 192)) ||
      !in.Text("install_dir", &p.install_dir, true) ||
      !in.Check("install_dir", p.install_dir,
                Both(FilePathProblem(p.install_dir), TextProblem(p.install_dir, false, 220, 180))) ||
      !in.Text("executable", &p.executable, true) ||
      !in.Check("executable", p.executable,
                Both(FilePathProblem(p.executable), TextProblem(p.executable, false, 220, 180))) ||
      !in.Text("manifest_path", &p.manifest_path, true) ||
      !in.Check("manifest_path", p.manifest_path,
                Both(HostPathProblem(p.manifest_path, false),
                     TextProblem(p.manifest_path, false, 520, 420))) ||
      !in.Text("store_url", &p.store_url, false) ||
      !in.Check("store_url", p.store_url,
                Both(WebAddressProblem(p.store_url), TextProblem(p.store_url, false, 520, 420))) ||
      !in.Path("folder", baseDir, &p.folder, true) || !in.Text("version", &p.version, true) ||
      !in.Check("version", p.version, VersionProblem(p.version)) ||
      !in.Text("url_prefix", &p.url_prefix, false) ||
      !in.Check("url_prefix", p.url_prefix,
                p.url_prefix.empty() && !in.Has("url_prefix")
                    ? ""
                    : HostPathProblem(p.url_prefix, true)) ||
      !in.OnlyKnownKeys())
    return false;
  r->products.push_back(p);
  return true;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Days from 1 to 3650; a signed document that never expires would let an
// old one be replayed for ever.
std::string LifetimeProblem(const std::string& text, int* days) {
  if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos)
    return "is not a number of days from 1 to 3650";
  int value = std::stoi(text);
  if (value < 1 || value > 3650) return "is not a number of days from 1 to 3650";
  *days = value;
  return "";
}

}  // namespace

bool ParseRelease(const std::string& text, const std::string& source, const std::string& baseDir,
                  Release* release, std::string* error) {
  *release = Release();
  release->source = source;
  std::vector<Section> sections;
  if (!SplitSections(text, source, &sections, error)) return false;

  bool sawCatalog = false, sawControl = false;
  std::string lifetime = "21";
  for (const Section& s : sections) {
    if (s.kind.empty()) {
      Reader in(s, source, error);
      if (!in.Text("host", &release->host, false) ||
          !in.Check("host", release->host, HostNameProblem(release->host)) ||
          !in.Path("signing_key", baseDir, &release->signing_key, false) ||
          !in.Text("lifetime_days", &lifetime, false) ||
          !in.Check("lifetime_days", lifetime, LifetimeProblem(lifetime, &release->lifetime_days)) ||
          !in.OnlyKnownKeys())
        return false;
    } else if (s.kind == "catalog") {
      if (sawCatalog) {
        *error = At(source, s.line) + "second [catalog] section";
        return false;
      }
      sawCatalog = true;
      Reader in(s, source, error);
      if (!in.Text("launcher_min_version", &release->launcher_min_version, false) ||
          !in.Check("launcher_min_version", release->launcher_min_version,
                    VersionProblem(release->launcher_min_version)) ||
          !in.OnlyKnownKeys())
        return false;
    } else if (s.kind == "control") {
      if (sawControl) {
        *error = At(source, s.line) + "second [control] section";
        return false;
      }
      sawControl = true;
      if (!ReadControl(s, source, baseDir, release, error)) return false;
    } else if (s.kind == "news") {
      if (release->news.size() == kMaxNews) {
        *error = At(source, s.line) + "more than " + std::to_string(kMaxNews) +
                 " [news] items; the launcher shows only the first " + std::to_string(kMaxNews);
        return false;
      }
      if (!ReadNews(s, source, release, error)) return false;
    } else {
      for (const ProductRelease& other : release->products) {
        if (other.id == s.name) {
          *error = At(source, s.line) + "product \"" + s.name + "\" is already described on line " +
                   std::to_string(other.line);
          return false;
        }
      }
      if (release->products.size() == kMaxProducts) {
        *error = At(source, s.line) + "more than " + std::to_string(kMaxProducts) +
                 " products; the launcher takes only the first " + std::to_string(kMaxProducts);
        return false;
      }
      if (!ReadProduct(s, source, baseDir, release, error)) return false;
    }
  }
  if (release->products.empty()) {
    *error = source + ": no [product ID] section; a catalog needs at least one product";
    return false;
  }
  for (size_t i = 0; i < release->products.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      const ProductRelease& a = release->products[j];
      const ProductRelease& b = release->products[i];
      if (Lower(a.install_dir) == Lower(b.install_dir)) {
        *error = At(source, b.line) + "[product " + b.id + "] install_dir \"" + b.install_dir +
                 "\" is also the folder of product \"" + a.id + "\"";
        return false;
      }
      if (a.manifest_path == b.manifest_path) {
        *error = At(source, b.line) + "[product " + b.id + "] manifest_path \"" +
                 b.manifest_path + "\" is also the manifest of product \"" + a.id + "\"";
        return false;
      }
    }
  }

  // The launcher downloads its Setup only from the update host it knows.
  ControlRelease& c = release->control;
  std::string origin = "https://" + release->host;
  if (c.installer_url.empty())
    c.installer_url = origin + "/launcher/releases/v1.0.0/ORVELANT_Launcher_Setup_v1.0.0.exe";
  std::string urlProblem = TextProblem(c.installer_url, false, 640, 520);
  if (urlProblem.empty() && (c.installer_url.compare(0, origin.size(), origin) != 0 ||
                             c.installer_url.size() == origin.size() ||
                             c.installer_url[origin.size()] != '/'))
    urlProblem = "must begin with " + origin + "/ (the update host; no port, no other host)";
  if (urlProblem.empty())
    urlProblem = HostPathProblem(c.installer_url.substr(origin.size()), false);
  if (!urlProblem.empty()) {
    *error = source + ": [control] installer_url \"" + c.installer_url + "\": " + urlProblem;
    return false;
  }
  return true;
}

bool LoadRelease(const std::string& path, Release* release, std::string* error) {
  std::string text;
  if (!ReadWholeFile(path, &text, error)) return false;
  std::string baseDir = std::filesystem::path(path).parent_path().string();
  if (baseDir.empty()) baseDir = ".";
  return ParseRelease(text, path, baseDir, release, error);
}

}  // namespace orv
