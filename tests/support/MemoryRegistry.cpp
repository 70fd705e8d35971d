// The in-memory registry used by the native tests and the fuzz target.
#include "tests/support/MemoryRegistry.h"

#include <cstring>

namespace stavora {

struct MemoryRegistry::Node {
  WString name;
  std::weak_ptr<Node> parent;
  std::vector<std::shared_ptr<Node>> children;
  std::vector<std::pair<WString, Value>> values;
  bool readOnly = false;
  bool deleted = false;
};

namespace {

constexpr std::size_t kMaxKeyNameLength = 255;
constexpr std::uint32_t kWriteRights = regaccess::kSetValue | regaccess::kCreateSubKey;

struct RootRow {
  const char16_t* shortName;
  RegKey key;
};

const RootRow kRoots[] = {
    {u"HKCR", regkey::kClassesRoot},     {u"HKCU", regkey::kCurrentUser},
    {u"HKLM", regkey::kLocalMachine},    {u"HKU", regkey::kUsers},
    {u"HKPD", regkey::kPerformanceData}, {u"HKCC", regkey::kCurrentConfig},
    {u"HKDD", regkey::kDynData},
};

char16_t Fold(char16_t unit) {
  return (unit >= u'a' && unit <= u'z') ? static_cast<char16_t>(unit - 32) : unit;
}

bool SameName(const WString& a, const WString& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Fold(a[i]) != Fold(b[i])) return false;
  }
  return true;
}

std::vector<WString> SplitPath(const WString& path) {
  std::vector<WString> parts;
  WString part;
  for (char16_t unit : path) {
    if (unit == u'\\') {
      parts.push_back(part);
      part.clear();
    } else {
      part.push_back(unit);
    }
  }
  parts.push_back(part);
  return parts;
}

std::string Narrow(const WString& text) {
  std::string out;
  for (char16_t unit : text) {
    if (unit >= 0x20 && unit < 0x7F) {
      out.push_back(static_cast<char>(unit));
    } else {
      static const char kHex[] = "0123456789abcdef";
      out += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) out.push_back(kHex[(unit >> shift) & 0xF]);
    }
  }
  return out;
}

std::string Describe(const MemoryRegistry::Value& value) {
  const std::vector<std::uint8_t>& d = value.data;
  if (value.type == regtype::kString && d.size() >= 2 && d.size() % 2 == 0 && d[d.size() - 1] == 0 &&
      d[d.size() - 2] == 0) {
    WString text;
    for (std::size_t i = 0; i + 2 < d.size(); i += 2) {
      text.push_back(static_cast<char16_t>(d[i] | (d[i + 1] << 8)));
    }
    return "S:" + Narrow(text);
  }
  static const char kHex[] = "0123456789abcdef";
  std::string out = "T" + std::to_string(value.type) + ":";
  for (std::uint8_t byte : d) {
    out.push_back(kHex[byte >> 4]);
    out.push_back(kHex[byte & 0xF]);
  }
  return out;
}

}  // namespace

MemoryRegistry::MemoryRegistry() {
  for (const RootRow& row : kRoots) {
    auto node = std::make_shared<Node>();
    node->name = row.shortName;
    m_roots.push_back(node);
  }
}

MemoryRegistry::~MemoryRegistry() = default;

std::int32_t MemoryRegistry::Injected(Operation op) {
  ++m_calls;
  return m_failures[static_cast<int>(op)];
}

void MemoryRegistry::SetFailure(Operation op, std::int32_t error) { m_failures[static_cast<int>(op)] = error; }

std::int32_t MemoryRegistry::Resolve(RegKey key, std::shared_ptr<Node>* node, std::uint32_t* access) {
  for (std::size_t i = 0; i < sizeof(kRoots) / sizeof(kRoots[0]); ++i) {
    if (kRoots[i].key == key) {
      *node = m_roots[i];
      *access = 0xF003F;  // KEY_ALL_ACCESS
      return regerror::kSuccess;
    }
  }
  auto found = m_handles.find(key);
  if (found == m_handles.end()) {
    ++m_handleErrors;
    return regerror::kInvalidHandle;
  }
  *node = found->second.node;
  *access = found->second.access;
  if ((*node)->deleted) return regerror::kKeyDeleted;
  return regerror::kSuccess;
}

RegKey MemoryRegistry::NewHandle(const std::shared_ptr<Node>& node, std::uint32_t access) {
  const RegKey key = m_nextHandle;
  m_nextHandle += 4;
  m_handles[key] = Handle{node, access};
  return key;
}

std::int32_t MemoryRegistry::OpenKey(RegKey parent, const char16_t* name, std::uint32_t access, RegKey* key) {
  *key = kNoKey;
  if (std::int32_t error = Injected(Operation::kOpen)) return error;
  std::shared_ptr<Node> node;
  std::uint32_t parentAccess = 0;
  if (std::int32_t error = Resolve(parent, &node, &parentAccess)) return error;
  if (name != nullptr && *name != 0) {
    for (const WString& part : SplitPath(name)) {
      if (part.empty() || part.size() > kMaxKeyNameLength) return regerror::kFileNotFound;
      std::shared_ptr<Node> next;
      for (const auto& child : node->children) {
        if (SameName(child->name, part)) next = child;
      }
      if (!next) return regerror::kFileNotFound;
      node = next;
    }
  }
  if (node->readOnly && (access & kWriteRights) != 0) return regerror::kAccessDenied;
  *key = NewHandle(node, access);
  return regerror::kSuccess;
}

