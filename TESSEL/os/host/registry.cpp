// The seam's registry on the host machine: one text file, registry.txt in
// the machine root (its format is in docs/host-registry.md). The file is
// read on first use and again whenever it changed on disk, and rewritten
// whole after every change: written to a temporary name, then renamed over
// the old one, so a reader never sees half a file.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "machine.h"
#include "os.h"

namespace host {
// The registry file of the machine root.
std::string RegistryFilePath();
}  // namespace host

namespace {

struct RootName {
  std::uint32_t root;
  const char* name;
  const char* shortName;
};

constexpr RootName kRoots[] = {
    {kHkeyClassesRoot, "HKEY_CLASSES_ROOT", "HKCR"},
    {kHkeyCurrentUser, "HKEY_CURRENT_USER", "HKCU"},
    {kHkeyLocalMachine, "HKEY_LOCAL_MACHINE", "HKLM"},
    {kHkeyUsers, "HKEY_USERS", "HKU"},
    {kHkeyPerformanceData, "HKEY_PERFORMANCE_DATA", nullptr},
    {kHkeyCurrentConfig, "HKEY_CURRENT_CONFIG", "HKCC"},
    {kHkeyDynData, "HKEY_DYN_DATA", nullptr},
};

struct Value {
  std::string name;
  std::uint32_t type;
  std::string data;
};

struct Key {
  std::string name;  // root name and path, in the letter case first written
  std::vector<Value> values;
};

struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified = {};
};

struct Store {
  std::recursive_mutex lock;
  bool loaded = false;
  FileIdentity identity;
  std::string text;                      // the file as last read or written
  std::map<std::string, Key> keys;       // by folded name
  std::map<OsKey, std::string> handles;  // open key -> folded name
  OsKey nextHandle = 1;
};

Store& TheStore() {
  static Store* store = new Store;  // lives to the end of the process
  return *store;
}

char Fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string Folded(const std::string& text) {
  std::string folded = text;
  for (char& c : folded) c = Fold(c);
  return folded;
}

bool EqualNoCase(const std::string& a, const std::string& b) { return Folded(a) == Folded(b); }

const RootName* FindRoot(std::uint32_t root) {
  for (const RootName& r : kRoots)
    if (r.root == root) return &r;
  return nullptr;
}

const RootName* FindRootByName(const std::string& name) {
  for (const RootName& r : kRoots)
    if (EqualNoCase(name, r.name) || (r.shortName && EqualNoCase(name, r.shortName))) return &r;
  return nullptr;
}

// The root's name and the path's key names, '\' between them; empty names
// (doubled or trailing separators) are passed over.
std::string FullName(const RootName& root, const char* path) {
  std::string name = root.name;
  std::string part;
  for (const char* p = path ? path : "";; ++p) {
    if (*p == '\\' || *p == '\0') {
      if (!part.empty()) name += "\\" + part;
      part.clear();
      if (*p == '\0') break;
    } else {
      part += *p;
    }
  }
  return name;
}

bool IsRootName(const std::string& name) { return name.find('\\') == std::string::npos; }

// Adds the key and every key above it that is missing.
void EnsureKey(Store& store, const std::string& name) {
  for (std::size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || name[i] == '\\') {
      std::string prefix = name.substr(0, i);
      std::string folded = Folded(prefix);
      if (store.keys.find(folded) == store.keys.end()) store.keys[folded] = Key{prefix, {}};
    }
  }
}

bool HasSubkeys(const Store& store, const std::string& folded) {
  auto next = store.keys.upper_bound(folded);
  return next != store.keys.end() && next->first.compare(0, folded.size() + 1, folded + "\\") == 0;
}

void SetValue(Key& key, const std::string& name, std::uint32_t type, const std::string& data) {
  for (Value& v : key.values) {
    if (EqualNoCase(v.name, name)) {
      v.type = type;
      v.data = data;
      return;
    }
  }
  key.values.push_back(Value{name, type, data});
}

void Reset(Store& store) {
  store.keys.clear();
  for (const RootName& r : kRoots) EnsureKey(store, r.name);
}

// A new machine looks like a fresh Windows installation to the program.
void Seed(Store& store) {
  Reset(store);
  std::string machine = "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion";
  EnsureKey(store, machine);
  SetValue(store.keys[Folded(machine)], "ProgramFilesDir", kRegSz, "C:\\Program Files");
  std::string folders = "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
  EnsureKey(store, folders);
  SetValue(store.keys[Folded(folders)], "Programs", kRegSz,
           "C:\\users\\" + host::UserName() + "\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs");
}

