// Lists every section, key and value that Stavora serves, late-bound through
// the ProgID "Stavora.StavoraLookup". Name lists arrive as SAFEARRAYs, which
// JScript reads through VBArray.
// Usage: cscript //nologo ListIni.js
// Exit code: 0 when listed, 1 when the object could not be created.
var lookup = createLookup();

var sections = new VBArray(lookup.GetSections()).toArray();
WScript.Echo("The INI file has " + sections.length + " section(s).");
for (var s = 0; s < sections.length; s++) {
  WScript.Echo("[" + sections[s] + "]");
  // GetSection gives no array for a section that is not there, which is also
  // the answer for one that a reload removed since GetSections.
  var list = lookup.GetSection(sections[s]);
  var keys = list === undefined ? [] : new VBArray(list).toArray();
  for (var k = 0; k < keys.length; k++) {
    WScript.Echo("  " + keys[k] + " = " + lookup.GetKey(sections[s], keys[k]));
  }
}

// A section that is not there gives no list at all.
var missing = lookup.GetSection("NoSuchSection");
WScript.Echo("a missing section gives: " + (missing === undefined ? "nothing" : "a list"));

// Creates the object, or says why it could not and quits with exit code 1.
function createLookup() {
  try {
    return new ActiveXObject("Stavora.StavoraLookup");
  } catch (e) {
    WScript.Echo("Stavora.StavoraLookup could not be created: error 0x" +
                 (e.number >>> 0).toString(16).toUpperCase() + " (" + e.description + ").\r\n" +
                 hostHint());
    WScript.Quit(1);
  }
}

// What to check when the object cannot be created, naming this script host.
function hostHint() {
  var needs = "it needs the Stavora.dll of its own bitness registered";
  try {
    var arch = String(new ActiveXObject("WScript.Shell").Environment("PROCESS").Item("PROCESSOR_ARCHITECTURE"));
    switch (arch.toUpperCase()) {
      case "X86": needs = "a 32-bit host: it needs the 32-bit (x86) Stavora.dll registered"; break;
      case "AMD64": needs = "a 64-bit host: it needs the 64-bit (x64) Stavora.dll registered"; break;
      case "": break;
      default: needs = "an " + arch + " host, which no Stavora.dll serves: use the 32-bit (x86) DLL with " +
                       "C:\\Windows\\SysWOW64\\cscript.exe";
    }
  } catch (e) {
    // the general rule stands
  }
  return "Is Stavora.dll registered for this script host? A host loads only the DLL of its own bitness.\r\n" +
         "This host is " + WScript.FullName + ", " + needs + ".\r\n" +
         "Under Wine, an object registered per user (regsvr32 /n /i:user) cannot be created by ProgID:\r\n" +
         "register it per machine. See Troubleshooting in the README.";
}