std::int32_t MemoryRegistry::CreateKey(RegKey parent, const char16_t* name, std::uint32_t access, RegKey* key) {
  *key = kNoKey;
  if (std::int32_t error = Injected(Operation::kCreate)) return error;
  std::shared_ptr<Node> node;
  std::uint32_t parentAccess = 0;
  if (std::int32_t error = Resolve(parent, &node, &parentAccess)) return error;
  if (name == nullptr) return regerror::kInvalidParameter;
  const std::vector<WString> parts = SplitPath(name);
  for (const WString& part : parts) {
    if (part.empty() || part.size() > kMaxKeyNameLength) return regerror::kInvalidParameter;
  }
  for (const WString& part : parts) {
    std::shared_ptr<Node> next;
    for (const auto& child : node->children) {
      if (SameName(child->name, part)) next = child;
    }
    if (!next) {
      if ((parentAccess & regaccess::kCreateSubKey) == 0 || node->readOnly) return regerror::kAccessDenied;
      next = std::make_shared<Node>();
      next->name = part;
      next->parent = node;
      node->children.push_back(next);
      ++m_mutations;
    }
    node = next;
    parentAccess = 0xF003F;  // the walk through created keys is the caller's own
  }
  if (node->readOnly && (access & kWriteRights) != 0) return regerror::kAccessDenied;
  *key = NewHandle(node, access);
  return regerror::kSuccess;
}

std::int32_t MemoryRegistry::CloseKey(RegKey key) {
  const std::int32_t injected = Injected(Operation::kClose);
  for (const RootRow& row : kRoots) {
    if (row.key == key) return injected;
  }
  auto found = m_handles.find(key);
  if (found == m_handles.end()) {
    ++m_handleErrors;
    return regerror::kInvalidHandle;
  }
  m_handles.erase(found);
  return injected;
}

std::int32_t MemoryRegistry::SetValue(RegKey key, const char16_t* name, std::uint32_t type, const void* data,
                                      std::uint32_t bytes) {
  if (std::int32_t error = Injected(Operation::kSetValue)) return error;
  std::shared_ptr<Node> node;
  std::uint32_t access = 0;
  if (std::int32_t error = Resolve(key, &node, &access)) return error;
  if ((access & regaccess::kSetValue) == 0 || node->readOnly) return regerror::kAccessDenied;
  if (bytes != 0 && data == nullptr) return regerror::kInvalidParameter;
  Value value;
  value.type = type;
  const auto* first = static_cast<const std::uint8_t*>(data);
  if (bytes != 0) value.data.assign(first, first + bytes);
  const WString valueName = name != nullptr ? WString(name) : WString();
  ++m_mutations;
  for (auto& entry : node->values) {
    if (SameName(entry.first, valueName)) {
      entry.second = std::move(value);
      return regerror::kSuccess;
    }
  }
  node->values.emplace_back(valueName, std::move(value));
  return regerror::kSuccess;
}

std::int32_t MemoryRegistry::DeleteValue(RegKey key, const char16_t* name) {
  if (std::int32_t error = Injected(Operation::kDeleteValue)) return error;
  std::shared_ptr<Node> node;
  std::uint32_t access = 0;
  if (std::int32_t error = Resolve(key, &node, &access)) return error;
  if ((access & regaccess::kSetValue) == 0 || node->readOnly) return regerror::kAccessDenied;
  const WString valueName = name != nullptr ? WString(name) : WString();
  for (auto it = node->values.begin(); it != node->values.end(); ++it) {
    if (SameName(it->first, valueName)) {
      node->values.erase(it);
      ++m_mutations;
      return regerror::kSuccess;
    }
  }
  return regerror::kFileNotFound;
}

std::int32_t MemoryRegistry::DeleteKey(RegKey parent, const char16_t* name) {
  if (std::int32_t error = Injected(Operation::kDeleteKey)) return error;
  std::shared_ptr<Node> node;
  std::uint32_t access = 0;
  if (std::int32_t error = Resolve(parent, &node, &access)) return error;
  if (name == nullptr || *name == 0) return regerror::kInvalidParameter;
  const std::vector<WString> parts = SplitPath(name);
  for (std::size_t i = 0; i < parts.size(); ++i) {
    std::shared_ptr<Node> next;
    for (const auto& child : node->children) {
      if (SameName(child->name, parts[i])) next = child;
    }
    if (!next) return regerror::kFileNotFound;
    if (i + 1 == parts.size()) {
      if (!next->children.empty() || next->readOnly) return regerror::kAccessDenied;
      auto& siblings = node->children;
      for (auto it = siblings.begin(); it != siblings.end(); ++it) {
        if (*it == next) {
          siblings.erase(it);
          break;
        }
      }
      next->deleted = true;
      ++m_mutations;
      return regerror::kSuccess;
    }
    node = next;
  }
  return regerror::kFileNotFound;
}