// ---- the text form ---------------------------------------------------------

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool StartsEscape(const std::string& text, std::size_t i) {
  return i + 3 < text.size() && text[i] == '\\' && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
         HexDigit(text[i + 2]) >= 0 && HexDigit(text[i + 3]) >= 0;
}

std::string Unescape(const std::string& text) {
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (StartsEscape(text, i)) {
      bytes += static_cast<char>(HexDigit(text[i + 2]) * 16 + HexDigit(text[i + 3]));
      i += 3;
    } else {
      bytes += text[i];
    }
  }
  return bytes;
}

// Control bytes, a final blank (editors drop those) and, in names, the
// quote become \xHH; so does a '\' that would read as the start of one.
std::string Escape(const std::string& bytes, bool name) {
  std::string text;
  char hex[8];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    bool odd = c < 0x20 || c == 0x7F || (name && c == '"') || (c == ' ' && i + 1 == bytes.size()) ||
               (c == '\\' && i + 1 < bytes.size() && (bytes[i + 1] == 'x' || bytes[i + 1] == 'X'));
    if (odd) {
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      text += hex;
    } else {
      text += static_cast<char>(c);
    }
  }
  return text;
}

bool ParseHexBytes(const std::string& text, std::string* bytes) {
  std::string digits;
  for (char c : text) {
    if (c == ',' || c == ' ' || c == '\t') {
      if (digits.size() == 1) return false;
      continue;
    }
    if (HexDigit(c) < 0) return false;
    digits += c;
    if (digits.size() == 2) {
      *bytes += static_cast<char>(HexDigit(digits[0]) * 16 + HexDigit(digits[1]));
      digits.clear();
    }
  }
  return digits.empty();
}

bool ParseNumber(const std::string& text, int base, std::uint32_t* number) {
  if (text.empty() || text.size() > 8) return false;
  std::uint32_t n = 0;
  for (char c : text) {
    int d = HexDigit(c);
    if (d < 0 || d >= base) return false;
    n = n * static_cast<std::uint32_t>(base) + static_cast<std::uint32_t>(d);
  }
  *number = n;
  return true;
}

// One "name"=type:data line.
bool ParseValue(const std::string& line, Value* value) {
  std::size_t close = line.find('"', 1);
  if (close == std::string::npos || close + 1 >= line.size() || line[close + 1] != '=') return false;
  value->name = Unescape(line.substr(1, close - 1));
  std::string rest = line.substr(close + 2);
  std::size_t colon = rest.find(':');
  if (colon == std::string::npos) return false;
  std::string kind = Folded(rest.substr(0, colon));
  std::string data = rest.substr(colon + 1);
  value->data.clear();
  if (kind == "sz" || kind == "expand") {
    value->type = kind == "sz" ? kRegSz : kRegExpandSz;
    value->data = Unescape(data);
    return true;
  }
  if (kind == "dword") {
    std::uint32_t n = 0;
    if (!ParseNumber(data, 16, &n)) return false;
    value->type = kRegDword;
    for (int i = 0; i < 4; ++i) value->data += static_cast<char>((n >> (8 * i)) & 0xFF);
    return true;
  }
  if (kind == "hex") {
    value->type = kRegBinary;
    return ParseHexBytes(data, &value->data);
  }
  if (kind.size() > 5 && kind.compare(0, 4, "hex(") == 0 && kind.back() == ')') {
    if (!ParseNumber(kind.substr(4, kind.size() - 5), 16, &value->type)) return false;
    return ParseHexBytes(data, &value->data);
  }
  return false;
}

void Parse(Store& store, const std::string& text, const std::string& fileName) {
  Reset(store);
  Key* current = nullptr;
  std::size_t start = 0;
  int lineNumber = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == ';' || line[first] == '#') continue;
    line = line.substr(first);
    bool understood = false;
    if (line[0] == '[') {
      std::size_t close = line.rfind(']');
      current = nullptr;
      if (close != std::string::npos && close > 1) {
        std::string inner = line.substr(1, close - 1);
        std::size_t slash = inner.find('\\');
        const RootName* root = FindRootByName(inner.substr(0, slash));
        if (root) {
          std::string name = FullName(*root, slash == std::string::npos ? "" : inner.c_str() + slash + 1);
          EnsureKey(store, name);
          current = &store.keys[Folded(name)];
          understood = true;
        }
      }
    } else if (line[0] == '"' && current) {
      Value value;
      if (ParseValue(line, &value)) {
        SetValue(*current, value.name, value.type, value.data);
        understood = true;
      }
    }
    if (!understood)
      std::fprintf(stderr, "%s:%d: registry line not understood, passed over\n", fileName.c_str(), lineNumber);
  }
}

