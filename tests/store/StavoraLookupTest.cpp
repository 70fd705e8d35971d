// A real lookup object over real INI files, configured through the real
// registry value, built and destroyed directly: path resolution, the three
// lookups end to end, and reloads after the file is saved.
#include "store/StavoraLookup.h"
#include "tests/support/DirectLookup.h"

#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <atomic>
#include <functional>
#include <mutex>

#include "platform/ScopedBstr.h"
#include "platform/ScopedHandles.h"
#include "store/ProfileSourceWin32.h"
#include "platform/ScopedVariant.h"
#include "store/IniPath.h"
#include "store/NameRule.h"
#include "tests/store/NameListCheck.h"
#include "tests/support/BstrOf.h"

namespace stavora {
namespace {

const wchar_t* W(const WString& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }
const wchar_t* W(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

// Sets HKLM\SOFTWARE\Kestrane L.P.\Vendara\Settings\StavoraPath for one test
// and deletes it afterwards (also when the test sets none, so that a value
// left by an earlier run cannot leak in).
class PathValue {
 public:
  PathValue() {
    const LONG created = RegCreateKeyExW(HKEY_LOCAL_MACHINE, W(kSettingsKeyName), 0, nullptr, 0,
                                         KEY_SET_VALUE, nullptr, &m_key, nullptr);
    EXPECT_EQ(created, ERROR_SUCCESS) << "cannot create the settings key";
    Delete();
  }
  ~PathValue() {
    Delete();
    if (m_key != nullptr) RegCloseKey(m_key);
  }
  PathValue(const PathValue&) = delete;
  PathValue& operator=(const PathValue&) = delete;

  // Stores `units` UTF-16 units of `data` (no terminator added) as `type`.
  void Set(const WString& data, DWORD type = REG_SZ) {
    ASSERT_EQ(RegSetValueExW(m_key, W(kIniPathValueName), 0, type,
                             reinterpret_cast<const BYTE*>(data.data()),
                             static_cast<DWORD>(data.size() * sizeof(char16_t))),
              ERROR_SUCCESS);
  }
  void SetTerminated(const WString& text, DWORD type = REG_SZ) { Set(text + u'\0', type); }

 private:
  void Delete() {
    if (m_key == nullptr) return;
    const LONG deleted = RegDeleteValueW(m_key, W(kIniPathValueName));
    EXPECT_TRUE(deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND) << deleted;
  }
  HKEY m_key = nullptr;
};

// Writes `text` as a UTF-16LE file with a byte-order mark, replacing the
// contents of an existing file in place (CREATE_ALWAYS).
void WriteIni(const WString& path, const WString& text) {
  HANDLE file = CreateFileW(W(path), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << "cannot write " << testing::PrintToString(path);
  const WString content = u"\ufeff" + text;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, content.data(), static_cast<DWORD>(content.size() * 2),
                            &written, nullptr);
  CloseHandle(file);
  ASSERT_TRUE(ok);
  ASSERT_EQ(written, content.size() * 2);
}

// The real profile service, with its calls counted; once armed, a call waits
// (for `letGo`, at most 20 s) as a call to a share that does not answer does.
class HeldUpSource final : public IProfileSource {
 public:
  std::uint32_t GetString(const char16_t* section, const char16_t* key, char16_t* buffer,
                          std::uint32_t size, const WString& path) override {
    const int call = ++calls;
    if (armed.exchange(false)) {
      SetEvent(entered.Get());
      WaitForSingleObject(letGo.Get(), 20000);
    }
    const std::uint32_t stored = m_real.GetString(section, key, buffer, size, path);
    if (call == duringCall && during) during();
    return stored;
  }
  std::int64_t GetFileSize(const WString& path) override { return m_real.GetFileSize(path); }
  FileState GetFileState(const WString& path) override {
    if (!freezeState) return m_real.GetFileState(path);
    std::call_once(m_firstState, [&] { m_state = m_real.GetFileState(path); });
    return m_state;
  }

  std::atomic<int> calls{0};
  // Runs `during` after call number `duringCall` has read.
  int duringCall = 0;
  std::function<void()> during;
  // Answers every look at the file's state as the first one was answered.
  bool freezeState = false;
  std::atomic<bool> armed{false};
  ScopedHandle entered{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  ScopedHandle letGo{CreateEventW(nullptr, TRUE, FALSE, nullptr)};

 private:
  ProfileSourceWin32 m_real;
  std::once_flag m_firstState;
  FileState m_state;
};

class LookupObject : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH + 1] = {};
    ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
    m_directory = reinterpret_cast<const char16_t*>(temp);
    m_directory += u"stavora-lookup-" + ToText(GetCurrentProcessId());
    CreateDirectoryW(W(m_directory), nullptr);  // may exist from an earlier test
    m_iniPath = m_directory + u"\\Lookup.ini";
  }
  void TearDown() override {
    m_object.reset();  // the watcher's directory handle goes with it
    DeleteFileW(W(m_iniPath));
    DeleteFileW(W(m_directory + u"\\Lookup.tmp"));
    RemoveDirectoryW(W(m_directory));
  }

