// The cost of one GetKey on a store of 1000 sections of 10 keys: early-bound
// through IStavoraLookup, late-bound through IDispatch (GetIDsOfNames once,
// then Invoke), next to one GetPrivateProfileStringW for the same key.
// Prints rows of the benchmark table (--rows: rows only, for scripts/bench);
// loads Stavora.dll from beside it, no registration needed:
//   scripts/wine-run win64 build/<dir>/dispatch_bench.exe [--rows]
#include <windows.h>

#include <ole2.h>

#include <cstdio>
#include <string>

#include "bench/support/BenchTable.h"
#include "resources/Stavora.h"

namespace {

constexpr int kSections = 1000;
constexpr int kKeys = 10;
const wchar_t kSettingsKey[] = L"SOFTWARE\\Kestrane L.P.\\Vendara\\Settings";

double Seconds() {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::wstring WriteIni() {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::wstring path = std::wstring(temp) + L"stavora-dispatch-bench.ini";
  std::string text;
  for (int s = 0; s < kSections; ++s) {
    text += "[Section" + std::to_string(s) + "]\r\n";
    for (int k = 0; k < kKeys; ++k) {
      text += "Key" + std::to_string(k) + "=Value " + std::to_string(s) + "." + std::to_string(k) + "\r\n";
    }
  }
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
  return path;
}

void SetIniPath(const std::wstring* path) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return;
  }
  if (path != nullptr) {
    RegSetValueExW(key, L"StavoraPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(path->c_str()),
                   static_cast<DWORD>((path->size() + 1) * sizeof(wchar_t)));
  } else {
    RegDeleteValueW(key, L"StavoraPath");
  }
  RegCloseKey(key);
}

struct Row {
  const char* what;
  int calls;
  double seconds;
};

void PrintTimedRow(const Row& row) {
  const std::string conditions = row.calls == 1
      ? stavora_bench::Format("%d sections of %d keys, 1 call", kSections, kKeys)
      : stavora_bench::Format("%d sections of %d keys, %d calls", kSections, kKeys, row.calls);
  const std::string result = row.calls == 1 ? stavora_bench::Format("%.2f ms", row.seconds * 1e3)
                                            : stavora_bench::Format("%.2f us per call", row.seconds * 1e6 / row.calls);
  stavora_bench::PrintRow(row.what, conditions, result);
}

}  // namespace

int main(int argc, char** argv) {
  const bool rowsOnly = stavora_bench::RowsOnly(argc, argv);
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const std::wstring ini = WriteIni();
  SetIniPath(&ini);

  HMODULE dll = LoadLibraryW(L"Stavora.dll");
  if (dll == nullptr) {
    std::printf("Stavora.dll not found next to the benchmark (error %lu)\n", GetLastError());
    return 1;
  }
  using GetClassObjectFunction = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
  auto getClassObject = reinterpret_cast<GetClassObjectFunction>(
      reinterpret_cast<void*>(GetProcAddress(dll, "DllGetClassObject")));
  IClassFactory* factory = nullptr;
  IStavoraLookup* lookup = nullptr;
  double created = Seconds();
  if (getClassObject == nullptr ||
      FAILED(getClassObject(CLSID_StavoraLookup, IID_IClassFactory, reinterpret_cast<void**>(&factory))) ||
      FAILED(factory->CreateInstance(nullptr, IID_IStavoraLookup, reinterpret_cast<void**>(&lookup)))) {
    std::printf("cannot create a lookup object\n");
    return 1;
  }
  const double creation = Seconds() - created;

  BSTR section = SysAllocString(L"Section900");
  BSTR key = SysAllocString(L"Key7");

  // Once its first change read is pending, the watcher reads the file again,
  // for a save made since the object's own load; a lookup meanwhile waits for
  // that read. The timed loops below start after it.
  Sleep(100);
  double start = Seconds();
  {
    BSTR value = nullptr;
    lookup->GetKey(section, key, &value);
    SysFreeString(value);
  }
  const Row afterCreation{"first GetKey 100 ms after creation (waits for the watcher's re-read)", 1,
                          Seconds() - start};

  // Early-bound.
  const int kCalls = 20000;
  start = Seconds();
  for (int i = 0; i < kCalls; ++i) {
    BSTR value = nullptr;
    lookup->GetKey(section, key, &value);
    SysFreeString(value);
  }
  const Row early{"GetKey, early-bound (IStavoraLookup)", kCalls, Seconds() - start};

  // Late-bound: GetIDsOfNames once, then Invoke.
  LPOLESTR names[] = {const_cast<LPOLESTR>(L"GetKey")};
  DISPID id = 0;
  start = Seconds();
  lookup->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  const Row firstName{"GetIDsOfNames, first call (loads type info)", 1, Seconds() - start};
  start = Seconds();
  for (int i = 0; i < kCalls; ++i) lookup->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  const Row cachedName{"GetIDsOfNames \"GetKey\" (name cache)", kCalls, Seconds() - start};
  LPOLESTR lowerNames[] = {const_cast<LPOLESTR>(L"getkey")};
  start = Seconds();
  for (int i = 0; i < kCalls; ++i) lookup->GetIDsOfNames(IID_NULL, lowerNames, 1, LOCALE_USER_DEFAULT, &id);
  const Row typeInfoName{"GetIDsOfNames \"getkey\" (type information)", kCalls, Seconds() - start};

  VARIANT args[2];
  args[0].vt = VT_BSTR;
  args[0].bstrVal = key;  // last argument first
  args[1].vt = VT_BSTR;
  args[1].bstrVal = section;
  DISPPARAMS params = {args, nullptr, 2, 0};
  start = Seconds();
  for (int i = 0; i < kCalls; ++i) {
    VARIANT result;
    VariantInit(&result);
    lookup->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result, nullptr, nullptr);
    VariantClear(&result);
  }
  const Row late{"GetKey, late-bound (IDispatch::Invoke)", kCalls, Seconds() - start};

  // The profile service, for the same key.
  const int kProfileCalls = 200;
  wchar_t buffer[256];
  start = Seconds();
  for (int i = 0; i < kProfileCalls; ++i) {
    GetPrivateProfileStringW(L"Section900", L"Key7", L"", buffer, 256, ini.c_str());
  }
  const Row profile{"one GetPrivateProfileStringW call, same key", kProfileCalls, Seconds() - start};

  if (!rowsOnly) {
    std::printf("Store: %d sections of %d keys; object created (first load) in %.1f ms\n\n", kSections,
                kKeys, creation * 1e3);
    stavora_bench::PrintHeader();
  }
  for (const Row& row : {afterCreation, early, late, profile, firstName, cachedName, typeInfoName}) {
    PrintTimedRow(row);
  }

  SysFreeString(section);
  SysFreeString(key);
  lookup->Release();
  factory->Release();
  SetIniPath(nullptr);
  DeleteFileW(ini.c_str());
  CoUninitialize();
  return 0;
}