std::string Render(const Store& store) {
  std::string text =
      "; The registry of this machine: a [key] line for each key, then a\n"
      "; \"name\"=type:data line for each of its values (see host-registry.md).\n";
  char buffer[32];
  for (const auto& entry : store.keys) {
    const Key& key = entry.second;
    bool leaf = !HasSubkeys(store, entry.first);
    if (key.values.empty() && (!leaf || IsRootName(key.name))) continue;
    text += "\n[" + key.name + "]\n";
    for (const Value& v : key.values) {
      text += "\"" + Escape(v.name, true) + "\"=";
      if (v.type == kRegSz || v.type == kRegExpandSz) {
        text += (v.type == kRegSz ? "sz:" : "expand:") + Escape(v.data, false);
      } else if (v.type == kRegDword && v.data.size() == 4) {
        std::uint32_t n = 0;
        for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(v.data[static_cast<std::size_t>(i)]);
        std::snprintf(buffer, sizeof buffer, "dword:%08X", n);
        text += buffer;
      } else {
        if (v.type == kRegBinary) {
          text += "hex:";
        } else {
          std::snprintf(buffer, sizeof buffer, "hex(%X):", v.type);
          text += buffer;
        }
        for (std::size_t i = 0; i < v.data.size(); ++i) {
          std::snprintf(buffer, sizeof buffer, i ? ",%02x" : "%02x", static_cast<unsigned char>(v.data[i]));
          text += buffer;
        }
      }
      text += "\n";
    }
  }
  return text;
}

// ---- the file ----------------------------------------------------------------

FileIdentity IdentityOf(const struct stat& info) {
  FileIdentity identity;
  identity.device = info.st_dev;
  identity.inode = info.st_ino;
  identity.size = info.st_size;
  identity.modified = info.st_mtim;
  return identity;
}

bool SameIdentity(const FileIdentity& a, const FileIdentity& b) {
  return a.device == b.device && a.inode == b.inode && a.size == b.size && a.modified.tv_sec == b.modified.tv_sec &&
         a.modified.tv_nsec == b.modified.tv_nsec;
}

// A file changed within the last moments may change again without its time
// stamp moving (the clock behind it is coarse): read such a file again.
bool RecentlyChanged(const FileIdentity& identity) {
  timespec now = {};
  clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec - identity.modified.tv_sec < 3;
}

std::uint32_t Save(Store& store) {
  std::string path = host::RegistryFilePath();
  std::string temporary = path + "." + std::to_string(getpid()) + ".tmp";
  std::string text = Render(store);
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  bool ok = file != nullptr;
  if (ok) {
    ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    ok = std::fclose(file) == 0 && ok;
  }
  if (ok) ok = std::rename(temporary.c_str(), path.c_str()) == 0;
  struct stat info = {};
  if (!ok || stat(path.c_str(), &info) != 0) {
    std::remove(temporary.c_str());
    store.loaded = false;  // the change did not reach the file: forget it
    return kErrorWriteFault;
  }
  store.identity = IdentityOf(info);
  store.text = text;
  store.loaded = true;
  return kErrorSuccess;
}

// Brings the store up to the file's state before an operation.
void Sync(Store& store) {
  std::string path = host::RegistryFilePath();
  struct stat info = {};
  if (stat(path.c_str(), &info) != 0) {
    Seed(store);
    Save(store);
    return;
  }
  if (store.loaded && SameIdentity(store.identity, IdentityOf(info)) && !RecentlyChanged(store.identity)) return;
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return;  // keep what is known
  std::string text;
  char buffer[65536];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
  struct stat opened = {};
  fstat(fd, &opened);
  close(fd);
  store.identity = IdentityOf(opened);
  if (store.loaded && text == store.text) return;
  Parse(store, text, path);
  store.text = text;
  store.loaded = true;
}

Key* KeyOfHandle(Store& store, OsKey handle, std::uint32_t* error) {
  auto open = store.handles.find(handle);
  if (open == store.handles.end()) {
    *error = kErrorInvalidHandle;
    return nullptr;
  }
  auto key = store.keys.find(open->second);
  if (key == store.keys.end()) {
    *error = kErrorKeyDeleted;
    return nullptr;
  }
  return &key->second;
}

OsKey NewHandle(Store& store, const std::string& folded) {
  OsKey handle = store.nextHandle++;
  store.handles[handle] = folded;
  return handle;
}

}  // namespace

namespace host {

std::string RegistryFilePath() { return MachineRoot() + "/registry.txt"; }

}  // namespace host

