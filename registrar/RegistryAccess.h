// The registry as the registration walks see it: opaque key handles, the
// predefined root keys, and the handful of operations the walks need. Every
// operation returns a system error code (0 on success).
#pragma once

#include <cstdint>

namespace stavora {

// An open key, or one of the predefined roots. The values of the roots are
// those of the platform's predefined keys, so a Win32 adapter can pass them
// through unchanged.
using RegKey = std::uintptr_t;

constexpr RegKey kNoKey = 0;

namespace regkey {
constexpr RegKey Predefined(std::uint32_t id) {
  return static_cast<RegKey>(static_cast<std::intptr_t>(static_cast<std::int32_t>(id)));
}
constexpr RegKey kClassesRoot = Predefined(0x80000000u);
constexpr RegKey kCurrentUser = Predefined(0x80000001u);
constexpr RegKey kLocalMachine = Predefined(0x80000002u);
constexpr RegKey kUsers = Predefined(0x80000003u);
constexpr RegKey kPerformanceData = Predefined(0x80000004u);
constexpr RegKey kCurrentConfig = Predefined(0x80000005u);
constexpr RegKey kDynData = Predefined(0x80000006u);
}  // namespace regkey

// Access rights and value types, with the platform's values.
namespace regaccess {
constexpr std::uint32_t kQueryValue = 0x0001;
constexpr std::uint32_t kSetValue = 0x0002;
constexpr std::uint32_t kCreateSubKey = 0x0004;
constexpr std::uint32_t kEnumerateSubKeys = 0x0008;
constexpr std::uint32_t kRead = 0x20019;
constexpr std::uint32_t kWrite = 0x20006;
// The registry view to open a key in (64-bit Windows; ignored elsewhere).
constexpr std::uint32_t kView64 = 0x0100;  // KEY_WOW64_64KEY
constexpr std::uint32_t kView32 = 0x0200;  // KEY_WOW64_32KEY
}  // namespace regaccess

namespace regtype {
constexpr std::uint32_t kString = 1;       // REG_SZ
constexpr std::uint32_t kExpandString = 2; // REG_EXPAND_SZ
constexpr std::uint32_t kBinary = 3;       // REG_BINARY
constexpr std::uint32_t kDword = 4;        // REG_DWORD
constexpr std::uint32_t kMultiString = 7;  // REG_MULTI_SZ
}  // namespace regtype

// System error codes the walks look at or the in-memory registry reports.
namespace regerror {
constexpr std::int32_t kSuccess = 0;
constexpr std::int32_t kFileNotFound = 2;
constexpr std::int32_t kAccessDenied = 5;
constexpr std::int32_t kInvalidHandle = 6;
constexpr std::int32_t kOutOfMemory = 14;
constexpr std::int32_t kInvalidParameter = 87;
constexpr std::int32_t kMoreData = 234;
constexpr std::int32_t kNoMoreItems = 259;
constexpr std::int32_t kKeyDeleted = 1018;
}  // namespace regerror

class IRegistry {
 public:
  virtual ~IRegistry() = default;

  // Opens the subkey `name` of `parent`, or `parent` itself when `name` is
  // null or empty, with the given access. On success `*key` must be closed.
  virtual std::int32_t OpenKey(RegKey parent, const char16_t* name, std::uint32_t access,
                               RegKey* key) = 0;
  // Opens the subkey, creating it when it does not exist.
  virtual std::int32_t CreateKey(RegKey parent, const char16_t* name, std::uint32_t access,
                                 RegKey* key) = 0;
  virtual std::int32_t CloseKey(RegKey key) = 0;
  // Writes a typed value; a null name means the key's default value.
  virtual std::int32_t SetValue(RegKey key, const char16_t* name, std::uint32_t type,
                                const void* data, std::uint32_t bytes) = 0;
  // Deletes a named value; ERROR_FILE_NOT_FOUND when it is absent.
  virtual std::int32_t DeleteValue(RegKey key, const char16_t* name) = 0;
  // Deletes the subkey `name` of `parent` with its values; it must have no
  // subkeys of its own.
  virtual std::int32_t DeleteKey(RegKey parent, const char16_t* name) = 0;
  // Names the subkey at `index`. `*length` is the buffer's capacity in units
  // on entry and the name's length on success; ERROR_NO_MORE_ITEMS past the
  // end, ERROR_MORE_DATA when the name does not fit with its terminator.
  virtual std::int32_t EnumKey(RegKey key, std::uint32_t index, char16_t* name,
                               std::uint32_t* length) = 0;
  // Counts the subkeys (values are not counted).
  virtual std::int32_t QuerySubkeyCount(RegKey key, std::uint32_t* count) = 0;
  // Reads the value `name` (null: the default value): its type, and its data
  // into `data`, whose capacity `*bytes` holds on entry and the data's size on
  // return. ERROR_FILE_NOT_FOUND when absent; ERROR_MORE_DATA, with `*bytes`
  // the size needed, when the data does not fit.
  virtual std::int32_t QueryValue(RegKey key, const char16_t* name, std::uint32_t* type, void* data,
                                  std::uint32_t* bytes) = 0;
  // Names the value at `index` (an empty name is the default value), as
  // EnumKey names subkeys; ERROR_MORE_DATA when the name does not fit.
  virtual std::int32_t EnumValue(RegKey key, std::uint32_t index, char16_t* name, std::uint32_t* length) = 0;
  // Makes HKEY_CLASSES_ROOT stand for the open key `key` in this whole
  // process, every thread included, until it is called again; kNoKey gives
  // the classes root its own meaning back. The caller may close `key` at
  // once: the mapping holds a reference of its own.
  virtual std::int32_t OverrideClassesRoot(RegKey key) = 0;
};

}  // namespace stavora
