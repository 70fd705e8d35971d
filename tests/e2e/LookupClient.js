// End-to-end client: creates Stavora.StavoraLookup by its ProgID, checks its
// answers against the INI file the test wrote, rewrites that file and waits
// for the same object to see the change. Prints STAVORA-E2E-PASS last and
// quits with 0 only when every check held.
// Usage: cscript //nologo LookupClient.js <INI file path>
var failures = 0;

function check(what, expected, actual) {
  if (String(expected) !== String(actual)) {
    WScript.Echo("FAIL: " + what + ": expected [" + expected + "], got [" + actual + "]");
    failures++;
  } else {
    WScript.Echo("ok: " + what + " = [" + actual + "]");
  }
}

// A name list (a SAFEARRAY of VARIANTs) as "A,B,C".
// (typeof is not asked: not every host can name an array's type.)
function listText(names) {
  try {
    return new VBArray(names).toArray().join(",");
  } catch (e) {
    return "<not an array>";
  }
}

// Waits about `ms` milliseconds; WScript.Sleep where the host has it.
function pause(ms) {
  try {
    WScript.Sleep(ms);
  } catch (e) {
    var deadline = new Date().getTime() + ms;
    while (new Date().getTime() < deadline) {}
  }
}

if (WScript.Arguments.length !== 1) {
  WScript.Echo("FAIL: usage: LookupClient.js <INI file path>");
  WScript.Quit(2);
}
var iniPath = WScript.Arguments(0);

var lookup = new ActiveXObject("Stavora.StavoraLookup");

check("GetSections", "DATABASE,PATHS", listText(lookup.GetSections()));
check("GetSection(Paths)", "LOGS", listText(lookup.GetSection("Paths")));
check("GetKey(database, PORT)", "5432", lookup.GetKey("database", "PORT"));
check("GetKey(paths, Logs)", "C:\\Logs", lookup.GetKey("paths", "Logs"));
check("GetKey of a missing key", "", lookup.GetKey("Paths", "NoSuchKey"));
check("GetKey of a missing key is a string", "string", typeof lookup.GetKey("Paths", "NoSuchKey"));
check("GetSection of a missing section", "undefined", typeof lookup.GetSection("NoSuchSection"));

// Rewrite the file; the object must see it without being created again.
// The file system object opens the file without sharing, so the open is
// refused while the object's watcher reads the file (it reads it once more
// just after creation): an editor would try again, and so does this.
var fso = new ActiveXObject("Scripting.FileSystemObject");
var file = null;
for (var tries = 1; file === null; ++tries) {
  try {
    file = fso.CreateTextFile(iniPath, true);
  } catch (error) {
    if (tries === 50) throw error;
    pause(100);
  }
}
file.Write("[Database]\r\nServer=db01.example\r\nPort=6543\r\n[Paths]\r\nLogs=D:\\Logs\r\nCache=D:\\Cache\r\n");
file.Close();

for (var waited = 0; lookup.GetKey("Database", "Port") !== "6543" && waited < 5000; waited += 100) {
  pause(100);
}
check("GetKey(Database, Port) after the edit", "6543", lookup.GetKey("Database", "Port"));
check("GetSection(PATHS) after the edit", "CACHE,LOGS", listText(lookup.GetSection("PATHS")));
check("GetKey(Paths, Logs) after the edit", "D:\\Logs", lookup.GetKey("Paths", "Logs"));

if (failures > 0) {
  WScript.Echo(failures + " check(s) failed");
  WScript.Quit(1);
}
WScript.Echo("STAVORA-E2E-PASS");
WScript.Quit(0);
