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

// How one caller sees the trees.
struct MemoryRegistry::Lens {
  bool plain = true;      // every root its own tree, nothing redirected or merged
  bool twoViews = false;  // 64-bit Windows: the classes keys have a 32-bit copy
  bool callerIs32 = false;
  View view = View::kProcess;
};

class MemoryRegistry::Session final : public IRegistry {
 public:
  Session(MemoryRegistry& owner, const Lens& lens) : m_owner(owner), m_lens(lens) {}
  std::int32_t OpenKey(RegKey parent, const char16_t* name, std::uint32_t access, RegKey* key) override {
    return m_owner.DoOpen(m_lens, parent, name, access, key);
  }
  std::int32_t CreateKey(RegKey parent, const char16_t* name, std::uint32_t access, RegKey* key) override {
    return m_owner.DoCreate(m_lens, parent, name, access, key);
  }
  std::int32_t CloseKey(RegKey key) override { return m_owner.DoClose(key); }
  std::int32_t SetValue(RegKey key, const char16_t* name, std::uint32_t type, const void* data,
                        std::uint32_t bytes) override {
    return m_owner.DoSetValue(m_lens, key, name, type, data, bytes);
  }
  std::int32_t DeleteValue(RegKey key, const char16_t* name) override {
    return m_owner.DoDeleteValue(m_lens, key, name);
  }
  std::int32_t DeleteKey(RegKey parent, const char16_t* name) override {
    return m_owner.DoDeleteKey(m_lens, parent, name);
  }
  std::int32_t EnumKey(RegKey key, std::uint32_t index, char16_t* name, std::uint32_t* length) override {
    return m_owner.DoEnumKey(m_lens, key, index, name, length);
  }
  std::int32_t QuerySubkeyCount(RegKey key, std::uint32_t* count) override {
    return m_owner.DoQuerySubkeyCount(m_lens, key, count);
  }
  std::int32_t QueryValue(RegKey key, const char16_t* name, std::uint32_t* type, void* data,
                          std::uint32_t* bytes) override {
    return m_owner.DoQueryValue(m_lens, key, name, type, data, bytes);
  }
  std::int32_t EnumValue(RegKey key, std::uint32_t index, char16_t* name, std::uint32_t* length) override {
    return m_owner.DoEnumValue(m_lens, key, index, name, length);
  }
  std::int32_t OverrideClassesRoot(RegKey key) override { return m_owner.DoOverrideClassesRoot(m_lens, key); }
  const Lens& GetLens() const { return m_lens; }

 private:
  MemoryRegistry& m_owner;
  Lens m_lens;
};

namespace {

// "Registry Keys Affected by WOW64" (Windows 7 and later): below
// HKLM\Software\Classes and HKCU\Software\Classes these keys are redirected,
// the 32-bit view having its own copy under Wow6432Node; everything else
// there (ProgIDs, AppID, TypeLib ...) is shared by both views.
const char16_t* const kRedirectedClassKeys[] = {u"CLSID", u"DirectShow", u"Interface", u"Media Type",
                                                u"MediaFoundation"};

// "Merged View of HKEY_CLASSES_ROOT": the immediate subkeys of these keys
// merge as the classes root's own do (a duplicated subkey shows the
// per-user key's contents only); the page lists more, these are the ones
// that class registrations use.
const char16_t* const kMergedClassKeys[] = {u"AppID", u"CLSID", u"Interface", u"TypeLib"};

template <std::size_t N>
bool IsOneOf(const WString& name, const char16_t* const (&list)[N]) {
  for (const char16_t* entry : list) {
    if (SameName(name, entry)) return true;
  }
  return false;
}

std::shared_ptr<MemoryRegistry::Node> ChildOf(const std::shared_ptr<MemoryRegistry::Node>& node,
                                              const WString& name);

}  // namespace

MemoryRegistry::MemoryRegistry() {
  for (const RootRow& row : kRoots) {
    auto node = std::make_shared<Node>();
    node->name = row.shortName;
    m_roots.push_back(node);
  }
}

MemoryRegistry::~MemoryRegistry() = default;

IRegistry& MemoryRegistry::As(Caller caller, View view) {
  Lens lens;
  lens.plain = false;
  lens.twoViews = caller != Caller::k32On32;
  lens.callerIs32 = caller != Caller::k64On64;
  lens.view = view;
  m_sessions.push_back(std::make_unique<Session>(*this, lens));
  return *m_sessions.back();
}

