// What Stavora.dll carries besides code: its type library, its export table,
// its version record, string table and manifest, and its two registration
// scripts, byte for byte.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "tests/server/StavoraDllFixture.h"

namespace stavora_test {
namespace {

const GUID kLibId = {0xa1c94e72, 0x3f58, 0x4b6d, {0x9e, 0x20, 0x7c, 0x5d, 0x18, 0xf3, 0xb6, 0xa4}};
const GUID kStdOleLibId = {0x00020430, 0, 0, {0xc0, 0, 0, 0, 0, 0, 0, 0x46}};

#ifdef _WIN64
constexpr SYSKIND kExpectedSysKind = SYS_WIN64;
#else
constexpr SYSKIND kExpectedSysKind = SYS_WIN32;
#endif

std::wstring Documentation(ITypeLib* lib, INT index, std::wstring* helpString = nullptr,
                           DWORD* helpContext = nullptr, std::wstring* helpFile = nullptr) {
  BSTR name = nullptr, doc = nullptr, file = nullptr;
  DWORD context = 0xFFFF;
  EXPECT_EQ(S_OK, lib->GetDocumentation(index, &name, &doc, &context, &file));
  std::wstring result = name ? name : L"";
  if (helpString) *helpString = doc ? doc : L"";
  if (helpFile) *helpFile = file ? file : L"<none>";
  if (helpContext) *helpContext = context;
  SysFreeString(name);
  SysFreeString(doc);
  SysFreeString(file);
  return result;
}

std::wstring MemberDocumentation(ITypeInfo* info, MEMBERID id, std::wstring* helpString) {
  BSTR name = nullptr, doc = nullptr;
  DWORD context = 0xFFFF;
  EXPECT_EQ(S_OK, info->GetDocumentation(id, &name, &doc, &context, nullptr));
  EXPECT_EQ(0u, context);
  std::wstring result = name ? name : L"";
  *helpString = doc ? doc : L"";
  SysFreeString(name);
  SysFreeString(doc);
  return result;
}

class TypeLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S_OK, LoadTypeLib(Dll().path.c_str(), &m_lib)) << "no type library in the DLL";
  }
  void TearDown() override {
    if (m_lib) m_lib->Release();
  }
  ITypeLib* m_lib = nullptr;
};

TEST_F(TypeLibraryTest, LibraryAttributes) {
  TLIBATTR* attributes = nullptr;
  ASSERT_EQ(S_OK, m_lib->GetLibAttr(&attributes));
  EXPECT_TRUE(IsEqualGUID(kLibId, attributes->guid));
  EXPECT_EQ(1, attributes->wMajorVerNum);
  EXPECT_EQ(0, attributes->wMinorVerNum);
  EXPECT_EQ(0u, attributes->lcid);
  EXPECT_EQ(kExpectedSysKind, attributes->syskind);
  // The loader reports that the library came from a file; no flag was declared.
  EXPECT_EQ(0, attributes->wLibFlags & ~LIBFLAG_FHASDISKIMAGE);
  m_lib->ReleaseTLibAttr(attributes);

  std::wstring help, file;
  DWORD context = 7;
  EXPECT_EQ(L"StavoraLib", Documentation(m_lib, -1, &help, &context, &file));
  EXPECT_EQ(L"Stavora 1.0 Type Library", help);
  EXPECT_EQ(0u, context);
  EXPECT_EQ(L"<none>", file);
  EXPECT_EQ(2u, m_lib->GetTypeInfoCount()) << "the coclass and the interface, nothing imported";
}

TEST_F(TypeLibraryTest, CoclassComesFirst) {
  TYPEKIND kind;
  ASSERT_EQ(S_OK, m_lib->GetTypeInfoType(0, &kind));
  EXPECT_EQ(TKIND_COCLASS, kind);
  ITypeInfo* coclass = nullptr;
  ASSERT_EQ(S_OK, m_lib->GetTypeInfo(0, &coclass));
  TYPEATTR* attributes = nullptr;
  ASSERT_EQ(S_OK, coclass->GetTypeAttr(&attributes));
  EXPECT_TRUE(IsEqualGUID(CLSID_StavoraLookup, attributes->guid));
  EXPECT_EQ(TYPEFLAG_FCANCREATE, attributes->wTypeFlags);
  EXPECT_EQ(0, attributes->wMajorVerNum);
  EXPECT_EQ(0, attributes->wMinorVerNum);
  EXPECT_EQ(1, attributes->cImplTypes);
  coclass->ReleaseTypeAttr(attributes);

  std::wstring help;
  EXPECT_EQ(L"StavoraLookup", Documentation(m_lib, 0, &help));
  EXPECT_EQ(L"StavoraLookup Class", help);

  INT flags = 0;
  ASSERT_EQ(S_OK, coclass->GetImplTypeFlags(0, &flags));
  EXPECT_EQ(IMPLTYPEFLAG_FDEFAULT, flags);
  HREFTYPE ref = 0;
  ASSERT_EQ(S_OK, coclass->GetRefTypeOfImplType(0, &ref));
  ITypeInfo* implemented = nullptr;
  ASSERT_EQ(S_OK, coclass->GetRefTypeInfo(ref, &implemented));
  ASSERT_EQ(S_OK, implemented->GetTypeAttr(&attributes));
  EXPECT_TRUE(IsEqualGUID(IID_IStavoraLookup, attributes->guid));
  implemented->ReleaseTypeAttr(attributes);
  implemented->Release();
  coclass->Release();
}

