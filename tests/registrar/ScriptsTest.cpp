// The server's two registration scripts as they ship in resources/,
// registered and unregistered per machine and per user, compared entry by entry with what they must write.
#include "RegistrarTestSupport.h"

namespace stavora {
namespace testing_support {
namespace {

using regresult::kOk;
using Lines = std::vector<std::string>;

// The scripts as they ship.
const std::u16string kAppIdScript = ShippedScript("StavoraApp.rgs");
const std::u16string kClassScript = ShippedScript("StavoraLookup.rgs");

// What both scripts write, under the given classes root.
Lines Registered(const std::string& root) {
  const std::string clsid = root + "\\CLSID\\{5D3E8C21-9B47-4F0A-8C6E-2B71D4A9E013}";
  return {
      root + "\\AppID",
      root + "\\AppID\\{2E7B5F90-C4A1-4D83-B962-0F8A3C6D51E7}",
      root + "\\AppID\\{2E7B5F90-C4A1-4D83-B962-0F8A3C6D51E7} @ = S:Stavora",
      root + "\\AppID\\Stavora.DLL",
      root + "\\AppID\\Stavora.DLL AppID = S:{2E7B5F90-C4A1-4D83-B962-0F8A3C6D51E7}",
      root + "\\Stavora.StavoraLookup.1",
      root + "\\Stavora.StavoraLookup.1 @ = S:StavoraLookup Class",
      root + "\\Stavora.StavoraLookup.1\\CLSID",
      root + "\\Stavora.StavoraLookup.1\\CLSID @ = S:{5D3E8C21-9B47-4F0A-8C6E-2B71D4A9E013}",
      root + "\\Stavora.StavoraLookup",
      root + "\\Stavora.StavoraLookup @ = S:StavoraLookup Class",
      root + "\\Stavora.StavoraLookup\\CLSID",
      root + "\\Stavora.StavoraLookup\\CLSID @ = S:{5D3E8C21-9B47-4F0A-8C6E-2B71D4A9E013}",
      root + "\\Stavora.StavoraLookup\\CurVer",
      root + "\\Stavora.StavoraLookup\\CurVer @ = S:Stavora.StavoraLookup.1",
      root + "\\CLSID",
      clsid,
      clsid + " @ = S:StavoraLookup Class",
      clsid + "\\ProgID",
      clsid + "\\ProgID @ = S:Stavora.StavoraLookup.1",
      clsid + "\\VersionIndependentProgID",
      clsid + "\\VersionIndependentProgID @ = S:Stavora.StavoraLookup",
      clsid + "\\Programmable",
      clsid + "\\InprocServer32",
      clsid + "\\InprocServer32 @ = S:C:\\Program Files\\Kestrane's\\Stavora.dll",
      clsid + "\\InprocServer32 ThreadingModel = S:Apartment",
      clsid + "\\TypeLib",
      clsid + "\\TypeLib @ = S:{A1C94E72-3F58-4B6D-9E20-7C5D18F3B6A4}",
  };
}

class ScriptsTest : public RegistrarTest {
 protected:
  ScriptsTest() {
    // The module path carries its apostrophe doubled, as the resource run
    // defines it.
    registrar.DefineVariable(u"MODULE", u"C:\\Program Files\\Kestrane''s\\Stavora.dll");
    registrar.DefineVariable(u"APPID", u"{2E7B5F90-C4A1-4D83-B962-0F8A3C6D51E7}");
  }
  void RegisterBoth() {
    ASSERT_HR(kOk, Register(kAppIdScript));
    ASSERT_HR(kOk, Register(kClassScript));
  }
  void UnregisterBoth() {
    ASSERT_HR(kOk, Unregister(kClassScript));
    ASSERT_HR(kOk, Unregister(kAppIdScript));
  }
};

TEST_F(ScriptsTest, PerMachineRegistrationWritesExactlyTheListedEntries) {
  RegisterBoth();
  EXPECT_EQ(Registered("HKCR"), registry.Dump());
  // Registering again replaces the class key and changes nothing else.
  registry.AddKey(u"HKCR\\CLSID\\{5D3E8C21-9B47-4F0A-8C6E-2B71D4A9E013}\\Stale");
  RegisterBoth();
  EXPECT_EQ(Registered("HKCR"), registry.Dump());
}

TEST_F(ScriptsTest, UnregistrationLeavesAppIdAndClsid) {
  RegisterBoth();
  UnregisterBoth();
  EXPECT_EQ((Lines{"HKCR\\AppID", "HKCR\\CLSID"}), registry.Dump());
  // Other servers' entries under the shared keys are not touched.
  registry.AddStringValue(u"HKCR\\CLSID\\{other}", u"", u"o");
  RegisterBoth();
  UnregisterBoth();
  EXPECT_EQ((Lines{"HKCR\\AppID", "HKCR\\CLSID", "HKCR\\CLSID\\{other}", "HKCR\\CLSID\\{other} @ = S:o"}),
            registry.Dump());
}

TEST_F(ScriptsTest, PerUserRegistrationGoesUnderSoftwareClasses) {
  g_perUser = true;
  RegisterBoth();
  Lines expected{"HKCU\\Software", "HKCU\\Software\\Classes"};
  for (const std::string& line : Registered("HKCU\\Software\\Classes")) expected.push_back(line);
  EXPECT_EQ(expected, registry.Dump());
  // AppID and CLSID keep Classes and Software alive after unregistration.
  UnregisterBoth();
  EXPECT_EQ((Lines{"HKCU\\Software", "HKCU\\Software\\Classes", "HKCU\\Software\\Classes\\AppID",
                   "HKCU\\Software\\Classes\\CLSID"}),
            registry.Dump());
}

TEST_F(ScriptsTest, CallerVariablesTakePrecedence) {
  CRegObject own;
  own.DefineVariable(u"Module", u"X:\\first.dll");
  own.DefineVariable(u"MODULE", u"X:\\second.dll");
  own.DefineVariable(u"APPID", u"{app}");
  CRegScriptParser ownParser(own, registry, &TestPerUser);
  ASSERT_HR(kOk, ownParser.RunScript(kClassScript.c_str(), true));
  EXPECT_EQ("T1:" "58003a005c00660069007200730074002e0064006c006c000000",
            ValueText(u"HKCR\\CLSID\\{5D3E8C21-9B47-4F0A-8C6E-2B71D4A9E013}\\InprocServer32", u""));
  EXPECT_EQ(0u, registry.OpenHandleCount());
}

}  // namespace
}  // namespace testing_support
}  // namespace stavora