  static WString ToText(unsigned long number) {
    const std::wstring wide = std::to_wstring(number);
    return WString(wide.begin(), wide.end());
  }

  // Writes the INI file, points the registry value at it and builds an object.
  void CreateOver(const WString& iniText, std::shared_ptr<IProfileSource> source = nullptr) {
    WriteIni(m_iniPath, iniText);
    m_value.SetTerminated(m_iniPath);
    m_object = source ? std::make_unique<DirectLookup>(std::move(source))
                      : std::make_unique<DirectLookup>();
  }

  Names Sections() {
    ScopedVariant sections;
    EXPECT_EQ(m_object->GetSections(sections.Receive()), S_OK);
    return NamesIn(sections.Get());
  }
  // GetKey's value, or "<hr>" text when it does not return S_OK.
  WString Value(const WString& section, const WString& key) {
    ScopedBstr s = BstrOf(section), k = BstrOf(key), value;
    const HRESULT hr = m_object->GetKey(s.Get(), k.Get(), value.Receive());
    if (hr != S_OK) return u"<" + ToText(static_cast<unsigned long>(hr)) + u">";
    return value.Text();
  }
  // Saves by `save` until the object answers `expected` for section/key,
  // polling in between with a generous limit, since reloads run on the
  // watcher thread. A save made before that thread has issued its first
  // change read is never reported to it, so an unseen save is made again.
  template <typename Save>
  bool SeenAfter(Save save, const WString& section, const WString& key,
                 const WString& expected) {
    for (int attempt = 0; attempt < 10; ++attempt) {
      save();
      for (int poll = 0; poll < 75; ++poll) {
        if (Value(section, key) == expected) return true;
        Sleep(20);
      }
    }
    return false;
  }

  PathValue m_value;
  WString m_directory;
  WString m_iniPath;
  std::unique_ptr<DirectLookup> m_object;