std::int32_t MemoryRegistry::Injected(Operation op) {
  ++m_calls;
  return m_failures[static_cast<int>(op)];
}

void MemoryRegistry::SetFailure(Operation op, std::int32_t error) { m_failures[static_cast<int>(op)] = error; }

namespace {

std::shared_ptr<MemoryRegistry::Node> ChildOf(const std::shared_ptr<MemoryRegistry::Node>& node,
                                              const WString& name) {
  if (!node) return nullptr;
  std::shared_ptr<MemoryRegistry::Node> found;
  for (const auto& child : node->children) {
    if (SameName(child->name, name)) found = child;
  }
  return found;
}

// The physical names of a logical path below HKLM or HKCU: a redirected
// classes key seen from the 32-bit view lives under Wow6432Node.
std::vector<WString> PhysicalPath(const std::vector<WString>& logical, bool redirect) {
  std::vector<WString> parts = logical;
  if (redirect && parts.size() > 2 && SameName(parts[0], u"Software") && SameName(parts[1], u"Classes") &&
      IsOneOf(parts[2], kRedirectedClassKeys)) {
    parts.insert(parts.begin() + 2, u"Wow6432Node");
  }
  return parts;
}

}  // namespace

std::shared_ptr<MemoryRegistry::Node> MemoryRegistry::RootNode(RegKey key) const {
  for (std::size_t i = 0; i < sizeof(kRoots) / sizeof(kRoots[0]); ++i) {
    if (kRoots[i].key == key) return m_roots[i];
  }
  return nullptr;
}

std::int32_t MemoryRegistry::Locate(const Lens& lens, RegKey root, const std::vector<WString>& logical, bool view32,
                                    Place* place) const {
  *place = Place();
  const bool redirect = lens.twoViews && view32;
  if (lens.plain || root != regkey::kClassesRoot) {
    // "Registry Keys Affected by WOW64": HKLM and HKCU are trees of their
    // own; only the classes keys listed above differ between the views.
    const bool classesRoot = root == regkey::kLocalMachine || root == regkey::kCurrentUser;
    std::shared_ptr<Node> node = RootNode(root);
    for (const WString& part : PhysicalPath(logical, !lens.plain && classesRoot && redirect)) {
      if (part.empty() || part.size() > kMaxKeyNameLength) return regerror::kFileNotFound;
      node = ChildOf(node, part);
      if (!node) return regerror::kFileNotFound;
    }
    place->node = node;
    return regerror::kSuccess;
  }

  // "Merged View of HKEY_CLASSES_ROOT": the classes root shows every subkey
  // of HKCU\Software\Classes, and the subkeys of HKLM\Software\Classes that
  // the user's do not duplicate; a duplicated key shows the user's contents.
  // So a key that exists per user is read (and its values written) there,
  // and otherwise the machine's key is. Both sides are seen in the caller's
  // registry view.
  std::shared_ptr<Node> user = ChildOf(ChildOf(RootNode(regkey::kCurrentUser), u"Software"), u"Classes");
  std::shared_ptr<Node> machine = ChildOf(ChildOf(RootNode(regkey::kLocalMachine), u"Software"), u"Classes");
  bool merging = true;  // the root's subkeys merge
  for (std::size_t i = 0; i < logical.size(); ++i) {
    const WString& part = logical[i];
    if (part.empty() || part.size() > kMaxKeyNameLength) return regerror::kFileNotFound;
    const bool viaWow = i == 0 && redirect && IsOneOf(part, kRedirectedClassKeys);
    auto step = [&](const std::shared_ptr<Node>& from) {
      return ChildOf(viaWow ? ChildOf(from, u"Wow6432Node") : from, part);
    };
    std::shared_ptr<Node> nextUser = step(user);
    std::shared_ptr<Node> nextMachine = step(machine);
    const bool listed = i == 0 && IsOneOf(part, kMergedClassKeys);
    if (merging && nextUser && !listed) nextMachine = nullptr;  // the user's key hides the machine's
    if (!merging && user) nextMachine = nullptr;
    if (!merging && !user) nextUser = nullptr;
    user = nextUser;
    machine = nextMachine;
    if (!user && !machine) return regerror::kFileNotFound;
    merging = listed && user && machine;
  }
  if (user) {
    place->node = user;
    if (merging || logical.empty()) place->mergedMachine = machine;
  } else {
    place->node = machine;
  }
  return regerror::kSuccess;
}