// A dual interface is stored as its dispatch description; the vtable part is
// reached through that description's implemented type -1.
ITypeInfo* VtablePart(ITypeLib* lib) {
  ITypeInfo* dispatchPart = nullptr;
  EXPECT_EQ(S_OK, lib->GetTypeInfoOfGuid(IID_IStavoraLookup, &dispatchPart));
  if (dispatchPart == nullptr) return nullptr;
  HREFTYPE ref = 0;
  ITypeInfo* vtablePart = nullptr;
  EXPECT_EQ(S_OK, dispatchPart->GetRefTypeOfImplType(-1, &ref));
  EXPECT_EQ(S_OK, dispatchPart->GetRefTypeInfo(ref, &vtablePart));
  dispatchPart->Release();
  return vtablePart;
}

TEST_F(TypeLibraryTest, InterfaceAndItsBase) {
  TYPEKIND kind;
  ASSERT_EQ(S_OK, m_lib->GetTypeInfoType(1, &kind));
  EXPECT_EQ(TKIND_DISPATCH, kind);
  ITypeInfo* dispatchPart = nullptr;
  ASSERT_EQ(S_OK, m_lib->GetTypeInfo(1, &dispatchPart));
  TYPEATTR* attributes = nullptr;
  ASSERT_EQ(S_OK, dispatchPart->GetTypeAttr(&attributes));
  EXPECT_TRUE(IsEqualGUID(IID_IStavoraLookup, attributes->guid));
  EXPECT_EQ(TYPEFLAG_FDUAL, attributes->wTypeFlags & TYPEFLAG_FDUAL);
  dispatchPart->ReleaseTypeAttr(attributes);
  dispatchPart->Release();

  ITypeInfo* info = VtablePart(m_lib);
  ASSERT_NE(nullptr, info);
  ASSERT_EQ(S_OK, info->GetTypeAttr(&attributes));
  EXPECT_EQ(TKIND_INTERFACE, attributes->typekind);
  EXPECT_TRUE(IsEqualGUID(IID_IStavoraLookup, attributes->guid));
  EXPECT_EQ(TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE,
            attributes->wTypeFlags);
  EXPECT_EQ(0x11C0, attributes->wTypeFlags);
  EXPECT_EQ(3, attributes->cFuncs);
  EXPECT_EQ(10u * sizeof(void*), attributes->cbSizeVft) << "10 vtable slots";
  EXPECT_EQ(0, attributes->wMajorVerNum);
  EXPECT_EQ(0, attributes->wMinorVerNum);
  EXPECT_EQ(1, attributes->cImplTypes);
  info->ReleaseTypeAttr(attributes);

  std::wstring help;
  EXPECT_EQ(L"IStavoraLookup", Documentation(m_lib, 1, &help));
  EXPECT_EQ(L"IStavoraLookup Interface", help);

  // The base is IDispatch, from stdole2.tlb.
  HREFTYPE ref = 0;
  ASSERT_EQ(S_OK, info->GetRefTypeOfImplType(0, &ref));
  ITypeInfo* base = nullptr;
  ASSERT_EQ(S_OK, info->GetRefTypeInfo(ref, &base));
  ASSERT_EQ(S_OK, base->GetTypeAttr(&attributes));
  EXPECT_TRUE(IsEqualGUID(IID_IDispatch, attributes->guid));
  base->ReleaseTypeAttr(attributes);
  ITypeLib* baseLib = nullptr;
  UINT baseIndex = 0;
  ASSERT_EQ(S_OK, base->GetContainingTypeLib(&baseLib, &baseIndex));
  TLIBATTR* libAttributes = nullptr;
  ASSERT_EQ(S_OK, baseLib->GetLibAttr(&libAttributes));
  EXPECT_TRUE(IsEqualGUID(kStdOleLibId, libAttributes->guid)) << "IDispatch must come from stdole2";
  EXPECT_EQ(2, libAttributes->wMajorVerNum);
  EXPECT_EQ(0, libAttributes->wMinorVerNum);
  baseLib->ReleaseTLibAttr(libAttributes);
  baseLib->Release();
  base->Release();
  info->Release();
}

