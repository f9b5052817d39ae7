#include "tessel/toolkit/kiv_registry.h"

#include <cstdio>
#include <string_view>
#include <vector>

#include "tessel/toolkit/kiv_platform.h"

namespace {

constexpr std::string_view HivePrefix = "HKEY_CURRENT_USER\\";
constexpr std::string_view FileHeader = "Windows Registry Editor Version 5.00";

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
  }
  return true;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equalNoCase(text.substr(0, prefix.size()), prefix);
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view trim(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool hasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

// Key paths are compared without the backslashes around them, so that
// "Software\Zintar\" names the same key as "Software\Zintar".
std::string_view normalizeKey(std::string_view path) {
  while (!path.empty() && path.front() == '\\') path.remove_prefix(1);
  while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  return path;
}

// One line of the file as it was read, with what the parser made of it.
struct Line {
  enum Kind { Other, Section, Value };
  std::string text;   // the line without its '\n'
  Kind kind = Other;
  std::string key;    // Section: the key path under the hive, normalised
  std::string name;   // Value: the unescaped value name
  bool isDword = false;
  uint32_t dword = 0;
};

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = lowerAscii(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// dword:XXXXXXXX with one to eight hex digits and nothing after them.
bool parseDword(std::string_view data, uint32_t& value) {
  constexpr std::string_view Prefix = "dword:";
  if (!startsWithNoCase(data, Prefix)) return false;
  data.remove_prefix(Prefix.size());
  if (data.empty() || data.size() > 8) return false;
  uint32_t result = 0;
  for (char c : data) {
    int digit = hexDigit(c);
    if (digit < 0) return false;
    result = (result << 4) | static_cast<uint32_t>(digit);
  }
  value = result;
  return true;
}

// Classifies a line from text, which is the line itself or, for the first
// line of a file, the line without its byte-order mark.
void parseLine(Line& line, std::string_view text) {
  text = trim(text);
  if (!text.empty() && text.front() == '[') {
    // Every bracketed line ends the section before it. Sections of other
    // hives, deletions and broken headers keep an empty key, which matches
    // no key of ours.
    line.kind = Line::Section;
    if (text.size() < 2 || text.back() != ']') return;
    std::string_view inner = text.substr(1, text.size() - 2);
    if (!startsWithNoCase(inner, HivePrefix)) return;
    line.key.assign(normalizeKey(inner.substr(HivePrefix.size())));
    return;
  }
  if (text.empty() || text.front() != '"') return;
  // "name"=data, where the name escapes '\' and '"' with a backslash.
  std::string name;
  size_t i = 1;
  bool closed = false;
  while (i < text.size()) {
    char c = text[i++];
    if (c == '"') {
      closed = true;
      break;
    }
    if (c == '\\') {
      if (i >= text.size()) break;
      c = text[i++];
    }
    name.push_back(c);
  }
  if (!closed || name.empty()) return;
  std::string_view rest = trim(text.substr(i));
  if (rest.empty() || rest.front() != '=') return;
  rest = trim(rest.substr(1));
  line.kind = Line::Value;
  line.name = std::move(name);
  line.isDword = parseDword(rest, line.dword);
}

void parseLine(Line& line) { parseLine(line, line.text); }

std::string escapeName(std::string_view name) {
  std::string out;
  out.reserve(name.size() + 2);
  for (char c : name) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

std::string valueLine(std::string_view name, uint32_t value) {
  char data[32];
  std::snprintf(data, sizeof(data), "=dword:%08x", static_cast<unsigned>(value));
  return "\"" + escapeName(name) + "\"" + data;
}

// The registry file as a list of lines. Lines are kept verbatim, so that a
// rewrite changes only the line it means to change.
class RegistryText {
 public:
  void parse(const std::string& content) {
    lines_.clear();
    size_t start = 0;
    while (start < content.size()) {
      size_t end = content.find('\n', start);
      if (end == std::string::npos) end = content.size();
      Line line;
      line.text.assign(content, start, end - start);
      parseLine(line);
      lines_.push_back(std::move(line));
      start = end + 1;
    }
    // A byte-order mark in front of the first line is not part of it.
    constexpr std::string_view Bom = "\xEF\xBB\xBF";
    if (!lines_.empty() && std::string_view(lines_[0].text).substr(0, Bom.size()) == Bom) {
      Line& first = lines_[0];
      std::string text = std::move(first.text);
      first = Line();
      first.text = std::move(text);
      parseLine(first, std::string_view(first.text).substr(Bom.size()));
    }
  }

  std::string serialize() const {
    std::string out;
    for (const Line& line : lines_) {
      out += line.text;
      out += '\n';
    }
    return out;
  }

  // The key exists when its own section or a subkey's section is present.
  bool hasKey(std::string_view key) const {
    for (const Line& line : lines_) {
      if (line.kind != Line::Section || line.key.empty()) continue;
      if (equalNoCase(line.key, key)) return true;
      if (line.key.size() > key.size() && line.key[key.size()] == '\\' &&
          startsWithNoCase(line.key, key)) {
        return true;
      }
    }
    return false;
  }

  // The last line of the key that holds name (a value given twice counts
  // with its later line, as when the file is imported); -1 when none.
  long findValue(std::string_view key, std::string_view name) const {
    long found = -1;
    bool inKey = false;
    for (size_t i = 0; i < lines_.size(); ++i) {
      const Line& line = lines_[i];
      if (line.kind == Line::Section) {
        inKey = equalNoCase(line.key, key);
      } else if (inKey && line.kind == Line::Value && equalNoCase(line.name, name)) {
        found = static_cast<long>(i);
      }
    }
    return found;
  }

  const Line& line(long index) const { return lines_[static_cast<size_t>(index)]; }

  // Adds the key's section at the end unless the key has one already.
  // True when the text changed.
  bool addSection(const std::string& key) {
    for (const Line& line : lines_) {
      if (line.kind == Line::Section && equalNoCase(line.key, key)) return false;
    }
    if (lines_.empty()) {
      append(std::string(FileHeader));
      append(std::string());
    } else if (!trim(lines_.back().text).empty()) {
      append(std::string());
    }
    append("[" + std::string(HivePrefix) + key + "]");
    return true;
  }

  void setDword(const std::string& key, const std::string& name, uint32_t value) {
    long existing = findValue(key, name);
    if (existing >= 0) {
      Line& line = lines_[static_cast<size_t>(existing)];
      // Keep the spelling of the name and the line ending already in the file.
      bool crlf = !line.text.empty() && line.text.back() == '\r';
      std::string keptName = line.name;
      line = Line();
      line.text = valueLine(keptName, value) + (crlf ? "\r" : "");
      parseLine(line);
      return;
    }
    addSection(key);
    // Insert after the last value of the key's last section, which keeps a
    // blank line or comment between sections where it was.
    size_t insertAt = 0;
    bool inKey = false;
    for (size_t i = 0; i < lines_.size(); ++i) {
      const Line& line = lines_[i];
      if (line.kind == Line::Section) {
        inKey = equalNoCase(line.key, key);
        if (inKey) insertAt = i + 1;
      } else if (inKey && line.kind == Line::Value) {
        insertAt = i + 1;
      }
    }
    Line line;
    line.text = valueLine(name, value);
    parseLine(line);
    lines_.insert(lines_.begin() + static_cast<long>(insertAt), std::move(line));
  }

 private:
  void append(std::string text) {
    Line line;
    line.text = std::move(text);
    parseLine(line);
    lines_.push_back(std::move(line));
  }

  std::vector<Line> lines_;
};

// A key path usable in the file, or an empty string.
std::string usableKey(const char* keyPath) {
  if (keyPath == nullptr) return std::string();
  std::string_view key = normalizeKey(keyPath);
  if (hasLineBreak(key)) return std::string();
  return std::string(key);
}

// Readers see an unreadable registry as an empty one.
RegistryText loadForReading(const std::string& path) {
  RegistryText text;
  std::string content;
  if (!path.empty() && kiv_platform::readWholeFile(path, KivRegistry::MaxFileSize, content) ==
                           kiv_platform::FileRead::Ok) {
    text.parse(content);
  }
  return text;
}

// Runs change on the registry under the writers' lock and stores the
// result. change returns false when nothing needs writing.
template <typename Change>
int modify(Change change) {
  // The file is replaced where it really lives, so that a registry path
  // that is a link stays a link; the lock beside it is then shared by
  // every path that leads there.
  std::string path = kiv_platform::followLinks(kiv_platform::registryPath());
  if (path.empty()) return -1;
  int lock = kiv_platform::lockRegistry(path, KivRegistry::LockTimeoutMs);
  if (lock < 0) return -1;
  std::string content;
  kiv_platform::FileRead state = kiv_platform::readWholeFile(path, KivRegistry::MaxFileSize, content);
  int result = -1;
  // A file that exists but cannot be read is never replaced: that would
  // lose whatever it holds.
  if (state != kiv_platform::FileRead::Failed) {
    RegistryText text;
    text.parse(content);
    if (!change(text)) {
      result = 0;
    } else if (kiv_platform::replaceFile(path, text.serialize())) {
      result = 0;
    }
  }
  kiv_platform::unlockRegistry(lock);
  return result;
}

}  // namespace

KivRegistry::KivRegistry() = default;

KivRegistry::~KivRegistry() { close(); }

std::string KivRegistry::getPath() { return kiv_platform::registryPath(); }

int KivRegistry::open(const char* keyPath) {
  close();
  std::string key = usableKey(keyPath);
  if (key.empty()) return -1;
  if (!loadForReading(getPath()).hasKey(key)) return -1;
  keyPath_ = std::move(key);
  return 0;
}

int KivRegistry::create(const char* keyPath) {
  close();
  std::string key = usableKey(keyPath);
  if (key.empty()) return -1;
  // The usual case, a key that exists, needs neither the lock nor a write.
  if (!loadForReading(getPath()).hasKey(key)) {
    if (modify([&key](RegistryText& text) { return !text.hasKey(key) && text.addSection(key); }) != 0) {
      return -1;
    }
  }
  keyPath_ = std::move(key);
  return 0;
}

void KivRegistry::close() { keyPath_.clear(); }

int KivRegistry::setDword(const char* name, uint32_t value) {
  if (!isOpen() || name == nullptr || name[0] == '\0' || hasLineBreak(name)) return -1;
  std::string valueName(name);
  return modify([this, &valueName, value](RegistryText& text) {
    text.setDword(keyPath_, valueName, value);
    return true;
  });
}

int KivRegistry::getDword(const char* name, uint32_t& value) const {
  if (!isOpen() || name == nullptr || name[0] == '\0') return -1;
  RegistryText text = loadForReading(getPath());
  long index = text.findValue(keyPath_, name);
  if (index < 0 || !text.line(index).isDword) return -1;
  value = text.line(index).dword;
  return 0;
}