std::int32_t MemoryRegistry::Resolve(const Lens& lens, RegKey key, Handle* handle) {
  if (std::shared_ptr<Node> root = RootNode(key)) {
    *handle = Handle();
    handle->root = key;
    handle->access = 0xF003F;  // KEY_ALL_ACCESS
    handle->view32 = lens.view == View::k32 || (lens.view == View::kProcess && lens.callerIs32);
    if (key == regkey::kClassesRoot && m_classesOverride.set) {
      // RegOverridePredefKey: the classes root is the mapped key, and what is
      // named below it is found below that key.
      handle->root = m_classesOverride.root;
      handle->logical = m_classesOverride.logical;
      if (Locate(lens, handle->root, handle->logical, handle->view32, &handle->place) != regerror::kSuccess) {
        return regerror::kKeyDeleted;
      }
      return regerror::kSuccess;
    }
    if (lens.plain || key != regkey::kClassesRoot) {
      handle->place.node = root;
    } else {
      Locate(lens, key, {}, handle->view32, &handle->place);
    }
    return regerror::kSuccess;
  }
  auto found = m_handles.find(key);
  if (found == m_handles.end()) {
    ++m_handleErrors;
    return regerror::kInvalidHandle;
  }
  *handle = found->second;
  if (handle->place.node && handle->place.node->deleted) return regerror::kKeyDeleted;
  return regerror::kSuccess;
}

RegKey MemoryRegistry::NewHandle(const Handle& handle) {
  const RegKey key = m_nextHandle;
  m_nextHandle += 4;
  m_handles[key] = handle;
  return key;
}

namespace {

// The view of a call: KEY_WOW64_32KEY or KEY_WOW64_64KEY in its access, else
// the session's, else the key's it is made under.
bool CallView32(std::uint32_t access, MemoryRegistry::View sessionView, bool parentView32) {
  if ((access & regaccess::kView32) != 0) return true;
  if ((access & regaccess::kView64) != 0) return false;
  if (sessionView == MemoryRegistry::View::k32) return true;
  if (sessionView == MemoryRegistry::View::k64) return false;
  return parentView32;
}

constexpr std::uint32_t kViewBits = regaccess::kView32 | regaccess::kView64;

}  // namespace

std::int32_t MemoryRegistry::OpenKey(RegKey parent, const char16_t* name, std::uint32_t access, RegKey* key) {
  return DoOpen(Lens(), parent, name, access, key);
}
std::int32_t MemoryRegistry::CreateKey(RegKey parent, const char16_t* name, std::uint32_t access, RegKey* key) {
  return DoCreate(Lens(), parent, name, access, key);
}
std::int32_t MemoryRegistry::CloseKey(RegKey key) { return DoClose(key); }
std::int32_t MemoryRegistry::SetValue(RegKey key, const char16_t* name, std::uint32_t type, const void* data,
                                      std::uint32_t bytes) {
  return DoSetValue(Lens(), key, name, type, data, bytes);
}
std::int32_t MemoryRegistry::DeleteValue(RegKey key, const char16_t* name) {
  return DoDeleteValue(Lens(), key, name);
}
std::int32_t MemoryRegistry::DeleteKey(RegKey parent, const char16_t* name) {
  return DoDeleteKey(Lens(), parent, name);
}
std::int32_t MemoryRegistry::EnumKey(RegKey key, std::uint32_t index, char16_t* name, std::uint32_t* length) {
  return DoEnumKey(Lens(), key, index, name, length);
}
std::int32_t MemoryRegistry::QuerySubkeyCount(RegKey key, std::uint32_t* count) {
  return DoQuerySubkeyCount(Lens(), key, count);
}
std::int32_t MemoryRegistry::QueryValue(RegKey key, const char16_t* name, std::uint32_t* type, void* data,
                                        std::uint32_t* bytes) {
  return DoQueryValue(Lens(), key, name, type, data, bytes);
}
std::int32_t MemoryRegistry::EnumValue(RegKey key, std::uint32_t index, char16_t* name, std::uint32_t* length) {
  return DoEnumValue(Lens(), key, index, name, length);
}
std::int32_t MemoryRegistry::OverrideClassesRoot(RegKey key) { return DoOverrideClassesRoot(Lens(), key); }