struct ExpectedParameter {
  const wchar_t* name;
  VARTYPE type;  // the pointed-to type for out parameters
  USHORT flags;
};

struct ExpectedMethod {
  const wchar_t* name;
  MEMBERID id;
  const wchar_t* help;
  std::vector<ExpectedParameter> parameters;
};

TEST_F(TypeLibraryTest, MethodsInSlotOrder) {
  const ExpectedMethod methods[] = {
      {L"GetSections", 1, L"method GetSections",
       {{L"sections", VT_VARIANT, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL}}},
      {L"GetSection", 2, L"method GetSection",
       {{L"section", VT_BSTR, PARAMFLAG_FIN}, {L"keys", VT_VARIANT, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL}}},
      {L"GetKey", 3, L"method GetKey",
       {{L"section", VT_BSTR, PARAMFLAG_FIN},
        {L"key", VT_BSTR, PARAMFLAG_FIN},
        {L"value", VT_BSTR, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL}}},
  };
  ITypeInfo* info = VtablePart(m_lib);
  ASSERT_NE(nullptr, info);
  for (UINT index = 0; index < 3; ++index) {
    const ExpectedMethod& want = methods[index];
    SCOPED_TRACE(testing::Message() << "method " << index);
    FUNCDESC* function = nullptr;
    ASSERT_EQ(S_OK, info->GetFuncDesc(index, &function));
    EXPECT_EQ(want.id, function->memid);
    EXPECT_EQ(FUNC_PUREVIRTUAL, function->funckind);
    EXPECT_EQ(INVOKE_FUNC, function->invkind);
    EXPECT_EQ(CC_STDCALL, function->callconv);
    EXPECT_EQ(static_cast<SHORT>((7 + index) * sizeof(void*)), function->oVft) << "slot " << 7 + index;
    EXPECT_EQ(static_cast<SHORT>(want.parameters.size()), function->cParams);
    EXPECT_EQ(0, function->cParamsOpt);
    EXPECT_EQ(0, function->wFuncFlags);
    EXPECT_EQ(VT_HRESULT, function->elemdescFunc.tdesc.vt);
    for (size_t p = 0; p < want.parameters.size() && p < static_cast<size_t>(function->cParams); ++p) {
      const ELEMDESC& element = function->lprgelemdescParam[p];
      const ExpectedParameter& param = want.parameters[p];
      SCOPED_TRACE(testing::Message() << "parameter " << p);
      EXPECT_EQ(param.flags, element.paramdesc.wParamFlags);
      if (param.flags & PARAMFLAG_FOUT) {
        ASSERT_EQ(VT_PTR, element.tdesc.vt);
        EXPECT_EQ(param.type, element.tdesc.lptdesc->vt);
      } else {
        EXPECT_EQ(param.type, element.tdesc.vt);
      }
    }
    // Names: the method's, then its parameters'.
    BSTR names[4] = {};
    UINT count = 0;
    ASSERT_EQ(S_OK, info->GetNames(function->memid, names, 4, &count));
    ASSERT_EQ(want.parameters.size() + 1, count);
    EXPECT_STREQ(want.name, names[0]);
    for (UINT n = 1; n < count; ++n) {
      EXPECT_STREQ(want.parameters[n - 1].name, names[n]);
    }
    for (UINT n = 0; n < count; ++n) SysFreeString(names[n]);
    std::wstring help;
    EXPECT_EQ(want.name, MemberDocumentation(info, function->memid, &help));
    EXPECT_EQ(want.help, help);
    info->ReleaseFuncDesc(function);
  }
  info->Release();
}

// --- Export table ---