std::uint32_t OsRegOpenKey(std::uint32_t root, const char* path, OsKey* key) {
  Store& store = TheStore();
  std::lock_guard<std::recursive_mutex> guard(store.lock);
  *key = 0;
  const RootName* rootName = FindRoot(root);
  if (rootName == nullptr) return kErrorInvalidHandle;
  Sync(store);
  std::string folded = Folded(FullName(*rootName, path));
  if (store.keys.find(folded) == store.keys.end()) return kErrorFileNotFound;
  *key = NewHandle(store, folded);
  return kErrorSuccess;
}

std::uint32_t OsRegCreateKey(std::uint32_t root, const char* path, OsKey* key) {
  Store& store = TheStore();
  std::lock_guard<std::recursive_mutex> guard(store.lock);
  *key = 0;
  const RootName* rootName = FindRoot(root);
  if (rootName == nullptr) return kErrorInvalidHandle;
  for (const char* p = path ? path : ""; *p; ++p)
    if (static_cast<unsigned char>(*p) < 0x20) return kErrorInvalidParameter;  // no line of the file could hold it
  Sync(store);
  std::string name = FullName(*rootName, path);
  std::string folded = Folded(name);
  if (store.keys.find(folded) == store.keys.end()) {
    EnsureKey(store, name);
    std::uint32_t error = Save(store);
    if (error != kErrorSuccess) return error;
  }
  *key = NewHandle(store, folded);
  return kErrorSuccess;
}

std::uint32_t OsRegCloseKey(OsKey key) {
  Store& store = TheStore();
  std::lock_guard<std::recursive_mutex> guard(store.lock);
  return store.handles.erase(key) ? kErrorSuccess : kErrorInvalidHandle;
}

std::uint32_t OsRegDeleteKey(std::uint32_t root, const char* path) {
  Store& store = TheStore();
  std::lock_guard<std::recursive_mutex> guard(store.lock);
  const RootName* rootName = FindRoot(root);
  if (rootName == nullptr) return kErrorInvalidHandle;
  Sync(store);
  std::string name = FullName(*rootName, path);
  if (IsRootName(name)) return kErrorAccessDenied;
  std::string folded = Folded(name);
  if (store.keys.find(folded) == store.keys.end()) return kErrorFileNotFound;
  if (HasSubkeys(store, folded)) return kErrorAccessDenied;
  store.keys.erase(folded);
  return Save(store);
}

std::uint32_t OsRegEnumValue(OsKey key, std::uint32_t index, char* name, std::uint32_t* nameLength, std::uint32_t* type,
                             unsigned char* data, std::uint32_t* dataLength) {
  Store& store = TheStore();
  std::lock_guard<std::recursive_mutex> guard(store.lock);
  Sync(store);
  std::uint32_t error = kErrorSuccess;
  Key* open = KeyOfHandle(store, key, &error);
  if (open == nullptr) return error;
  if (index >= open->values.size()) return kErrorNoMoreItems;
  const Value& value = open->values[index];
  if (value.name.size() + 1 > *nameLength) return kErrorMoreData;
  std::memcpy(name, value.name.c_str(), value.name.size() + 1);
  *nameLength = static_cast<std::uint32_t>(value.name.size());
  *type = value.type;
  std::uint32_t room = *dataLength;
  *dataLength = static_cast<std::uint32_t>(value.data.size());
  if (data == nullptr) return kErrorSuccess;  // the size alone was asked for
  if (value.data.size() > room) return kErrorMoreData;
  if (!value.data.empty()) std::memcpy(data, value.data.data(), value.data.size());
  return kErrorSuccess;
}

std::uint32_t OsRegSetValue(OsKey key, const char* name, std::uint32_t type, const void* data, std::uint32_t length) {
  Store& store = TheStore();
  std::lock_guard<std::recursive_mutex> guard(store.lock);
  Sync(store);
  std::uint32_t error = kErrorSuccess;
  Key* open = KeyOfHandle(store, key, &error);
  if (open == nullptr) return error;
  std::string bytes = length ? std::string(static_cast<const char*>(data), length) : std::string();
  SetValue(*open, name ? name : "", type, bytes);
  return Save(store);
}

std::uint32_t OsRegDeleteValue(OsKey key, const char* name) {
  Store& store = TheStore();
  std::lock_guard<std::recursive_mutex> guard(store.lock);
  Sync(store);
  std::uint32_t error = kErrorSuccess;
  Key* open = KeyOfHandle(store, key, &error);
  if (open == nullptr) return error;
  for (auto value = open->values.begin(); value != open->values.end(); ++value) {
    if (EqualNoCase(value->name, name ? name : "")) {
      open->values.erase(value);
      return Save(store);
    }
  }
  return kErrorFileNotFound;
}