// "RegOverridePredefKey": the classes root of the process is mapped onto an
// open key, which may not be a predefined one, until the mapping is undone
// with a null key.
std::int32_t MemoryRegistry::DoOverrideClassesRoot(const Lens& lens, RegKey key) {
  ++m_calls;
  if (key == kNoKey) {
    m_classesOverride = ClassesOverride();
    return regerror::kSuccess;
  }
  if (RootNode(key)) return regerror::kInvalidHandle;
  Handle handle;
  if (std::int32_t error = Resolve(lens, key, &handle)) return error;
  m_classesOverride.set = true;
  m_classesOverride.root = handle.root;
  m_classesOverride.logical = handle.logical;
  return regerror::kSuccess;
}

std::int32_t MemoryRegistry::DoOpen(const Lens& lens, RegKey parent, const char16_t* name, std::uint32_t access,
                                    RegKey* key) {
  *key = kNoKey;
  if (std::int32_t error = Injected(Operation::kOpen)) return error;
  Handle handle;
  if (std::int32_t error = Resolve(lens, parent, &handle)) return error;
  if (!handle.place.node && !handle.place.mergedMachine && !(name != nullptr && *name != 0)) {
    return regerror::kFileNotFound;
  }
  handle.view32 = CallView32(access, lens.view, handle.view32);
  if (name != nullptr && *name != 0) {
    for (const WString& part : SplitPath(name)) handle.logical.push_back(part);
    if (std::int32_t error = Locate(lens, handle.root, handle.logical, handle.view32, &handle.place)) return error;
  }
  if (!handle.place.node) return regerror::kFileNotFound;
  if (handle.place.node->readOnly && (access & kWriteRights) != 0) return regerror::kAccessDenied;
  handle.access = access & ~kViewBits;
  *key = NewHandle(handle);
  return regerror::kSuccess;
}

std::int32_t MemoryRegistry::DoCreate(const Lens& lens, RegKey parent, const char16_t* name, std::uint32_t access,
                                      RegKey* key) {
  *key = kNoKey;
  if (std::int32_t error = Injected(Operation::kCreate)) return error;
  Handle handle;
  if (std::int32_t error = Resolve(lens, parent, &handle)) return error;
  if (name == nullptr) return regerror::kInvalidParameter;
  const std::vector<WString> parts = SplitPath(name);
  for (const WString& part : parts) {
    if (part.empty() || part.size() > kMaxKeyNameLength) return regerror::kInvalidParameter;
  }
  const std::uint32_t parentAccess = handle.access;
  handle.view32 = CallView32(access, lens.view, handle.view32);
  for (const WString& part : parts) handle.logical.push_back(part);

  Place existing;
  if (Locate(lens, handle.root, handle.logical, handle.view32, &existing) == regerror::kSuccess) {
    handle.place = existing;
  } else {
    // Made along its physical path. "HKEY_CLASSES_ROOT Key": keys written
    // through the classes root are stored under HKLM\Software\Classes,
    // except below a key that exists under HKCU\Software\Classes: written to
    // through the classes root, that key is the user's ("Merged View of
    // HKEY_CLASSES_ROOT"), and so are the subkeys made below it. So the
    // missing keys go below their nearest existing parent as the merged root
    // shows it: the user's key where the user's alone is shown, the
    // machine's where the machine's is shown or both merge.
    const bool merged = !lens.plain && handle.root == regkey::kClassesRoot;
    std::size_t found = 0;
    Place parent;
    if (merged) {
      for (std::size_t depth = handle.logical.size() - 1; depth > 0; --depth) {
        const std::vector<WString> prefix(handle.logical.begin(), handle.logical.begin() + depth);
        if (Locate(lens, handle.root, prefix, handle.view32, &parent) == regerror::kSuccess) {
          found = depth;
          break;
        }
      }
    }
    std::shared_ptr<Node> node;
    std::vector<WString> physical;
    if (found > 0) {
      node = parent.mergedMachine ? parent.mergedMachine : parent.node;
      physical.assign(handle.logical.begin() + found, handle.logical.end());
    } else {
      node = RootNode(merged ? regkey::kLocalMachine : handle.root);
      std::vector<WString> logical = handle.logical;
      if (merged) logical.insert(logical.begin(), {u"Software", u"Classes"});
      const bool classesRoot = merged || handle.root == regkey::kLocalMachine || handle.root == regkey::kCurrentUser;
      physical = PhysicalPath(logical, !lens.plain && classesRoot && lens.twoViews && handle.view32);
    }
    for (const WString& part : physical) {
      std::shared_ptr<Node> next = ChildOf(node, part);
      if (!next) {
        if ((parentAccess & regaccess::kCreateSubKey) == 0 || node->readOnly) return regerror::kAccessDenied;
        next = std::make_shared<Node>();
        next->name = part;
        next->parent = node;
        node->children.push_back(next);
        ++m_mutations;
      }
      node = next;
    }
    handle.place = Place{node, nullptr};
  }
  if (handle.place.node->readOnly && (access & kWriteRights) != 0) return regerror::kAccessDenied;
  handle.access = access & ~kViewBits;
  *key = NewHandle(handle);
  return regerror::kSuccess;
}