TEST(ExportTableTest, FiveNamedExportsAtOrdinalsOneToFive) {
  auto* base = reinterpret_cast<const BYTE*>(Dll().module);
  auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  ASSERT_NE(0u, directory.VirtualAddress);
  auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + directory.VirtualAddress);
  EXPECT_STREQ("Stavora.DLL", reinterpret_cast<const char*>(base + exports->Name));
  EXPECT_EQ(1u, exports->Base);
  EXPECT_EQ(5u, exports->NumberOfFunctions);
  ASSERT_EQ(5u, exports->NumberOfNames);
  auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  auto* ordinals = reinterpret_cast<const WORD*>(base + exports->AddressOfNameOrdinals);
  auto* functions = reinterpret_cast<const DWORD*>(base + exports->AddressOfFunctions);
  const char* expected[] = {"DllCanUnloadNow", "DllGetClassObject", "DllInstall", "DllRegisterServer",
                            "DllUnregisterServer"};
  for (DWORD i = 0; i < 5; ++i) {
    const char* name = reinterpret_cast<const char*>(base + names[i]);
    EXPECT_STREQ(expected[i], name);
    EXPECT_EQ(i + 1, ordinals[i] + exports->Base) << name;
    EXPECT_EQ(reinterpret_cast<FARPROC>(const_cast<BYTE*>(base) + functions[ordinals[i]]),
              GetProcAddress(Dll().module, MAKEINTRESOURCEA(i + 1)))
        << name;
  }
}

// --- Resources ---

std::string ResourceBytes(LPCWSTR type, LPCWSTR name, WORD language) {
  HRSRC found = FindResourceExW(Dll().module, type, name, language);
  if (found == nullptr) return "<missing>";
  HGLOBAL loaded = LoadResource(Dll().module, found);
  auto* data = static_cast<const char*>(LockResource(loaded));
  return std::string(data, SizeofResource(Dll().module, found));
}

constexpr WORD kEnglishUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

// A file of resources\ beside the DLL: the scripts as they ship.
std::string ShippedScript(const wchar_t* name) {
  const std::wstring path = Dll().path.substr(0, Dll().path.find_last_of(L"\\/") + 1) + L"resources\\" + name;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<cannot read the shipped script>";
  std::string bytes(GetFileSize(file, nullptr), '\0');
  DWORD read = 0;
  if (!bytes.empty()) ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr);
  CloseHandle(file);
  bytes.resize(read);
  return bytes;
}

TEST(ResourcesTest, RegistrationScriptsByteForByte) {
  EXPECT_EQ(ShippedScript(L"StavoraApp.rgs"), ResourceBytes(L"REGISTRY", MAKEINTRESOURCEW(101), kEnglishUs));
  EXPECT_EQ(ShippedScript(L"StavoraLookup.rgs"), ResourceBytes(L"REGISTRY", MAKEINTRESOURCEW(102), kEnglishUs));
  EXPECT_NE("<missing>", ResourceBytes(L"TYPELIB", MAKEINTRESOURCEW(1), kEnglishUs));
}

TEST(ResourcesTest, VersionRecord) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(Dll().path.c_str(), &ignored);
  ASSERT_NE(0u, size);
  std::string block(size, '\0');
  ASSERT_TRUE(GetFileVersionInfoW(Dll().path.c_str(), 0, size, &block[0]));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(&block[0], L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(MAKELONG(0, 1), fixed->dwFileVersionMS);
  EXPECT_EQ(MAKELONG(1, 0), fixed->dwFileVersionLS);
  EXPECT_EQ(MAKELONG(0, 1), fixed->dwProductVersionMS);
  EXPECT_EQ(MAKELONG(1, 0), fixed->dwProductVersionLS);
  EXPECT_EQ(static_cast<DWORD>(VFT_DLL), fixed->dwFileType);

  const std::map<std::wstring, std::wstring> strings = {
      {L"ProductName", L"Stavora Module"}, {L"OriginalFilename", L"Stavora.dll"},
      {L"FileVersion", L"1.0.0.1"},        {L"ProductVersion", L"1.0.0.1"},
      {L"InternalName", L"Stavora.dll"}};
  for (const auto& [name, want] : strings) {
    wchar_t* value = nullptr;
    std::wstring query = L"\\StringFileInfo\\040904B0\\" + name;
    ASSERT_TRUE(VerQueryValueW(&block[0], query.c_str(), reinterpret_cast<void**>(&value), &length))
        << "missing version string";
    EXPECT_EQ(want, std::wstring(value));
  }
}

TEST(ResourcesTest, StringTableAndManifest) {
  wchar_t text[64] = {};
  EXPECT_EQ(7, LoadStringW(Dll().module, 100, text, 64));
  EXPECT_STREQ(L"Stavora", text);

  const std::string manifest = ResourceBytes(RT_MANIFEST, MAKEINTRESOURCEW(2), kEnglishUs);
  EXPECT_NE(std::string::npos,
            manifest.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"))
      << manifest;
}

}  // namespace
}  // namespace stavora_test