std::int32_t MemoryRegistry::EnumKey(RegKey key, std::uint32_t index, char16_t* name, std::uint32_t* length) {
  if (std::int32_t error = Injected(Operation::kEnum)) return error;
  std::shared_ptr<Node> node;
  std::uint32_t access = 0;
  if (std::int32_t error = Resolve(key, &node, &access)) return error;
  if ((access & regaccess::kEnumerateSubKeys) == 0) return regerror::kAccessDenied;
  if (index >= node->children.size()) return regerror::kNoMoreItems;
  const WString& childName = node->children[index]->name;
  if (childName.size() + 1 > *length) return regerror::kMoreData;
  std::memcpy(name, childName.c_str(), (childName.size() + 1) * sizeof(char16_t));
  *length = static_cast<std::uint32_t>(childName.size());
  return regerror::kSuccess;
}

std::int32_t MemoryRegistry::QuerySubkeyCount(RegKey key, std::uint32_t* count) {
  if (std::int32_t error = Injected(Operation::kQuery)) return error;
  std::shared_ptr<Node> node;
  std::uint32_t access = 0;
  if (std::int32_t error = Resolve(key, &node, &access)) return error;
  if ((access & regaccess::kQueryValue) == 0) return regerror::kAccessDenied;
  *count = static_cast<std::uint32_t>(node->children.size());
  return regerror::kSuccess;
}

std::shared_ptr<MemoryRegistry::Node> MemoryRegistry::FindPath(const WString& path, bool create) const {
  const std::vector<WString> parts = SplitPath(path);
  std::shared_ptr<Node> node;
  for (std::size_t i = 0; i < sizeof(kRoots) / sizeof(kRoots[0]); ++i) {
    if (SameName(parts[0], kRoots[i].shortName)) node = m_roots[i];
  }
  if (!node) return nullptr;
  for (std::size_t i = 1; i < parts.size(); ++i) {
    std::shared_ptr<Node> next;
    for (const auto& child : node->children) {
      if (SameName(child->name, parts[i])) next = child;
    }
    if (!next) {
      if (!create) return nullptr;
      next = std::make_shared<Node>();
      next->name = parts[i];
      next->parent = node;
      node->children.push_back(next);
    }
    node = next;
  }
  return node;
}

void MemoryRegistry::AddKey(const WString& path) { FindPath(path, true); }

void MemoryRegistry::AddValue(const WString& path, const WString& name, std::uint32_t type,
                              const std::vector<std::uint8_t>& data) {
  std::shared_ptr<Node> node = FindPath(path, true);
  if (!node) return;
  for (auto& entry : node->values) {
    if (SameName(entry.first, name)) {
      entry.second = Value{type, data};
      return;
    }
  }
  node->values.emplace_back(name, Value{type, data});
}

void MemoryRegistry::AddStringValue(const WString& path, const WString& name, const WString& text) {
  std::vector<std::uint8_t> data;
  for (char16_t unit : text) {
    data.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    data.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  data.push_back(0);
  data.push_back(0);
  AddValue(path, name, regtype::kString, data);
}

void MemoryRegistry::SetReadOnly(const WString& path) {
  if (std::shared_ptr<Node> node = FindPath(path, true)) node->readOnly = true;
}

bool MemoryRegistry::KeyExists(const WString& path) const { return FindPath(path, false) != nullptr; }

const MemoryRegistry::Value* MemoryRegistry::FindValue(const WString& path, const WString& name) const {
  std::shared_ptr<Node> node = FindPath(path, false);
  if (!node) return nullptr;
  for (const auto& entry : node->values) {
    if (SameName(entry.first, name)) return &entry.second;
  }
  return nullptr;
}

std::vector<std::string> MemoryRegistry::Dump() const {
  std::vector<std::string> lines;
  struct Walker {
    std::vector<std::string>& lines;
    void Walk(const Node& node, const std::string& path) {
      for (const auto& entry : node.values) {
        const std::string name = entry.first.empty() ? "@" : Narrow(entry.first);
        lines.push_back(path + " " + name + " = " + Describe(entry.second));
      }
      for (const auto& child : node.children) {
        const std::string childPath = path + "\\" + Narrow(child->name);
        lines.push_back(childPath);
        Walk(*child, childPath);
      }
    }
  } walker{lines};
  for (const auto& root : m_roots) walker.Walk(*root, Narrow(root->name));
  return lines;
}

std::vector<MemoryRegistry::KeyRecord> MemoryRegistry::Keys() const {
  std::vector<KeyRecord> keys;
  struct Walker {
    std::vector<KeyRecord>& keys;
    void Walk(const Node& node, const WString& path) {
      for (const auto& child : node.children) {
        const WString childPath = path + u"\\" + child->name;
        keys.push_back(KeyRecord{childPath, child->values, child->children.size()});
        Walk(*child, childPath);
      }
    }
  } walker{keys};
  for (const auto& root : m_roots) walker.Walk(*root, root->name);
  return keys;
}

}  // namespace stavora