std::int32_t MemoryRegistry::DoClose(RegKey key) {
  const std::int32_t injected = Injected(Operation::kClose);
  if (RootNode(key)) return injected;
  auto found = m_handles.find(key);
  if (found == m_handles.end()) {
    ++m_handleErrors;
    return regerror::kInvalidHandle;
  }
  m_handles.erase(found);
  return injected;
}

std::int32_t MemoryRegistry::DoSetValue(const Lens& lens, RegKey key, const char16_t* name, std::uint32_t type,
                                        const void* data, std::uint32_t bytes) {
  if (std::int32_t error = Injected(Operation::kSetValue)) return error;
  Handle handle;
  if (std::int32_t error = Resolve(lens, key, &handle)) return error;
  const std::shared_ptr<Node>& node = handle.place.node;
  if (!node) return regerror::kFileNotFound;
  if ((handle.access & regaccess::kSetValue) == 0 || node->readOnly) return regerror::kAccessDenied;
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

std::int32_t MemoryRegistry::DoDeleteValue(const Lens& lens, RegKey key, const char16_t* name) {
  if (std::int32_t error = Injected(Operation::kDeleteValue)) return error;
  Handle handle;
  if (std::int32_t error = Resolve(lens, key, &handle)) return error;
  const std::shared_ptr<Node>& node = handle.place.node;
  if (!node) return regerror::kFileNotFound;
  if ((handle.access & regaccess::kSetValue) == 0 || node->readOnly) return regerror::kAccessDenied;
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

std::int32_t MemoryRegistry::DoDeleteKey(const Lens& lens, RegKey parent, const char16_t* name) {
  if (std::int32_t error = Injected(Operation::kDeleteKey)) return error;
  Handle handle;
  if (std::int32_t error = Resolve(lens, parent, &handle)) return error;
  if (name == nullptr || *name == 0) return regerror::kInvalidParameter;
  for (const WString& part : SplitPath(name)) handle.logical.push_back(part);
  Place victim;
  if (Locate(lens, handle.root, handle.logical, handle.view32, &victim) != regerror::kSuccess || !victim.node) {
    return regerror::kFileNotFound;
  }
  const std::shared_ptr<Node> node = victim.node;
  if (!node->children.empty() || node->readOnly) return regerror::kAccessDenied;
  if (std::shared_ptr<Node> owner = node->parent.lock()) {
    auto& siblings = owner->children;
    for (auto it = siblings.begin(); it != siblings.end(); ++it) {
      if (*it == node) {
        siblings.erase(it);
        break;
      }
    }
  }
  node->deleted = true;
  ++m_mutations;
  return regerror::kSuccess;
}

namespace {

// The subkey names a key shows: its own, then those of the machine's key
// merged beside it that it does not duplicate.
std::vector<WString> SubkeyNames(const std::shared_ptr<MemoryRegistry::Node>& node,
                                 const std::shared_ptr<MemoryRegistry::Node>& merged);

}  // namespace

std::int32_t MemoryRegistry::DoEnumKey(const Lens& lens, RegKey key, std::uint32_t index, char16_t* name,
                                       std::uint32_t* length) {
  if (std::int32_t error = Injected(Operation::kEnum)) return error;
  Handle handle;
  if (std::int32_t error = Resolve(lens, key, &handle)) return error;
  if ((handle.access & regaccess::kEnumerateSubKeys) == 0) return regerror::kAccessDenied;
  const std::vector<WString> names = SubkeyNames(handle.place.node, handle.place.mergedMachine);
  if (index >= names.size()) return regerror::kNoMoreItems;
  const WString& childName = names[index];
  if (childName.size() + 1 > *length) return regerror::kMoreData;
  std::memcpy(name, childName.c_str(), (childName.size() + 1) * sizeof(char16_t));
  *length = static_cast<std::uint32_t>(childName.size());
  return regerror::kSuccess;
}

std::int32_t MemoryRegistry::DoQuerySubkeyCount(const Lens& lens, RegKey key, std::uint32_t* count) {
  if (std::int32_t error = Injected(Operation::kQuery)) return error;
  Handle handle;
  if (std::int32_t error = Resolve(lens, key, &handle)) return error;
  if ((handle.access & regaccess::kQueryValue) == 0) return regerror::kAccessDenied;
  *count = static_cast<std::uint32_t>(SubkeyNames(handle.place.node, handle.place.mergedMachine).size());
  return regerror::kSuccess;
}

std::int32_t MemoryRegistry::DoQueryValue(const Lens& lens, RegKey key, const char16_t* name, std::uint32_t* type,
                                          void* data, std::uint32_t* bytes) {
  ++m_calls;
  Handle handle;
  if (std::int32_t error = Resolve(lens, key, &handle)) return error;
  if ((handle.access & regaccess::kQueryValue) == 0) return regerror::kAccessDenied;
  if (!handle.place.node) return regerror::kFileNotFound;
  const WString valueName = name != nullptr ? WString(name) : WString();
  for (const auto& entry : handle.place.node->values) {
    if (!SameName(entry.first, valueName)) continue;
    const std::uint32_t size = static_cast<std::uint32_t>(entry.second.data.size());
    *type = entry.second.type;
    if (data == nullptr || size > *bytes) {
      *bytes = size;
      return data == nullptr ? regerror::kSuccess : regerror::kMoreData;
    }
    if (size != 0) std::memcpy(data, entry.second.data.data(), size);
    *bytes = size;
    return regerror::kSuccess;
  }
  return regerror::kFileNotFound;
}

std::int32_t MemoryRegistry::DoEnumValue(const Lens& lens, RegKey key, std::uint32_t index, char16_t* name,
                                         std::uint32_t* length) {
  ++m_calls;
  Handle handle;
  if (std::int32_t error = Resolve(lens, key, &handle)) return error;
  if ((handle.access & regaccess::kQueryValue) == 0) return regerror::kAccessDenied;
  if (!handle.place.node || index >= handle.place.node->values.size()) return regerror::kNoMoreItems;
  const WString& valueName = handle.place.node->values[index].first;
  if (valueName.size() + 1 > *length) return regerror::kMoreData;
  std::memcpy(name, valueName.c_str(), (valueName.size() + 1) * sizeof(char16_t));
  *length = static_cast<std::uint32_t>(valueName.size());
  return regerror::kSuccess;
}

namespace {

std::vector<WString> SubkeyNames(const std::shared_ptr<MemoryRegistry::Node>& node,
                                 const std::shared_ptr<MemoryRegistry::Node>& merged) {
  std::vector<WString> names;
  if (node) {
    for (const auto& child : node->children) names.push_back(child->name);
  }
  if (merged) {
    for (const auto& child : merged->children) {
      bool duplicate = false;
      for (const WString& name : names) duplicate = duplicate || SameName(name, child->name);
      if (!duplicate) names.push_back(child->name);
    }
  }
  return names;
}

}  // namespace

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

void MemoryRegistry::AddStringValue(const WString& path, const WString& name, const WString& text,
                                    std::uint32_t type) {
  std::vector<std::uint8_t> data;
  for (char16_t unit : text) {
    data.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    data.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  data.push_back(0);
  data.push_back(0);
  AddValue(path, name, type, data);
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