  // An object over the file at `onDisk`, configured as `configured`, serves it
  // and sees two edits of it. The first edit may be read by the reload the
  // first pending read makes; once it is seen, the watcher is reading, and only
  // a change record that names the file can bring the second.
  void ExpectServedAndEditsSeen(const WString& onDisk, const WString& configured) {
    m_iniPath = onDisk;
    WriteIni(onDisk, u"[main]\r\nkey=before\r\n");
    m_value.SetTerminated(configured);
    m_object = std::make_unique<DirectLookup>();
    ASSERT_EQ(Value(u"main", u"key"), u"before");
    const auto first = [&] { WriteIni(onDisk, u"[main]\r\nkey=first edit\r\n"); };
    ASSERT_TRUE(SeenAfter(first, u"main", u"key", u"first edit"));
    const auto second = [&] { WriteIni(onDisk, u"[main]\r\nkey=second edit\r\n"); };
    EXPECT_TRUE(SeenAfter(second, u"main", u"key", u"second edit"))
        << "last answer " << testing::PrintToString(Value(u"main", u"key"));
  }
};

TEST_F(LookupObject, PathComesFromTheRegistryValueUpperCased) {
  CreateOver(u"[a]\r\nk=v\r\n");
  WString expected = m_iniPath;
  UpperCaseName(expected);
  EXPECT_EQ(m_object->IniPath(), expected);
}

TEST_F(LookupObject, PathFallsBackToTheDefaultOrIsTakenLiterally) {
  m_object = std::make_unique<DirectLookup>();  // no value
  EXPECT_EQ(m_object->IniPath(), u"C:\\KRN\\API\\VENDARA\\STAVORA\\STAVORA.INI");
  m_object.reset();

  m_value.SetTerminated(u"d:\\" + WString(1100, u'x') + u".ini");  // beyond 1023 units
  m_object = std::make_unique<DirectLookup>();
  EXPECT_EQ(m_object->IniPath(), u"C:\\KRN\\API\\VENDARA\\STAVORA\\STAVORA.INI");
  m_object.reset();

  m_value.SetTerminated(u"%WINDIR%\\x.ini", REG_EXPAND_SZ);
  m_object = std::make_unique<DirectLookup>();
  EXPECT_EQ(m_object->IniPath(), u"%WINDIR%\\X.INI");
  m_object.reset();

  m_value.Set(u"d:\\Cfg\\Api.ini");  // stored without a terminator
  m_object = std::make_unique<DirectLookup>();
  EXPECT_EQ(m_object->IniPath(), u"D:\\CFG\\API.INI");
  m_object.reset();

  m_value.SetTerminated(u"");
  m_object = std::make_unique<DirectLookup>();
  EXPECT_EQ(m_object->IniPath(), u"");
  ScopedVariant sections;
  EXPECT_EQ(m_object->GetSections(sections.Receive()), S_OK);
  EXPECT_EQ(NamesIn(sections.Get()), Names{});
}

TEST_F(LookupObject, ListsAreUpperCasedInStoreOrder) {
  CreateOver(u"[Beta]\r\nb=2\r\n[alpha]\r\nZed=1\r\nA=Mixed Case\r\n");
  EXPECT_EQ(Sections(), (Names{u"ALPHA", u"BETA"}));

  for (const WString name : {u"alpha", u"Alpha", u"ALPHA"}) {
    ScopedBstr section = BstrOf(name);
    ScopedVariant keys;
    EXPECT_EQ(m_object->GetSection(section.Get(), keys.Receive()), S_OK)
        << testing::PrintToString(name);
    EXPECT_EQ(NamesIn(keys.Get()), (Names{u"A", u"ZED"}));
  }
  EXPECT_EQ(Value(u"alpha", u"a"), u"Mixed Case");
  EXPECT_EQ(Value(u"BETA", u"B"), u"2");
}

TEST_F(LookupObject, NamesMatchOnlyAsStoredAfterAsciiFolding) {
  CreateOver(u"[Gr\u00f6\u00dfe]\r\nk=1\r\n[alpha]\r\na=x\r\n");
  EXPECT_EQ(Value(u"gr\u00f6\u00dfe", u"K"), u"1");
  EXPECT_EQ(Value(u"GR\u00d6SSE", u"K"), u"<1>") << "S_FALSE expected";
  EXPECT_EQ(Value(u" alpha", u"a"), u"<1>");
  EXPECT_EQ(Value(u"alpha ", u"a"), u"<1>");
  EXPECT_EQ(Value(u"alpha", u"a "), u"<1>");
  EXPECT_EQ(Value(WString(u"alpha\0beta", 10), WString(u"a\0", 2)), u"x");

  ScopedBstr cut = BstrOf(WString(u"Alpha\0beta", 10));
  ScopedVariant keys;
  EXPECT_EQ(m_object->GetSection(cut.Get(), keys.Receive()), S_OK);
  EXPECT_EQ(NamesIn(keys.Get()), Names{u"A"});

  // A null BSTR is the empty name: found nowhere, never read through.
  keys.Reset();
  EXPECT_EQ(m_object->GetSection(nullptr, keys.Receive()), S_FALSE);
  EXPECT_EQ(keys.Type(), VT_EMPTY);
  ScopedBstr key = BstrOf(u"a"), value;
  EXPECT_EQ(m_object->GetKey(nullptr, key.Get(), value.Receive()), S_FALSE);
  ASSERT_NE(value.Get(), nullptr);
  EXPECT_EQ(value.Length(), 0u);
  value.Reset();
  EXPECT_EQ(m_object->GetKey(cut.Get(), nullptr, value.Receive()), S_FALSE);
  ASSERT_NE(value.Get(), nullptr);
  EXPECT_EQ(value.Length(), 0u);
}

TEST_F(LookupObject, MissingNamesAndNullOutPointers) {
  CreateOver(u"[alpha]\r\na=x\r\n");
  ScopedBstr section = BstrOf(u"gamma"), key = BstrOf(u"b");
  ScopedVariant keys;
  EXPECT_EQ(m_object->GetSection(section.Get(), keys.Receive()), S_FALSE);
  EXPECT_EQ(keys.Type(), VT_EMPTY);
  ScopedBstr value;
  EXPECT_EQ(m_object->GetKey(section.Get(), key.Get(), value.Receive()), S_FALSE);
  ASSERT_NE(value.Get(), nullptr);
  EXPECT_EQ(value.Length(), 0u);
  section = BstrOf(u"alpha");
  value.Reset();
  EXPECT_EQ(m_object->GetKey(section.Get(), key.Get(), value.Receive()), S_FALSE);
  ASSERT_NE(value.Get(), nullptr);
  EXPECT_EQ(value.Length(), 0u);

  EXPECT_EQ(m_object->GetSections(nullptr), E_POINTER);
  EXPECT_EQ(m_object->GetSection(section.Get(), nullptr), E_POINTER);
  EXPECT_EQ(m_object->GetKey(section.Get(), key.Get(), nullptr), E_POINTER);
}

TEST_F(LookupObject, KeylessSectionAndEmptyValueAreServed) {
  CreateOver(u"[bare]\r\n[full]\r\nempty=\r\nk=v\r\n");
  EXPECT_EQ(Sections(), (Names{u"BARE", u"FULL"}));
  ScopedBstr bare = BstrOf(u"bare");
  ScopedVariant keys;
  EXPECT_EQ(m_object->GetSection(bare.Get(), keys.Receive()), S_OK);
  EXPECT_EQ(NamesIn(keys.Get()), Names{});
  EXPECT_EQ(Value(u"full", u"empty"), u"");
  EXPECT_EQ(Value(u"full", u"k"), u"v");
}

TEST_F(LookupObject, MissingFileGivesAnEmptyStore) {
  m_value.SetTerminated(m_directory + u"\\Absent.ini");
  m_object = std::make_unique<DirectLookup>();
  ScopedVariant sections;
  EXPECT_EQ(m_object->GetSections(sections.Receive()), S_OK);
  ASSERT_EQ(sections.Type(), VT_ARRAY | VT_VARIANT);
  ASSERT_NE(sections.Get().parray, nullptr);
  EXPECT_EQ(NamesIn(sections.Get()), Names{});
}

TEST_F(LookupObject, SeesAnInPlaceEdit) {
  CreateOver(u"[main]\r\nkey=before\r\n");
  ASSERT_EQ(Value(u"main", u"key"), u"before");
  const auto edit = [this] {
    WriteIni(m_iniPath, u"[main]\r\nkey=after an edit\r\n[more]\r\nx=1\r\n");
  };
  EXPECT_TRUE(SeenAfter(edit, u"main", u"key", u"after an edit"))
      << "last answer " << testing::PrintToString(Value(u"main", u"key"));
  EXPECT_EQ(Value(u"more", u"x"), u"1");
}

TEST_F(LookupObject, SeesAReplaceByRenameSave) {
  CreateOver(u"[main]\r\nkey=before\r\n");
  ASSERT_EQ(Value(u"main", u"key"), u"before");
  const WString temporary = m_directory + u"\\Lookup.tmp";
  const auto save = [&] {
    WriteIni(temporary, u"[main]\r\nkey=renamed over\r\n");
    ASSERT_TRUE(MoveFileExW(W(temporary), W(m_iniPath), MOVEFILE_REPLACE_EXISTING));
  };
  EXPECT_TRUE(SeenAfter(save, u"main", u"key", u"renamed over"))
      << "last answer " << testing::PrintToString(Value(u"main", u"key"));
}

TEST_F(LookupObject, SeesTheFileDeletedAndCreatedAgain) {
  CreateOver(u"[main]\r\nkey=before\r\n");
  // A deletion cannot be repeated, so first make sure the watcher is reading.
  const auto edit = [this] { WriteIni(m_iniPath, u"[main]\r\nkey=watched\r\n"); };
  ASSERT_TRUE(SeenAfter(edit, u"main", u"key", u"watched"));

  ASSERT_TRUE(DeleteFileW(W(m_iniPath)));
  EXPECT_TRUE(SeenAfter([] {}, u"main", u"key", u"<1>")) << "deletion not seen";
  EXPECT_EQ(Sections(), Names{});

  const auto create = [this] { WriteIni(m_iniPath, u"[main]\r\nkey=again\r\n"); };
  EXPECT_TRUE(SeenAfter(create, u"main", u"key", u"again"));
}

// The watcher's first read is pending before the object reads the file, so
// a save made while that read runs brings a reload, even one that leaves the
// file's size and time as they were (a save within one tick of a coarse
// file-system clock, made here by answering the file's state as it was).
TEST_F(LookupObject, SaveMadeWhileCreationLoadsIsServed) {
  auto source = std::make_shared<HeldUpSource>();
  source->freezeState = true;
  source->duringCall = 3;  // the section list, a key list, then this value
  source->during = [this] { WriteIni(m_iniPath, u"[main]\r\nkey=saved!\r\n"); };
  CreateOver(u"[main]\r\nkey=before\r\n", source);
  ASSERT_GE(source->calls.load(), 3) << "the save was not made during creation's read";

  WString answer;
  for (int poll = 0; poll < 250; ++poll) {
    answer = Value(u"main", u"key");
    if (answer == u"saved!") break;
    Sleep(20);
  }
  EXPECT_EQ(answer, u"saved!") << "the save made during creation was never served";
}

// Creation reads the file once: the section list, each section's key list
// and each value, 1 + 3 + 9 calls here, and no second read follows it.
TEST_F(LookupObject, CreationReadsTheFileOnce) {
  auto source = std::make_shared<HeldUpSource>();
  CreateOver(u"[a]\r\n1=x\r\n2=y\r\n[b]\r\n1=x\r\n2=y\r\n3=z\r\n[c]\r\n1=x\r\n2=y\r\n3=z\r\n4=w\r\n",
             source);
  EXPECT_EQ(source->calls.load(), 13);
  Sleep(2 * DirectoryWatcher::kSleepMilliseconds);
  EXPECT_EQ(source->calls.load(), 13) << "the file was read again with no change made";
  EXPECT_EQ(Value(u"c", u"4"), u"w");
}

// A reload held up in a call of the profile service (a share that does not
// answer) holds up the final release only for the bound; the thread ends
// once the call returns, and the state it shared with the object goes then.
TEST_F(LookupObject, ReleaseDuringAHeldUpReloadReturnsWithinItsBound) {
  auto source = std::make_shared<HeldUpSource>();
  CreateOver(u"[main]\r\nkey=before\r\n", source);
  source->armed = true;
  bool entered = false;
  for (int attempt = 0; attempt < 10 && !entered; ++attempt) {
    WriteIni(m_iniPath, u"[main]\r\nkey=after\r\n");
    entered = WaitForSingleObject(source->entered.Get(), 1500) == WAIT_OBJECT_0;
  }
  ASSERT_TRUE(entered) << "no reload reached the profile service";

  const ULONGLONG start = GetTickCount64();
  m_object.reset();
  const ULONGLONG released = GetTickCount64() - start;
  std::cout << "final release with a reload held up: " << released << " ms\n";
  EXPECT_LT(released, 3 * DirectoryWatcher::kReleaseWaitMilliseconds)
      << "the release waited for the held-up call";

  SetEvent(source->letGo.Get());
  bool freed = false;
  for (int poll = 0; poll < 500 && !freed; ++poll) {
    freed = source.use_count() == 1;
    if (!freed) Sleep(20);
  }
  EXPECT_TRUE(freed) << "the state was not freed after its thread ended";
}

TEST_F(LookupObject, DestroyedAtOnceAfterCreation) {
  CreateOver(u"[a]\r\nk=v\r\n");
  m_object.reset();  // must return only after the watcher thread ended
  m_object = std::make_unique<DirectLookup>();
  EXPECT_EQ(Value(u"a", u"k"), u"v");
}

// Another program holds the file without read sharing and rewrites it
// through its handle: while it holds it nothing can be read, so the object
// goes on serving the last version it read, and once it lets go the object
// serves the new contents after its back-off (1 s, then 2 s), although no
// change is reported at that moment.
TEST_F(LookupObject, FileHeldWithoutSharingIsServedSoonAfterItIsLetGo) {
  CreateOver(u"[main]\r\nkey=before\r\n");
  const auto edit = [this] { WriteIni(m_iniPath, u"[main]\r\nkey=watched\r\n"); };
  ASSERT_TRUE(SeenAfter(edit, u"main", u"key", u"watched"));

  HANDLE holder = CreateFileW(W(m_iniPath), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  const WString content = u"\ufeff[main]\r\nkey=written while held\r\n";
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(holder, content.data(), static_cast<DWORD>(content.size() * 2), &written,
                        nullptr));
  EXPECT_TRUE(SetEndOfFile(holder));
  WString whileHeld = u"watched";
  for (int poll = 0; poll < 75 && whileHeld == u"watched"; ++poll) {
    whileHeld = Value(u"main", u"key");
    Sleep(20);
  }
  EXPECT_EQ(whileHeld, u"watched") << "the last version read was not kept while the file was held";
  CloseHandle(holder);
  const ULONGLONG letGo = GetTickCount64();

  WString answer;
  while (GetTickCount64() - letGo < 6000) {
    answer = Value(u"main", u"key");
    if (answer == u"written while held") break;
    Sleep(20);
  }
  const ULONGLONG served = GetTickCount64() - letGo;
  EXPECT_EQ(answer, u"written while held") << "not served 6 s after the file was let go";
  std::cout << "served " << served << " ms after the file was let go\n";
}

// A name with a non-ASCII letter, configured in another case than the file's
// on disk: the file opens, and its edits are seen, since change records are
// matched as the file system matches names.
TEST_F(LookupObject, NonAsciiNameInAnotherCaseSeesEdits) {
  ExpectServedAndEditsSeen(m_directory + u"\\\u00e4pfel.ini", m_directory + u"\\\u00c4PFEL.ini");
}

// A file at a drive's root named in the long form: "\\\\?\\C:" alone opens the
// volume device, so the watcher must watch the root folder instead.
TEST_F(LookupObject, RootFileInLongFormSeesEdits) {
  const WString root = u"C:\\stavora-root-" + ToText(GetCurrentProcessId()) + u".ini";
  ExpectServedAndEditsSeen(root, u"\\\\?\\" + root);
}

}  // namespace
}  // namespace stavora
